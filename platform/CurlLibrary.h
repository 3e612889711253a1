// libcurl, loaded the first time a request or an address is worked on rather than
// when a program starts: most runs of the terminal tool never reach the network, and
// libcurl brings some thirty libraries with it. The types come from the curl headers;
// the functions from the loaded library only.
#pragma once

#include <curl/curl.h>
#include <string>
#include <variant>

namespace KestruneCore {

// The few libcurl functions this system uses.
struct CurlLibrary {
    CURLcode (*globalInit)(long);
    CURL* (*easyInit)();
    void (*easyCleanup)(CURL*);
    CURLcode (*easySetopt)(CURL*, CURLoption, ...);
    CURLcode (*easyPerform)(CURL*);
    CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...);
    const char* (*easyStrerror)(CURLcode);
    curl_slist* (*slistAppend)(curl_slist*, const char*);
    void (*slistFreeAll)(curl_slist*);
    CURLU* (*url)();
    void (*urlCleanup)(CURLU*);
    CURLUcode (*urlSet)(CURLU*, CURLUPart, const char*, unsigned int);
    CURLUcode (*urlGet)(const CURLU*, CURLUPart, char**, unsigned int);
    void (*free)(void*);
};

// Loads `soname` and takes the functions from it, or says why it could not (the
// library or one of the functions is missing). Does not initialise libcurl.
std::variant<CurlLibrary, std::string> loadCurlLibrary(const char* soname);

// The process-wide libcurl ("libcurl.so.4"), loaded and initialised once, safely from
// any thread; nullptr when it cannot be loaded (curlLibraryError() says why).
const CurlLibrary* curlLibrary();
const std::string& curlLibraryError();

} // namespace KestruneCore
