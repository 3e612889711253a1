// The line under the activity log's card: when the log was last written to.
#pragma once

#include "core/ActivityLog.h"

#include <string>

namespace KestruneCore {

// "Last entry yyyy-MM-dd HH:mm" from the file's last line, or the path with the home
// folder abbreviated to "~".
std::string logSubtitle(const std::string& path = logPath());

} // namespace KestruneCore
