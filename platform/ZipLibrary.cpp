#include "platform/ZipLibrary.h"

#include "platform/DynamicLibrary.h"

#include <mutex>
#include <optional>

namespace KestruneCore {

namespace {

struct Loaded {
    std::optional<ZipLibrary> library;
    std::string error;
};

const Loaded& processLibrary() {
    static auto* loaded = new Loaded; // never destroyed, like the library itself
    static std::once_flag once;
    std::call_once(once, [] {
        const char* soname = "libzip.so.4";
        auto opened = openLibrary(soname, "libzip");
        if (auto* error = std::get_if<std::string>(&opened)) {
            loaded->error = *error;
            return;
        }
        void* handle = std::get<void*>(opened);
        ZipLibrary lib{};
        bool complete = takeSymbol(handle, "zip_open", lib.open) &&
                        takeSymbol(handle, "zip_source_file", lib.sourceFile) &&
                        takeSymbol(handle, "zip_file_add", lib.fileAdd) &&
                        takeSymbol(handle, "zip_source_free", lib.sourceFree) &&
                        takeSymbol(handle, "zip_discard", lib.discard) &&
                        takeSymbol(handle, "zip_close", lib.close);
        if (!complete) {
            loaded->error = closeTooOld(handle, soname, "libzip");
            return;
        }
        loaded->library = lib;
    });
    return *loaded;
}

} // namespace

const ZipLibrary* zipLibrary() {
    const auto& loaded = processLibrary();
    return loaded.library ? &*loaded.library : nullptr;
}

const std::string& zipLibraryError() {
    return processLibrary().error;
}

} // namespace KestruneCore
