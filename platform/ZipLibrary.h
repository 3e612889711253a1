// libzip, loaded when a diagnostics zip is first made rather than when a program
// starts: a zip is made only on request, and libzip brings the crypto libraries with
// it. The types come from the libzip header; the functions from the loaded library.
#pragma once

#include <string>
#include <zip.h>

namespace KestruneCore {

// The few libzip functions the diagnostics zip uses.
struct ZipLibrary {
    zip_t* (*open)(const char*, int, int*);
    zip_source_t* (*sourceFile)(zip_t*, const char*, zip_uint64_t, zip_int64_t);
    zip_int64_t (*fileAdd)(zip_t*, const char*, zip_source_t*, zip_flags_t);
    void (*sourceFree)(zip_source_t*);
    void (*discard)(zip_t*);
    int (*close)(zip_t*);
};

// The process-wide libzip ("libzip.so.4"), loaded once, safely from any thread;
// nullptr when it cannot be loaded (zipLibraryError() says why).
const ZipLibrary* zipLibrary();
const std::string& zipLibraryError();

} // namespace KestruneCore
