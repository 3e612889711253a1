// Libraries opened on first use instead of linked, so a program that never needs one
// never maps it, nor the libraries it brings with it.
#pragma once

#include <dlfcn.h>
#include <string>
#include <variant>

namespace KestruneCore {

// Opens soname for the life of the process (the functions taken from it must stay
// valid), or says why it could not, naming the library as `what` ("libcurl").
std::variant<void*, std::string> openLibrary(const char* soname, const std::string& what);

// Resolves one function into its typed slot; false when the library lacks it.
template <typename F> bool takeSymbol(void* handle, const char* name, F& slot) {
    slot = reinterpret_cast<F>(::dlsym(handle, name));
    return slot != nullptr;
}

// Closes a library that lacks a needed function and says so.
std::string closeTooOld(void* handle, const char* soname, const std::string& what);

} // namespace KestruneCore
