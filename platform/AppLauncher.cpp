#include "platform/AppLauncher.h"

#include "core/FileIO.h"
#include "platform/BundleInfo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace KestruneCore {

namespace {

LaunchPlan failure(int err) {
    return {std::nullopt, std::strerror(err)};
}

// The errno exec would give for a path, or 0 when it can be run.
int runnableError(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (::access(path.c_str(), X_OK) != 0)
        return errno;
    return 0;
}

} // namespace

LaunchPlan launchPlan(const std::string& path) {
    if (isDesktopFile(path)) {
        if (!fileExists(path))
            return failure(ENOENT);
        auto entry = readDesktopEntry(path);
        if (!entry)
            return failure(ENOEXEC);
        auto args = desktopExecArguments(entry->exec);
        if (args.empty() || args[0].empty())
            return failure(ENOEXEC);
        LaunchCommand cmd;
        cmd.argv = std::move(args);
        cmd.environment = {{"GIO_LAUNCHED_DESKTOP_FILE", path}};
        // Apps started from a menu start in the home folder.
        if (const char* h = std::getenv("HOME"); h && *h)
            cmd.workingDirectory = h;
        return {std::move(cmd), {}};
    }
    if (isDirectory(path)) {
        auto executable = infoPlistString(path, "CFBundleExecutable");
        if (!executable || executable->empty() || executable->find('/') != std::string::npos)
            return failure(ENOEXEC);
        std::string program = path + "/Contents/MacOS/" + *executable;
        if (int err = runnableError(program))
            return failure(err);
        return {LaunchCommand{{program}, {}, {}}, {}};
    }
    if (int err = runnableError(path))
        return failure(err);
    return {LaunchCommand{{path}, {}, {}}, {}};
}

SpawnResult openApplication(const std::string& path, const std::string& outputTo, StartGate* gate) {
    auto plan = launchPlan(path);
    if (!plan.command)
        return {false, -1, plan.error};
    const auto& cmd = *plan.command;
    return spawnDetached(cmd.argv, cmd.environment, cmd.workingDirectory, outputTo, gate);
}

} // namespace KestruneCore
