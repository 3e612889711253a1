// Finding the watch-list entry a terminal argument means, by name or by path.
#pragma once

#include "core/WatchList.h"

#include <string>
#include <variant>

namespace KestruneCtl {

// An absolute, lexically normal form of a path typed in a terminal (relative to the
// working folder, without a trailing slash), as a file panel would give it.
std::string absolutePath(const std::string& path);

// The index of the entry whose name or path is `nameOrPath` (the path also as an
// absolute path), or a one-line message when none or several different entries
// match. Entries with the same path and type count as one (the first is given).
std::variant<std::size_t, std::string> findEntry(const KestruneCore::WatchList& list,
                                                 const std::string& nameOrPath);

} // namespace KestruneCtl
