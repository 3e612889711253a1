// The running applications of the current user, read from /proc. A process stands
// for every bundle path it can be recognised by: its executable, the .desktop file
// it was launched from (GIO_LAUNCHED_DESKTOP_FILE), the AppImage it runs from
// (APPIMAGE) and, for an executable inside X.app/Contents/MacOS/, the X.app folder.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace KestruneCore {

struct RunningApp {
    pid_t pid = 0;
    std::vector<std::string> bundlePaths;
};

// Every process of the current user whose executable can be read.
std::vector<RunningApp> runningApplications(const std::string& procRoot = "/proc");

// The bundle paths one process is known by, given its executable and environment
// variables (split out so the rules can be checked without real processes).
std::vector<std::string> bundlePathsOf(const std::string& executable,
                                       const std::optional<std::string>& desktopFile,
                                       const std::optional<std::string>& appImage);

// The processes that `path` names: a bundle path equal to it (exact text), or, for a
// .desktop file, a process running the program of its Exec line.
std::vector<pid_t> processesRunning(const std::string& path, const std::string& procRoot = "/proc");

// An AppImage file (by its header), whose processes run from a mounted image and
// carry the file's path in APPIMAGE.
bool isAppImage(const std::string& path);

// True when processesRunning would find at least one (stops at the first).
bool isBundleRunning(const std::string& path, const std::string& procRoot = "/proc");

} // namespace KestruneCore
