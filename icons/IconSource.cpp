#include "icons/IconSource.h"

namespace KestruneCore {

const std::set<std::string, std::less<>>& skipDirs() {
    static const std::set<std::string, std::less<>> dirs = {"node_modules", ".git",    "target",
                                                            "_site",        ".output", "dist"};
    return dirs;
}

} // namespace KestruneCore
