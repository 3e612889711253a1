#include "platform/DynamicLibrary.h"

namespace KestruneCore {

std::variant<void*, std::string> openLibrary(const char* soname, const std::string& what) {
    void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        return what + " is not available (" + (why ? why : soname) + ")";
    }
    return handle;
}

std::string closeTooOld(void* handle, const char* soname, const std::string& what) {
    ::dlclose(handle);
    return what + " is too old (" + soname + " lacks a needed function)";
}

} // namespace KestruneCore
