#include "engine/ServiceHost.h"

#include "core/FileIO.h"
#include "engine/BusUnitHost.h"
#include "engine/EntryState.h"
#include "engine/StartRunner.h"
#include "platform/AgentBackend.h"
#include "platform/Process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace KestruneEngine {

namespace {

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

// The fields of /proc/PID/stat after the command name (which sits in parentheses and
// may itself hold blanks and parentheses): [0] is the state, [2] the process group,
// [19] the start time in clock ticks after boot.
std::vector<std::string> statFields(const std::string& pid) {
    std::vector<std::string> fields;
    auto stat = KestruneCore::readFile("/proc/" + pid + "/stat", 4096);
    if (!stat)
        return fields;
    auto close = stat->rfind(')');
    if (close == std::string::npos)
        return fields;
    std::size_t i = close + 1;
    while (i < stat->size()) {
        while (i < stat->size() && ((*stat)[i] == ' ' || (*stat)[i] == '\n'))
            ++i;
        std::size_t start = i;
        while (i < stat->size() && (*stat)[i] != ' ' && (*stat)[i] != '\n')
            ++i;
        if (i > start)
            fields.push_back(stat->substr(start, i - start));
    }
    return fields;
}

// "pgid:starttime" of a runner: the group id and when its leader began, so that a
// group id reused after the runner is gone is never taken for it.
struct GroupHandle {
    pid_t pgid = 0;
    std::string leaderStart;
};

std::optional<GroupHandle> parseHandle(const std::string& handle) {
    auto colon = handle.find(':');
    auto pgid = parsePid(handle.substr(0, colon));
    if (!pgid)
        return std::nullopt;
    return GroupHandle{*pgid,
                       colon == std::string::npos ? std::string() : handle.substr(colon + 1)};
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

// Whether any process, live or not yet reaped, is still in the group.
bool groupExists(pid_t pgid) {
    return ::kill(-pgid, 0) == 0 || errno == EPERM;
}

// Whether the group's leader is the runner itself, alive: its start time tells it
// from a process that got the id later.
bool leaderRuns(const GroupHandle& group) {
    if (group.leaderStart.empty())
        return false;
    auto fields = statFields(std::to_string(group.pgid));
    return fields.size() >= 20 && fields[19] == group.leaderStart && fields[0] != "Z" &&
           parsePid(fields[2]) == group.pgid;
}

// The first live process of the group that `accept` takes (given its pid and its
// stat fields), or none. Zombies never count as running; they are left for serve to
// reap, which learns from their status how a runner ended. This reads every process
// of the machine: callers look at the leader first and come here only when it is
// gone while its group lives on.
std::optional<int> firstMember(
    const GroupHandle& group,
    const std::function<bool(const std::string& pid, const std::vector<std::string>& fields)>&
        accept) {
    if (!groupExists(group.pgid))
        return std::nullopt;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return std::nullopt;
    std::optional<int> found;
    while (auto* ent = ::readdir(proc)) {
        if (ent->d_name[0] < '0' || ent->d_name[0] > '9')
            continue;
        std::string pid = ent->d_name;
        auto fields = statFields(pid);
        if (fields.size() < 20 || parsePid(fields[2]) != group.pgid || fields[0] == "Z")
            continue;
        if (accept(pid, fields)) {
            found = std::atoi(pid.c_str());
            break;
        }
    }
    ::closedir(proc);
    return found;
}

// True when a process of the group is the runner itself (same start time) or was
// started by it (it carries the marker). A stale id from an earlier boot or a reused
// one never matches, so an unrelated group is never signalled.
bool groupIsOurs(const GroupHandle& group, const std::string& stem) {
    if (leaderRuns(group))
        return true;
    return firstMember(group,
                       [&](const std::string& pid, const std::vector<std::string>& fields) {
                           bool leader = pid == std::to_string(group.pgid) &&
                                         !group.leaderStart.empty() &&
                                         fields[19] == group.leaderStart;
                           return leader || carriesMarker(pid, stem);
                       })
        .has_value();
}

// A live process of the group that a runner of `stem` started.
std::optional<int> markedMember(const GroupHandle& group, const std::string& stem) {
    return firstMember(group, [&](const std::string& pid, const std::vector<std::string>&) {
        return carriesMarker(pid, stem);
    });
}

// Starts the runner in a session of its own with the engine's signal mask and
// handlers undone, standard streams on /dev/null and nothing else of ours open (above
// all not the pass lock, which would stay held as long as the service runs).
KestruneCore::SpawnResult spawnRunner(const std::vector<std::string>& args,
                                      const std::string& stem) {
    std::string marker = std::string(serviceMarkerVariable) + "=" + stem;
    std::vector<char*> envp;
    std::string prefix = std::string(serviceMarkerVariable) + "=";
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind(prefix, 0) != 0)
            envp.push_back(*e);
    envp.push_back(marker.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    for (int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&files, fd, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    pid_t pid = -1;
    int err = ::posix_spawn(&pid, argv[0], &files, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (err != 0)
        return {false, -1, std::strerror(err)};
    return {true, pid, {}};
}

class ProcessGroupHost : public ServiceHost {
public:
    explicit ProcessGroupHost(const std::string& enginePath) : runner_(runnerCommand(enginePath)) {}

    StartOutcome start(const StartRequest& r) override {
        auto args = runner_;
        args.insert(args.end(),
                    {"--key", r.stem, "--dir", r.dir, "--name", r.name, "--method", r.method});
        if (!r.home.empty())
            args.insert(args.end(), {"--home", r.home});
        if (r.began > 0)
            args.insert(args.end(), {"--began", secondsText(r.began)});
        if (auto old = parseHandle(r.replaces); old && groupIsOurs(*old, r.stem)) {
            // Asked to end now; the new runner waits for it (and forces it if need
            // be), so the engine never does.
            ::kill(-old->pgid, SIGTERM);
            ::kill(-old->pgid, SIGCONT);
            args.insert(args.end(), {"--replaces", std::to_string(old->pgid)});
        }
        // A new program, not a fork: this process has check threads running, whose
        // locks a forked copy would inherit held.
        auto spawned = spawnRunner(args, r.stem);
        if (!spawned)
            return {{}, spawned.error};
        std::string start;
        auto fields = statFields(std::to_string(spawned.pid));
        if (fields.size() >= 20)
            start = fields[19];
        return {std::to_string(spawned.pid) + ":" + start, {}};
    }

    bool isAlive(const std::string& stem, const std::string& handle) override {
        auto group = parseHandle(handle);
        return group && groupIsOurs(*group, stem);
    }

    std::optional<int> runnerPid(const std::string& stem, const std::string& handle) override {
        // The runner leads its group; its start time tells it from a reused id.
        auto group = parseHandle(handle);
        if (!group || group->leaderStart.empty())
            return std::nullopt;
        if (leaderRuns(*group))
            return group->pgid;
        // The runner is gone but what it started runs on: watch that instead.
        return markedMember(*group, stem);
    }

    void stop(const std::string& stem, const std::string& handle) override {
        auto group = parseHandle(handle);
        if (!group || !groupIsOurs(*group, stem))
            return;
        pid_t pgid = group->pgid;
        ::kill(-pgid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(stopGraceSeconds);
        while (std::chrono::steady_clock::now() < deadline) {
            while (::waitpid(-pgid, nullptr, WNOHANG) > 0) {
            }
            if (::kill(-pgid, 0) != 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(-pgid, SIGKILL);
        while (::waitpid(-pgid, nullptr, WNOHANG) > 0) {
        }
    }

private:
    std::vector<std::string> runner_;
};

class SystemdUnitHost : public ServiceHost {
public:
    SystemdUnitHost(std::string enginePath, CommandRunner runner)
        : runner_(runnerCommand(enginePath)), run_(std::move(runner)) {}

    StartOutcome start(const StartRequest& r) override {
        std::string unit = serviceUnitName(r.stem);
        // A unit of the same name from an earlier start (kept by RemainAfterExit or
        // failed) must go before the name can be used again.
        run_({"systemctl", "--user", "stop", unit});
        run_({"systemctl", "--user", "reset-failed", unit});
        // Only the stem (file-name-safe) and fixed words go on the unit's command
        // line, which the manager expands; the rest goes in the environment.
        std::vector<std::string> argv{
            "systemd-run",
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
            "--setenv=" + std::string(runnerDirVariable) + "=" + r.dir,
            "--setenv=" + std::string(runnerNameVariable) + "=" + r.name,
            "--setenv=" + std::string(runnerMethodVariable) + "=" + r.method};
        argv.insert(argv.end(), runner_.begin(), runner_.end());
        argv.insert(argv.end(), {"--key", r.stem});
        if (r.began > 0) {
            argv.push_back("--began");
            argv.push_back(secondsText(r.began)); // digits and a point only
        }
        int status = run_(argv);
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

    std::optional<int> runnerPid(const std::string&, const std::string& handle) override {
        if (!isOurUnit(handle))
            return std::nullopt;
        auto systemctl = KestruneCore::findInPath("systemctl");
        if (!systemctl)
            return std::nullopt;
        KestruneCore::ProcessOptions options;
        options.timeLimit = std::chrono::seconds(5);
        auto shown = KestruneCore::runProcess(
            {*systemctl, "--user", "show", "-p", "MainPID", "--value", handle}, options);
        int pid = shown.succeeded() ? std::atoi(shown.output.c_str()) : 0;
        return pid > 1 ? std::optional<int>(pid) : std::nullopt;
    }

private:
    static bool isOurUnit(const std::string& handle) {
        return handle.rfind("kestrune-svc-", 0) == 0;
    }
    std::vector<std::string> runner_;
    CommandRunner run_;
};

bool managerSocketExists() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime &&
           KestruneCore::fileExists(std::string(runtime) + "/systemd/private");
}

bool userManagerAnswers() {
    if (!managerSocketExists())
        return false;
    return runCommand({"systemctl", "--user", "is-system-running"}) >= 0 &&
           runCommand({"systemctl", "--user", "show-environment"}) == 0;
}

} // namespace

std::string startRefusedCause(const std::string& error) {
    return "could not start: " + error;
}

std::string serviceUnitName(const std::string& stem) {
    return "kestrune-svc-" + stem + ".service";
}

std::unique_ptr<ServiceHost> makeProcessGroupHost(std::string enginePath) {
    if (enginePath.empty())
        enginePath = currentExecutablePath();
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
    if (choice == "systemd" || managerSocketExists()) {
        if (auto bus = KestruneCore::UserManagerBus::connect())
            return makeBusUnitHost(std::move(enginePath), std::move(bus));
    }
    if (choice == "systemd" || userManagerAnswers())
        return makeSystemdUnitHost(std::move(enginePath), std::move(runner));
    return makeProcessGroupHost(std::move(enginePath));
}

int runCommand(const std::vector<std::string>& argv) {
    if (argv.empty())
        return -1;
    auto program = KestruneCore::findInPath(argv[0]);
    if (!program)
        return -1;
    auto args = argv;
    args[0] = *program;
    return KestruneCore::runQuietly(args);
}

std::string currentExecutablePath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

bool processRuns(int pid) {
    if (pid <= 0)
        return false;
    auto fields = statFields(std::to_string(pid));
    return !fields.empty() && fields[0] != "Z" && fields[0] != "X";
}

} // namespace KestruneEngine
