// The tail of the shared activity log.
#pragma once

#include "ctl/Context.h"

#include <string>
#include <vector>

namespace KestruneCtl {

// A log line longer than this is shown by its last this many bytes.
inline constexpr std::size_t maxLogLineBytes = 1024 * 1024;

// The last `count` non-empty lines of a log file, oldest first. The file is read
// backwards from its end in bounded memory, so a large log costs no more than the
// lines asked for.
std::vector<std::string> lastLogLines(const std::string& path, std::size_t count);

// Prints the last `count` lines of the activity log (nothing when there is none).
int showLog(const Context& ctx, long count);

} // namespace KestruneCtl
