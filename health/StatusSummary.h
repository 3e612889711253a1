// What the tray icon says about the whole system, computed without any UI so the
// terminal tool can say exactly the same: the icon state, its tooltip, the text of a
// problem's menu line and the one-line state of an app.
#pragma once

#include "core/ActivityLog.h"
#include "core/AppEntry.h"
#include "health/Problems.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

enum class IconState { healthy, orange, red, off };

// "healthy", "orange", "red", "off".
std::string_view rawValue(IconState state);

// Off unless keeping-alive is active and something is switched on; then red for slow
// starts, orange for problems, healthy otherwise.
IconState iconState(const std::vector<Problem>& problems, bool masterOn, bool anyEnabled,
                    const std::vector<std::string>& slowStarts);

// The status menu's line for one problem.
std::string menuLine(const Problem& problem, bool isService);

// The status icon's tooltip for a state, naming the problems (orange) or the slow
// starts (red).
std::string statusTooltip(IconState state, const std::vector<Problem>& problems,
                          const std::vector<std::string>& slowStarts);

// "HH:mm" of the last activity-log line that holds "[" + name + "] ACTION", or none.
std::optional<std::string> lastRelaunch(std::string_view logText, const std::string& name);

// The one-line state of an app: running or not, its problems (pass the current ones,
// empty while the master switch is off) and its last relaunch from the activity log.
std::string appRowSubtitle(const AppEntry& entry, bool running,
                           const std::vector<Problem>& problems,
                           const std::string& log = logPath());

} // namespace KestruneCore
