// A service's own log: where its start command's output goes, and its size cap.
#pragma once

#include <cstddef>
#include <string>

namespace KestruneCore {

// logs folder + "/kestrune-" + name with "/" replaced by "_" + ".log".
std::string serviceLogPath(const std::string& name);

// A service log is capped at this size: past it, its newest part moves to one ".1".
inline constexpr std::size_t serviceLogCapBytes = 8u * 1024u * 1024u;

// capLogFile(serviceLogPath(name), serviceLogCapBytes): the start runner calls it
// before it appends, the engine after each check (a running command keeps writing).
bool capServiceLog(const std::string& name);

} // namespace KestruneCore
