#include "platform/CurlLibrary.h"

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
    // The handle stays open for the life of the process, so the functions stay valid.
    void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        return std::string("libcurl is not available (") + (why ? why : soname) + ")";
    }
    CurlLibrary lib{};
    bool complete = take(handle, "curl_global_init", lib.globalInit) &&
                    take(handle, "curl_easy_init", lib.easyInit) &&
                    take(handle, "curl_easy_cleanup", lib.easyCleanup) &&
                    take(handle, "curl_easy_setopt", lib.easySetopt) &&
                    take(handle, "curl_easy_perform", lib.easyPerform) &&
                    take(handle, "curl_easy_getinfo", lib.easyGetinfo) &&
                    take(handle, "curl_easy_strerror", lib.easyStrerror) &&
                    take(handle, "curl_slist_append", lib.slistAppend) &&
                    take(handle, "curl_slist_free_all", lib.slistFreeAll) &&
                    take(handle, "curl_url", lib.url) &&
                    take(handle, "curl_url_cleanup", lib.urlCleanup) &&
                    take(handle, "curl_url_set", lib.urlSet) &&
                    take(handle, "curl_url_get", lib.urlGet) && take(handle, "curl_free", lib.free);
    if (!complete) {
        ::dlclose(handle);
        return std::string("libcurl is too old (") + soname + " lacks a needed function)";
    }
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
