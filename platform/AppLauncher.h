// Opening an application the way a desktop does: a .desktop file runs its Exec line,
// an .app bundle its Contents/MacOS program, an executable or AppImage itself. The
// program runs detached in its own session; no shell is involved.
#pragma once

#include "platform/Process.h"

#include <optional>
#include <string>

namespace KestruneCore {

struct LaunchCommand {
    std::vector<std::string> argv;
    EnvironmentAdditions environment;
    std::string workingDirectory;

    bool operator==(const LaunchCommand&) const = default;
};

// What opening `path` would run, or the reason (strerror text) it cannot be opened.
struct LaunchPlan {
    std::optional<LaunchCommand> command;
    std::string error;
};
LaunchPlan launchPlan(const std::string& path);

// Starts the application; on failure the error is the system's description, shown
// after "launch failed: ". Its output goes to `outputTo` when given, else nowhere; a
// gate holds it back as spawnDetached describes.
SpawnResult openApplication(const std::string& path, const std::string& outputTo = {},
                            StartGate* gate = nullptr);

} // namespace KestruneCore
