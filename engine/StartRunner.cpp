#include "engine/StartRunner.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/StartMethod.h"
#include "engine/EntryState.h"
#include "platform/Process.h"
#include "services/ServiceLog.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

namespace KestruneEngine {

namespace {

double epochNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void writeAllQuietly(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// The start command, for the handlers below: a runner asked to stop passes the
// request on and still records how the command ended.
volatile sig_atomic_t commandPid = 0;

void passOn(int sig) {
    if (commandPid > 0)
        ::kill(commandPid, sig);
}

// True while a process of the group other than a zombie remains.
bool groupRuns(int pgid) {
    if (::kill(-pgid, 0) != 0)
        return false;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return true;
    bool found = false;
    while (auto* ent = ::readdir(proc)) {
        if (ent->d_name[0] < '0' || ent->d_name[0] > '9')
            continue;
        auto stat = KestruneCore::readFile(std::string("/proc/") + ent->d_name + "/stat", 4096);
        if (!stat)
            continue;
        auto close = stat->rfind(')');
        if (close == std::string::npos || close + 2 >= stat->size())
            continue;
        // After ") ": state, parent, group.
        std::string rest = stat->substr(close + 2);
        char state = rest[0];
        int ppid = 0, group = 0;
        if (std::sscanf(rest.c_str() + 1, " %d %d", &ppid, &group) == 2 && group == pgid &&
            state != 'Z') {
            found = true;
            break;
        }
    }
    ::closedir(proc);
    return found;
}

// Waits for an earlier start's group to end, forcing it after the stop grace.
void seeOff(int pgid) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (groupRuns(pgid)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(-pgid, SIGKILL);
            deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        }
        ::usleep(10000);
    }
}

} // namespace

namespace {
constexpr std::string_view endMarkerWords = "launch.sh exited with status ";
} // namespace

std::string startEndMessage(const std::string& methodLabel, int status) {
    std::string text = std::string(endMarkerWords) + std::to_string(status);
    KestruneCore::StartMethod method(methodLabel);
    if (method.kind == KestruneCore::StartMethod::Kind::script)
        text += " (" + method.runner + " run " + method.scriptName + ")";
    return text;
}

bool endMarkerLogged(const std::string& name) {
    // The latest start's lines are near the end; a bounded tail keeps this cheap.
    constexpr std::size_t tailBytes = 256 * 1024;
    auto tail = KestruneCore::readFileTail(KestruneCore::logPath(), tailBytes);
    if (!tail)
        return false;
    // "[name] " as the log writes it, after the fixed-width time stamp.
    std::string line = KestruneCore::logLine(name, "");
    std::string tag = line.substr(line.find('['), line.size() - line.find('[') - 1);
    auto end = tail->rfind(tag + std::string(endMarkerWords));
    if (end == std::string::npos)
        return false;
    auto start = tail->rfind(tag + "ACTION: ");
    return start == std::string::npos || end > start;
}

std::vector<std::string> startCommand(const std::string& dir, const std::string& methodLabel) {
    KestruneCore::StartMethod method(methodLabel);
    switch (method.kind) {
    case KestruneCore::StartMethod::Kind::launchSh:
        return {dir + "/scripts/launch.sh"};
    case KestruneCore::StartMethod::Kind::script: {
        auto runner = KestruneCore::findInPath(method.runner);
        if (!runner)
            return {};
        return {*runner, "run", method.scriptName};
    }
    case KestruneCore::StartMethod::Kind::unknown:
        break;
    }
    return {};
}

int runStartRunner(const RunnerOptions& options) {
    // A transient unit's command line is expanded by the manager, so unit hosts hand
    // the folder, name and method over in the environment, which it keeps as given.
    auto given = [](const std::optional<std::string>& option, const char* variable) {
        if (option)
            return *option;
        const char* value = std::getenv(variable);
        std::string text = value ? value : "";
        ::unsetenv(variable); // not passed on to the start command
        return text;
    };
    std::string dir = given(options.dir, runnerDirVariable);
    std::string name = given(options.name, runnerNameVariable);
    std::string method = given(options.method, runnerMethodVariable);
    if (dir.empty() || name.empty() || method.empty())
        return 2;

    if (options.replacesGroup > 1)
        seeOff(options.replacesGroup);

    KestruneCore::makeFolders(KestruneCore::logsFolder());
    KestruneCore::capServiceLog(name);
    // Not through a symbolic link, which could lead anywhere; output is then dropped.
    int logFd = ::open(KestruneCore::serviceLogPath(name).c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (logFd < 0)
        logFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    auto argv = startCommand(dir, method);
    writeAllQuietly(logFd, "--- " + KestruneCore::timestamp(std::chrono::system_clock::now()) +
                               " starting with " + method + "\n");

    int status = 127;
    if (argv.empty()) {
        writeAllQuietly(logFd, "cannot start with " + method + "\n");
    } else {
        std::vector<char*> cargv;
        for (auto& a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        const char* folder = dir.c_str();
        pid_t pid = ::fork();
        if (pid == 0) {
            // Child: only async-signal-safe calls until exec.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (::chdir(folder) != 0) {
                static const char msg[] = "cannot enter the service folder\n";
                [[maybe_unused]] auto n = ::write(logFd, msg, sizeof msg - 1);
                ::_exit(127);
            }
            ::dup2(nullFd, 0);
            ::dup2(logFd, 1);
            ::dup2(logFd, 2);
            ::execv(cargv[0], cargv.data());
            int err = errno;
            static const char msg[] = "cannot run the start command\n";
            [[maybe_unused]] auto n = ::write(logFd, msg, sizeof msg - 1);
            ::_exit(err == ENOENT ? 127 : 126);
        }
        if (pid > 0) {
            // The runner waits as long as the service runs: what it read to get here
            // (the watch list) goes back to the system rather than sitting in its heap.
            ::malloc_trim(0);
            commandPid = pid;
            struct sigaction forward {};
            forward.sa_handler = passOn;
            for (int sig : {SIGTERM, SIGINT, SIGHUP})
                ::sigaction(sig, &forward, nullptr);
            int raw = 0;
            while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
            }
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
    }
    if (nullFd >= 0)
        ::close(nullFd);
    ::close(logFd);

    // The log line first: the engine acts on stem.exit at once, and its next start
    // marker must come after this end marker. A runner the engine has replaced (a
    // newer start's moment is in stem.began) had its end logged by the engine already.
    EntryState state(KestruneCore::stateFolder(), options.key);
    auto current = state.seconds(".began");
    bool replaced = options.began && current && std::abs(*current - *options.began) > 0.002;
    if (status != 0 && !replaced)
        KestruneCore::log(name, startEndMessage(method, status));
    state.write(".exit", exitRecordText({status, epochNow(), options.began}));
    return status > 255 ? 255 : status;
}

std::optional<int> runStartRunner(const std::map<std::string, std::string>& options) {
    auto take = [&](const char* name) -> std::optional<std::string> {
        auto it = options.find(name);
        return it == options.end() ? std::nullopt : std::optional(it->second);
    };
    auto key = take("--key");
    if (!key)
        return std::nullopt;
    RunnerOptions r;
    r.key = *key;
    r.dir = take("--dir");
    r.name = take("--name");
    r.method = take("--method");
    if (auto began = take("--began"))
        r.began = std::atof(began->c_str());
    if (auto replaces = take("--replaces"))
        r.replacesGroup = std::atoi(replaces->c_str());
    return runStartRunner(r);
}

std::vector<std::string> runnerCommand(const std::string& enginePath) {
    auto slash = enginePath.rfind('/');
    if (slash != std::string::npos) {
        std::string folder = enginePath.substr(0, slash + 1);
        for (const char* place : {KESTRUNE_RUNNER_FROM_BINDIR, "kestrune-runner"}) {
            std::string runner = folder + place;
            if (::access(runner.c_str(), X_OK) == 0)
                return {runner};
        }
    }
    return {enginePath, "exec-service"};
}

} // namespace KestruneEngine
