// Moves what the program left behind under its former name (the data folder, the
// logs, the user-defaults domain and the former launch agent) and in the earlier
// ~/Library layout, to where files live now.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace KestruneCore {

// Runs the agent tool with an argument list; the default goes through the agent
// backend with output discarded.
void runLaunchctl(const std::vector<std::string>& args);

// Each step is independent and every failure is ignored; nothing that exists at a
// destination is ever overwritten. The former name's folders are looked for in the
// ~/Library layout and as the same base folders named "tolvane". User defaults are
// touched only when `home` is the current user's home folder (HOME).
void migrateFromFormerName(
    const std::string& home = {},
    const std::function<void(const std::vector<std::string>&)>& launchctl = runLaunchctl);

// Moves each file of the earlier layout (~/Library/Application Support/Kestrune and
// ~/Library/Logs/kestrune*.log) to its place under the base folders (core/Paths)
// when nothing is there yet, then removes the folders left empty; anything else in
// them stays. `home` defaults to HOME; the XDG variables apply as they do to Paths.
void migrateFromEarlierLayout(const std::string& home = {});

// The plist file of a user-defaults domain under a home folder:
// home + "/Library/Preferences/" + domain + ".plist".
std::string defaultsPath(const std::string& home, const std::string& domain);

} // namespace KestruneCore
