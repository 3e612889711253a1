// The tail of the shared activity log.
#pragma once

#include "ctl/Context.h"

#include <string>
#include <vector>

namespace KestruneCtl {

// The last `count` non-empty lines of a log file, oldest first. The file is read
// from its end, so a large log costs no more than its tail.
std::vector<std::string> lastLogLines(const std::string& path, std::size_t count);

// Prints the last `count` lines of the activity log (nothing when there is none).
int showLog(const Context& ctx, long count);

} // namespace KestruneCtl
