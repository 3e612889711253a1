// A service folder's display name, adding a folder to the watch list, and the texts
// shown for a folder Kestrune cannot start.
#pragma once

#include "core/WatchList.h"

#include <optional>
#include <string>
#include <utility>

namespace KestruneCore {

// The first "# " heading of README.md, trimmed, or the folder's last component.
std::string serviceName(const std::string& dir);

// The list with a new enabled service for `dir` appended, or the list unchanged when
// an entry already has exactly this path.
std::optional<WatchList> addingService(const std::string& dir, const WatchList& list);

// (message, informative text) of the alert shown after adding a folder whose start
// method is unknown.
std::pair<std::string, std::string> unknownMethodSheet(const std::string& name);

} // namespace KestruneCore
