// Moves what the program left behind under its former name: the data folder, the
// logs, the user-defaults domain and the former launch agent.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace KestruneCore {

// Runs the agent tool with an argument list; the default goes through the agent
// backend with output discarded.
void runLaunchctl(const std::vector<std::string>& args);

// Each step is independent and every failure is ignored; nothing that exists at a
// destination is ever overwritten. User defaults are touched only when `home` is the
// current user's home folder (HOME).
void migrateFromFormerName(
    const std::string& home = {},
    const std::function<void(const std::vector<std::string>&)>& launchctl = runLaunchctl);

// The plist file of a user-defaults domain under a home folder:
// home + "/Library/Preferences/" + domain + ".plist".
std::string defaultsPath(const std::string& home, const std::string& domain);

} // namespace KestruneCore
