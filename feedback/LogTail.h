// The end of a possibly huge log, read backwards so that only what is needed is read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace KestruneCore {

// The last `count` non-empty LF-separated lines of the file at `path`, oldest first
// (all of them when there are fewer). At most `maxBytes` from the end are read: when
// the window is full before `count` lines are found, its first line is kept as the
// part that lies in the window. A missing or unreadable file has no lines.
std::vector<std::string> lastNonEmptyLines(const std::string& path, std::size_t count,
                                           std::size_t maxBytes = 8u << 20);

} // namespace KestruneCore
