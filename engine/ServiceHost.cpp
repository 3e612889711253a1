#include "engine/ServiceHost.h"

#include "core/FileIO.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace KestruneEngine {

namespace {

std::vector<char*> cArgv(std::vector<std::string>& args) {
    std::vector<char*> out;
    for (auto& a : args)
        out.push_back(a.data());
    out.push_back(nullptr);
    return out;
}

// Spawns `args` with stdin/stdout/stderr on /dev/null, default signal handling and
// an empty signal mask (serve blocks the signals it reads through a signalfd).
// `newSession` puts the child into its own session and process group.
pid_t spawnQuiet(std::vector<std::string> args, const std::vector<std::string>& extraEnv,
                 bool newSession, int& error) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (newSession)
        flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attr, flags);

    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        bool replaced = false;
        for (const auto& extra : extraEnv) {
            auto eq = extra.find('=');
            if (entry.substr(0, eq + 1) == std::string_view(extra).substr(0, eq + 1))
                replaced = true;
        }
        if (!replaced)
            env.emplace_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());

    auto argv = cArgv(args);
    auto envp = cArgv(env);
    pid_t pid = -1;
    error = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return error == 0 ? pid : -1;
}

std::optional<pid_t> parsePid(const std::string& handle) {
    if (handle.empty() || handle.size() > 10)
        return std::nullopt;
    long long v = 0;
    for (char c : handle) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v <= 1 || v > 0x3fffffff)
        return std::nullopt;
    return static_cast<pid_t>(v);
}

// The process group of a process, from /proc/PID/stat (field 5, after the name in
// parentheses, which may itself hold blanks and parentheses).
std::optional<pid_t> processGroupOf(const std::string& pid) {
    auto stat = KestruneCore::readFile("/proc/" + pid + "/stat", 4096);
    if (!stat)
        return std::nullopt;
    auto close = stat->rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    // ") S ppid pgrp"
    int field = 0;
    std::size_t i = close + 1;
    while (i < stat->size()) {
        while (i < stat->size() && (*stat)[i] == ' ')
            ++i;
        std::size_t start = i;
        while (i < stat->size() && (*stat)[i] != ' ')
            ++i;
        if (++field == 3)
            return parsePid(stat->substr(start, i - start));
    }
    return std::nullopt;
}

bool carriesMarker(const std::string& pid, const std::string& stem) {
    auto env = KestruneCore::readFile("/proc/" + pid + "/environ", 1 << 20);
    if (!env)
        return false;
    std::string want = std::string(serviceMarkerVariable) + "=" + stem;
    std::size_t start = 0;
    while (start < env->size()) {
        auto end = env->find('\0', start);
        if (end == std::string::npos)
            end = env->size();
        if (env->compare(start, end - start, want) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// True when some process of group `pgid` was started by a runner for `stem`. A stale
// id from an earlier boot or a reused one never matches, so it is never signalled.
bool groupIsOurs(pid_t pgid, const std::string& stem) {
    // Our own runner children that ended are reaped first, so a zombie never counts.
    while (::waitpid(-pgid, nullptr, WNOHANG) > 0) {
    }
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return false;
    bool found = false;
    while (auto* ent = ::readdir(proc)) {
        if (ent->d_name[0] < '0' || ent->d_name[0] > '9')
            continue;
        std::string pid = ent->d_name;
        auto group = processGroupOf(pid);
        if (group && *group == pgid && carriesMarker(pid, stem)) {
            found = true;
            break;
        }
    }
    ::closedir(proc);
    return found;
}

class ProcessGroupHost : public ServiceHost {
public:
    explicit ProcessGroupHost(std::string enginePath) : engine_(std::move(enginePath)) {}

    StartOutcome start(const StartRequest& r) override {
        std::vector<std::string> args{engine_,  "exec-service", "--home", r.home,
                                      "--key",  r.stem,         "--dir",  r.dir,
                                      "--name", r.name,         "--method", r.method};
        int error = 0;
        pid_t pid = spawnQuiet(args, {std::string(serviceMarkerVariable) + "=" + r.stem}, true,
                               error);
        if (pid < 0)
            return {{}, std::strerror(error)};
        return {std::to_string(pid), {}};
    }

    bool isAlive(const std::string& stem, const std::string& handle) override {
        auto pgid = parsePid(handle);
        return pgid && groupIsOurs(*pgid, stem);
    }

    void stop(const std::string& stem, const std::string& handle) override {
        auto pgid = parsePid(handle);
        if (!pgid || !groupIsOurs(*pgid, stem))
            return;
        ::kill(-*pgid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(stopGraceSeconds);
        while (std::chrono::steady_clock::now() < deadline) {
            while (::waitpid(-*pgid, nullptr, WNOHANG) > 0) {
            }
            if (::kill(-*pgid, 0) != 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(-*pgid, SIGKILL);
        while (::waitpid(-*pgid, nullptr, WNOHANG) > 0) {
        }
    }

private:
    std::string engine_;
};

class SystemdUnitHost : public ServiceHost {
public:
    SystemdUnitHost(std::string enginePath, CommandRunner runner)
        : engine_(std::move(enginePath)), run_(std::move(runner)) {}

    StartOutcome start(const StartRequest& r) override {
        std::string unit = serviceUnitName(r.stem);
        // A unit of the same name from an earlier start (kept by RemainAfterExit or
        // failed) must go before the name can be used again.
        run_({"systemctl", "--user", "stop", unit});
        run_({"systemctl", "--user", "reset-failed", unit});
        // Only the stem (file-name-safe) and fixed words go on the unit's command
        // line: the manager expands "$" and "%" there, so the folder, name and method
        // are looked up by the runner from the watch list instead.
        int status = run_({"systemd-run",
                           "--user",
                           "--quiet",
                           "--collect",
                           "--unit=" + unit,
                           "-p",
                           "RemainAfterExit=yes",
                           "-p",
                           "TimeoutStopSec=" + std::to_string(stopGraceSeconds),
                           "--setenv=HOME=" + r.home,
                           "--setenv=" + std::string(serviceMarkerVariable) + "=" + r.stem,
                           engine_,
                           "exec-service",
                           "--key",
                           r.stem});
        if (status != 0)
            return {{}, "systemd-run exited with status " + std::to_string(status)};
        return {unit, {}};
    }

    bool isAlive(const std::string&, const std::string& handle) override {
        return isOurUnit(handle) &&
               run_({"systemctl", "--user", "is-active", "--quiet", handle}) == 0;
    }

    void stop(const std::string&, const std::string& handle) override {
        if (isOurUnit(handle))
            run_({"systemctl", "--user", "stop", handle});
    }

private:
    static bool isOurUnit(const std::string& handle) {
        return handle.rfind("kestrune-svc-", 0) == 0;
    }
    std::string engine_;
    CommandRunner run_;
};

bool userManagerAnswers() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime)
        return false;
    if (!KestruneCore::fileExists(std::string(runtime) + "/systemd/private"))
        return false;
    return runCommand({"systemctl", "--user", "is-system-running"}) >= 0 &&
           runCommand({"systemctl", "--user", "show-environment"}) == 0;
}

} // namespace

std::string serviceUnitName(const std::string& stem) { return "kestrune-svc-" + stem + ".service"; }

std::unique_ptr<ServiceHost> makeProcessGroupHost(std::string enginePath) {
    return std::make_unique<ProcessGroupHost>(std::move(enginePath));
}

std::unique_ptr<ServiceHost> makeSystemdUnitHost(std::string enginePath, CommandRunner runner) {
    return std::make_unique<SystemdUnitHost>(std::move(enginePath), std::move(runner));
}

std::unique_ptr<ServiceHost> chooseServiceHost(std::string enginePath, CommandRunner runner) {
    const char* forced = std::getenv("KESTRUNE_SERVICE_HOST");
    std::string choice = forced ? forced : "";
    if (choice == "group")
        return makeProcessGroupHost(std::move(enginePath));
    if (choice == "systemd" || userManagerAnswers())
        return makeSystemdUnitHost(std::move(enginePath), std::move(runner));
    return makeProcessGroupHost(std::move(enginePath));
}

int runCommand(const std::vector<std::string>& argv) {
    if (argv.empty())
        return -1;
    std::vector<std::string> args = argv;
    if (args[0].find('/') == std::string::npos) {
        args[0] = findInPath(args[0]);
        if (args[0].empty())
            return -1;
    }
    int error = 0;
    pid_t pid = spawnQuiet(args, {}, false, error);
    if (pid < 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

std::string findInPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        auto colon = dirs.find(':', start);
        auto dir =
            dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && KestruneCore::isExecutableFile(dir + "/" + program))
            return dir + "/" + program;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return {};
}

std::string currentExecutablePath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

} // namespace KestruneEngine
