#include "platform/CurlLibrary.h"

#include "platform/DynamicLibrary.h"

#include <mutex>
#include <optional>

namespace KestruneCore {

namespace {

struct Loaded {
    std::optional<CurlLibrary> library;
    std::string error;
};

const Loaded& processLibrary() {
    // Never destroyed: a request on a detached thread may still use it at exit.
    static auto* loaded = new Loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        auto outcome = loadCurlLibrary("libcurl.so.4");
        if (auto* error = std::get_if<std::string>(&outcome)) {
            loaded->error = *error;
            return;
        }
        // Once per process, before any handle exists and before another thread
        // can reach libcurl (they all come through here first).
        auto& lib = std::get<CurlLibrary>(outcome);
        if (lib.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            loaded->error = "libcurl could not be initialised";
            return;
        }
        loaded->library = lib;
    });
    return *loaded;
}

} // namespace

std::variant<CurlLibrary, std::string> loadCurlLibrary(const char* soname) {
    auto opened = openLibrary(soname, "libcurl");
    if (auto* error = std::get_if<std::string>(&opened))
        return *error;
    void* handle = std::get<void*>(opened);
    CurlLibrary lib{};
    bool complete = takeSymbol(handle, "curl_global_init", lib.globalInit) &&
                    takeSymbol(handle, "curl_easy_init", lib.easyInit) &&
                    takeSymbol(handle, "curl_easy_cleanup", lib.easyCleanup) &&
                    takeSymbol(handle, "curl_easy_setopt", lib.easySetopt) &&
                    takeSymbol(handle, "curl_easy_perform", lib.easyPerform) &&
                    takeSymbol(handle, "curl_easy_getinfo", lib.easyGetinfo) &&
                    takeSymbol(handle, "curl_easy_strerror", lib.easyStrerror) &&
                    takeSymbol(handle, "curl_slist_append", lib.slistAppend) &&
                    takeSymbol(handle, "curl_slist_free_all", lib.slistFreeAll) &&
                    takeSymbol(handle, "curl_url", lib.url) &&
                    takeSymbol(handle, "curl_url_cleanup", lib.urlCleanup) &&
                    takeSymbol(handle, "curl_url_set", lib.urlSet) &&
                    takeSymbol(handle, "curl_url_get", lib.urlGet) &&
                    takeSymbol(handle, "curl_free", lib.free);
    if (!complete)
        return closeTooOld(handle, soname, "libcurl");
    return lib;
}

const CurlLibrary* curlLibrary() {
    const auto& loaded = processLibrary();
    return loaded.library ? &*loaded.library : nullptr;
}

const std::string& curlLibraryError() {
    return processLibrary().error;
}

} // namespace KestruneCore
