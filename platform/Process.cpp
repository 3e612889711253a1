#include "platform/Process.h"

#include "core/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace KestruneCore {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string errorText(int err) {
    return std::strerror(err);
}

// NUL-terminated argument or environment arrays pointing into owned strings.
struct CStrings {
    std::vector<std::string> owned;
    std::vector<char*> ptrs;

    void seal() {
        ptrs.clear();
        for (auto& s : owned)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    char** data() { return ptrs.data(); }
};

CStrings environmentWith(const EnvironmentAdditions& additions) {
    CStrings env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        std::string key = entry.substr(0, eq);
        bool replaced = std::any_of(additions.begin(), additions.end(),
                                    [&](const auto& kv) { return kv.first == key; });
        if (!replaced)
            env.owned.push_back(std::move(entry));
    }
    for (const auto& [key, value] : additions)
        env.owned.push_back(key + "=" + value);
    env.seal();
    return env;
}

CStrings argumentsOf(const std::vector<std::string>& argv) {
    CStrings args;
    args.owned = argv;
    args.seal();
    return args;
}

// The path exec should run for argv[0], or an errno value.
std::pair<std::string, int> resolveProgram(const std::vector<std::string>& argv) {
    if (argv.empty())
        return {{}, EINVAL};
    const std::string& program = argv[0];
    if (program.empty())
        return {{}, ENOENT};
    if (program.find('/') != std::string::npos)
        return {program, 0};
    if (auto found = findInPath(program))
        return {*found, 0};
    return {{}, ENOENT};
}

// Moves a descriptor above the standard three so that redirecting 0–2 in a child
// cannot overwrite it.
int aboveStandardFds(int fd) {
    if (fd < 0 || fd > 2)
        return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

bool makePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    fds[0] = aboveStandardFds(fds[0]);
    fds[1] = aboveStandardFds(fds[1]);
    if (fds[0] < 0 || fds[1] < 0) {
        if (fds[0] >= 0)
            ::close(fds[0]);
        if (fds[1] >= 0)
            ::close(fds[1]);
        return false;
    }
    return true;
}

int statusCode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int pidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

pid_t waitFor(pid_t pid, int* status, int flags) {
    pid_t r;
    do {
        r = ::waitpid(pid, status, flags);
    } while (r < 0 && errno == EINTR);
    return r;
}

void appendCapped(std::string& out, const char* data, std::size_t n, std::size_t cap) {
    if (out.size() >= cap)
        return;
    out.append(data, std::min(n, cap - out.size()));
}

// Reads whatever the pipe holds right now without blocking.
void drain(int fd, std::string& out, std::size_t cap) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        appendCapped(out, buf, static_cast<std::size_t>(n), cap);
    }
}

// Collects output until the child exits or its time is up, then reaps it.
void superviseChild(pid_t pid, int outFd, const ProcessOptions& options, ProcessResult& result) {
    std::optional<SteadyClock::time_point> deadline;
    if (options.timeLimit)
        deadline = SteadyClock::now() + *options.timeLimit;
    int pidfd = pidfdOpen(pid);
    int status = 0;
    bool reaped = false;
    char buf[65536];

    while (!reaped) {
        int timeoutMs = -1;
        if (deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline -
                                                                              SteadyClock::now());
            timeoutMs = static_cast<int>(std::max<long long>(0, left.count()));
        }
        // Without a pidfd the exit is only noticed by polling waitpid.
        if (pidfd < 0)
            timeoutMs = timeoutMs < 0 ? 20 : std::min(timeoutMs, 20);

        pollfd fds[2];
        nfds_t count = 0;
        if (outFd >= 0)
            fds[count++] = {outFd, POLLIN, 0};
        if (pidfd >= 0)
            fds[count++] = {pidfd, POLLIN, 0};
        int ready = ::poll(fds, count, timeoutMs);
        if (ready < 0 && errno != EINTR)
            break;

        if (outFd >= 0 && ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = ::read(outFd, buf, sizeof buf);
            if (n > 0) {
                appendCapped(result.output, buf, static_cast<std::size_t>(n),
                             options.maxOutputBytes);
            } else if (n == 0 || errno != EINTR) {
                ::close(outFd);
                outFd = -1;
            }
        }
        if (waitFor(pid, &status, WNOHANG) == pid) {
            reaped = true;
            break;
        }
        if (deadline && SteadyClock::now() >= *deadline) {
            // The whole group, so helpers the child started do not linger either.
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            result.timedOut = true;
            reaped = waitFor(pid, &status, 0) == pid;
            break;
        }
    }
    if (!reaped)
        reaped = waitFor(pid, &status, 0) == pid;
    if (outFd >= 0) {
        // Whatever the child wrote before it exited is still in the pipe; a grandchild
        // that keeps the pipe open must not keep us waiting.
        drain(outFd, result.output, options.maxOutputBytes);
        ::close(outFd);
    }
    if (pidfd >= 0)
        ::close(pidfd);
    result.exitStatus = reaped ? statusCode(status) : -1;
}

} // namespace

std::optional<std::string> findInPath(const std::string& program) {
    if (program.empty())
        return std::nullopt;
    if (program.find('/') != std::string::npos)
        return isExecutableFile(program) ? std::optional<std::string>(program) : std::nullopt;
    const char* env = std::getenv("PATH");
    std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        auto colon = path.find(':', start);
        std::string dir =
            path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        if (isExecutableFile(candidate))
            return candidate;
        if (colon == std::string::npos)
            return std::nullopt;
        start = colon + 1;
    }
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    ProcessResult result;
    auto [program, err] = resolveProgram(argv);
    if (err != 0) {
        result.error = errorText(err);
        return result;
    }

    const bool capture = options.appendOutputTo.empty();
    int out[2] = {-1, -1};
    if (capture && !makePipe(out)) {
        result.error = errorText(errno);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (capture) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (options.captureStderr)
            posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    } else {
        // Never through a symbolic link, which could lead anywhere.
        posix_spawn_file_actions_addopen(&actions, 1, options.appendOutputTo.c_str(),
                                         O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    // Its own process group, so a time limit can stop everything it started.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);

    CStrings args = argumentsOf(argv);
    CStrings env = environmentWith(options.environment);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (capture)
        ::close(out[1]);
    if (rc != 0) {
        if (capture)
            ::close(out[0]);
        result.error = errorText(rc);
        return result;
    }
    result.started = true;
    superviseChild(pid, capture ? out[0] : -1, options, result);
    return result;
}

ProcessRunner realProcessRunner() {
    return [](const std::vector<std::string>& argv, const ProcessOptions& options) {
        return runProcess(argv, options);
    };
}

StartGate::StartGate(std::chrono::milliseconds bound) : bound_(bound) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
        wait_.reset(ends[0]);
        release_.reset(ends[1]);
    }
}

StartGate::~StartGate() {
    open();
}

void StartGate::open() {
    // A byte rather than only closing: a process forked meanwhile may hold this end too.
    if (release_)
        (void)!::write(release_.get(), "", 1);
    release_.reset();
    wait_.reset();
}

SpawnResult spawnDetached(const std::vector<std::string>& argv,
                          const EnvironmentAdditions& environment,
                          const std::string& workingDirectory, const std::string& appendOutputTo,
                          StartGate* gate) {
    SpawnResult result;
    auto [program, err] = resolveProgram(argv);
    if (err != 0) {
        result.error = errorText(err);
        return result;
    }
    // Everything the children need is prepared here: between fork and exec only
    // async-signal-safe calls are allowed.
    CStrings args = argumentsOf(argv);
    CStrings env = environmentWith(environment);
    const char* output = appendOutputTo.empty() ? "/dev/null" : appendOutputTo.c_str();
    const char* cwd = workingDirectory.empty() ? nullptr : workingDirectory.c_str();
    int gateFd = gate ? gate->waitFd() : -1;
    int gateMs = gate ? static_cast<int>(gate->bound().count()) : 0;

    int pidPipe[2];
    int errPipe[2];
    if (!makePipe(pidPipe)) {
        result.error = errorText(errno);
        return result;
    }
    if (!makePipe(errPipe)) {
        result.error = errorText(errno);
        ::close(pidPipe[0]);
        ::close(pidPipe[1]);
        return result;
    }

    pid_t middle = ::fork();
    if (middle == 0) {
        // The middle child exists only so the program is not our child: it exits at
        // once and the program is adopted by init (or a subreaper), never a zombie.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        pid_t child = ::fork();
        if (child < 0) {
            int e = errno;
            (void)!::write(errPipe[1], &e, sizeof e);
            ::_exit(1);
        }
        if (child > 0) {
            (void)!::write(pidPipe[1], &child, sizeof child);
            ::_exit(0);
        }
        auto fail = [&](int e) {
            (void)!::write(errPipe[1], &e, sizeof e);
            ::_exit(127);
        };
        ::setsid();
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
            ::sigaction(sig, &dfl, nullptr);
        int in = ::open("/dev/null", O_RDONLY);
        if (in < 0)
            fail(errno);
        int out = ::open(output, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0644);
        if (out < 0)
            fail(errno);
        if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)
            fail(errno);
        if (in > 2)
            ::close(in);
        if (out > 2)
            ::close(out);
        if (cwd && ::chdir(cwd) != 0)
            fail(errno);
        if (gateFd >= 0) {
            // Ready: the caller stops waiting for the exec and opens the gate.
            ::close(errPipe[1]);
            struct pollfd until {
                gateFd, POLLIN, 0
            };
            while (::poll(&until, 1, gateMs) < 0 && errno == EINTR) {
            }
            ::execve(program.c_str(), args.data(), env.data());
            ::_exit(127);
        }
        ::execve(program.c_str(), args.data(), env.data());
        fail(errno);
    }
    ::close(pidPipe[1]);
    ::close(errPipe[1]);
    if (middle < 0) {
        result.error = errorText(errno);
        ::close(pidPipe[0]);
        ::close(errPipe[0]);
        return result;
    }
    int status = 0;
    waitFor(middle, &status, 0);

    auto readAll = [](int fd, void* into, std::size_t size) {
        std::size_t got = 0;
        while (got < size) {
            ssize_t n = ::read(fd, static_cast<char*>(into) + got, size - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        return got;
    };
    pid_t child = -1;
    bool havePid = readAll(pidPipe[0], &child, sizeof child) == sizeof child;
    // Closes at exec (close-on-exec) or carries the errno of what failed.
    int childErr = 0;
    bool failed = readAll(errPipe[0], &childErr, sizeof childErr) == sizeof childErr;
    ::close(pidPipe[0]);
    ::close(errPipe[0]);
    if (failed || !havePid) {
        result.error = errorText(failed ? childErr : ECHILD);
        return result;
    }
    result.ok = true;
    result.pid = child;
    return result;
}

} // namespace KestruneCore
