#include "platform/ZipLibrary.h"

#include <dlfcn.h>
#include <mutex>
#include <optional>

namespace KestruneCore {

namespace {

template <typename F> bool take(void* handle, const char* name, F& slot) {
    slot = reinterpret_cast<F>(::dlsym(handle, name));
    return slot != nullptr;
}

struct Loaded {
    std::optional<ZipLibrary> library;
    std::string error;
};

const Loaded& processLibrary() {
    static auto* loaded = new Loaded; // never destroyed, like the library itself
    static std::once_flag once;
    std::call_once(once, [] {
        const char* soname = "libzip.so.4";
        // The handle stays open for the life of the process, so the functions stay valid.
        void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = ::dlerror();
            loaded->error = std::string("libzip is not available (") + (why ? why : soname) + ")";
            return;
        }
        ZipLibrary lib{};
        bool complete =
            take(handle, "zip_open", lib.open) && take(handle, "zip_source_file", lib.sourceFile) &&
            take(handle, "zip_file_add", lib.fileAdd) &&
            take(handle, "zip_source_free", lib.sourceFree) &&
            take(handle, "zip_discard", lib.discard) && take(handle, "zip_close", lib.close);
        if (!complete) {
            ::dlclose(handle);
            loaded->error =
                std::string("libzip is too old (") + soname + " lacks a needed function)";
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
