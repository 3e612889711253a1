#include "icons/ImageSupport.h"

#include <sys/stat.h>

namespace KestruneCore {

ImageSupport& imageSupport() {
    static ImageSupport support{
        {},
        [](const std::string& path) {
            struct stat st {};
            return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
        },
        [](std::string_view) { return false; },
        [](const std::string&) { return std::int64_t{0}; },
        [](const std::string&) { return false; },
    };
    return support;
}

} // namespace KestruneCore
