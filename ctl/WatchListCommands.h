// The commands that edit the watch list or the master switch, as the Settings window
// does: same list operations, same activity-log lines.
#pragma once

#include "ctl/Context.h"

#include <string>
#include <vector>

namespace KestruneCtl {

// Adds each app not yet on the list (all paths are checked before anything changes).
int addApps(const Context& ctx, const std::vector<std::string>& paths);
// Adds a project folder as a service; explains when its start method is unknown.
int addService(const Context& ctx, const std::string& dir);
int removeEntry(const Context& ctx, const std::string& nameOrPath);
// Turns an entry's own switch on (then starts it now) or off.
int setEntryEnabled(const Context& ctx, const std::string& nameOrPath, bool on);
int setMaster(const Context& ctx, bool on);

} // namespace KestruneCtl
