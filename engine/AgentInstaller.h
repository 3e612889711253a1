// `kestrune-engine install` / `uninstall`: the agent definition that keeps
// `kestrune-engine serve` running for the user, and loading or unloading it.
#pragma once

#include "engine/ServiceHost.h"

#include <optional>
#include <string>

namespace KestruneEngine {

struct AgentFiles {
    std::string systemdUnitPath; // userUnitFolder() + "/kestrune-engine.service"
    std::string launchAgentPath; // ~/Library/LaunchAgents/org.velto.kestrune.plist
};
AgentFiles agentFiles();

// The unit file text; `home` adds "--home DIR" when the engine was told one.
std::string systemdUnitText(const std::string& enginePath, const std::optional<std::string>& home);
// The launch agent property list (XML) written with libplist.
std::string launchAgentPlist(const std::string& enginePath, const std::optional<std::string>& home);

// Write the definition, then load it through `run`. Return 0 on success, otherwise
// the failing command's status (or 1 when the file could not be written).
int installSystemdAgent(const std::string& enginePath, const std::optional<std::string>& home,
                        const CommandRunner& run);
int uninstallSystemdAgent(const CommandRunner& run);
int installLaunchAgent(const std::string& enginePath, const std::optional<std::string>& home,
                       const CommandRunner& run);
int uninstallLaunchAgent(const CommandRunner& run);

// A value quoted for a unit file's command line ("%" and "$" escaped too).
std::string systemdQuoted(const std::string& value);

} // namespace KestruneEngine
