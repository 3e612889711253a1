#include "engine/ServeLoop.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <malloc.h>
#include <map>
#include <set>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace KestruneEngine {

namespace {

using Steady = std::chrono::steady_clock;

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

int openPidfd(int pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

class Loop {
public:
    explicit Loop(const PassEnvironment& env) : env_(env) {}

    int run() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGCHLD, SIGHUP})
            sigaddset(&set, sig);
        ::sigprocmask(SIG_BLOCK, &set, nullptr);
        signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        inotifyFd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (signalFd_ < 0 || epollFd_ < 0)
            return 1;
        add(signalFd_);
        if (inotifyFd_ >= 0)
            add(inotifyFd_);

        ensureWatches();
        bool want = true;
        auto lastPass = Steady::now() - std::chrono::hours(1);
        std::optional<Steady::time_point> due;
        const auto coalesce = std::chrono::milliseconds(coalesceMilliseconds);
        // Nothing is ever due later than this: a safety net for a missed event.
        const auto longestSleep = std::chrono::seconds(60);

        while (!stop_) {
            auto now = Steady::now();
            if (due && now >= *due) {
                want = true;
                due.reset();
            }
            if (want && now >= lastPass + coalesce) {
                want = false;
                lastPass = now;
                due = pass();
                continue;
            }
            auto wake = now + longestSleep;
            if (due)
                wake = std::min(wake, *due);
            if (want)
                wake = std::min(wake, lastPass + coalesce);
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
            epoll_event events[16];
            int n = ::epoll_wait(epollFd_, events, 16, static_cast<int>(std::max<long>(ms, 0)));
            if (n < 0 && errno != EINTR)
                break;
            for (int i = 0; i < n; ++i)
                want = handle(events[i].data.fd) || want;
        }
        for (auto& [pid, fd] : pidfds_)
            ::close(fd);
        ::close(epollFd_);
        ::close(signalFd_);
        if (inotifyFd_ >= 0)
            ::close(inotifyFd_);
        return 0;
    }

private:
    void add(int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
    }

    void ensureWatches() {
        if (inotifyFd_ < 0)
            return;
        KestruneCore::makeFolders(KestruneCore::stateFolder());
        // Adding an existing watch again is harmless and returns the same descriptor;
        // a folder removed and made again gets a new one.
        const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF;
        dataWd_ = ::inotify_add_watch(inotifyFd_, KestruneCore::dataFolder().c_str(), mask);
        stateWd_ = ::inotify_add_watch(inotifyFd_, KestruneCore::stateFolder().c_str(), mask);
    }

    std::optional<Steady::time_point> pass() {
        PassResult result;
        try {
            result = runPass(env_);
        } catch (const std::exception& e) {
            // A pass that throws must not end the engine; try again shortly.
            KestruneCore::log("Kestrune", std::string("engine pass failed: ") + e.what());
            result.nextDue = env_.now() + 5;
        }
        ensureWatches();
        watch(result.watchPids);
        if (!result.ran && !result.nextDue)
            result.nextDue = env_.now() + 1;
        if (!result.nextDue)
            return std::nullopt;
        double delay = std::max(0.0, *result.nextDue - env_.now());
        return Steady::now() +
               std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(delay));
    }

    void watch(const std::vector<int>& pids) {
        std::set<int> wanted(pids.begin(), pids.end());
        for (auto it = pidfds_.begin(); it != pidfds_.end();) {
            if (!wanted.count(it->first)) {
                ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, it->second, nullptr);
                ::close(it->second);
                it = pidfds_.erase(it);
            } else {
                ++it;
            }
        }
        for (int pid : wanted) {
            if (pidfds_.count(pid))
                continue;
            int fd = openPidfd(pid);
            if (fd < 0)
                continue;
            pidfds_[pid] = fd;
            add(fd);
        }
    }

    // Returns whether the event asks for a pass.
    bool handle(int fd) {
        if (fd == signalFd_)
            return readSignals();
        if (fd == inotifyFd_)
            return readFileEvents();
        for (auto it = pidfds_.begin(); it != pidfds_.end(); ++it) {
            if (it->second == fd) {
                ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
                ::close(fd);
                pidfds_.erase(it);
                return true;
            }
        }
        return false;
    }

    bool readSignals() {
        bool want = false;
        signalfd_siginfo info;
        while (::read(signalFd_, &info, sizeof info) == sizeof info) {
            switch (info.ssi_signo) {
            case SIGTERM:
            case SIGINT:
                stop_ = true;
                break;
            case SIGCHLD:
                // Start runners this process spawned; their end also writes stem.exit,
                // but one killed outright does not.
                while (::waitpid(-1, nullptr, WNOHANG) > 0) {
                }
                want = true;
                break;
            default:
                want = true;
            }
        }
        return want;
    }

    bool readFileEvents() {
        bool want = false;
        alignas(inotify_event) char buf[8192];
        for (;;) {
            ssize_t n = ::read(inotifyFd_, buf, sizeof buf);
            if (n <= 0)
                break;
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                p += sizeof(inotify_event) + ev->len;
                std::string_view name = ev->len ? std::string_view(ev->name) : std::string_view();
                if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_Q_OVERFLOW)) {
                    want = true;
                    continue;
                }
                if (ev->wd == dataWd_ && name == "state" && (ev->mask & IN_ISDIR)) {
                    want = true; // the state folder came back: watch it again
                    continue;
                }
                if (wakesPass(ev->wd == dataWd_, name))
                    want = true;
            }
        }
        return want;
    }

    const PassEnvironment& env_;
    int signalFd_ = -1;
    int inotifyFd_ = -1;
    int epollFd_ = -1;
    int dataWd_ = -1;
    int stateWd_ = -1;
    bool stop_ = false;
    std::map<int, int> pidfds_;
};

} // namespace

bool wakesPass(bool inData, std::string_view name) {
    if (name.empty() || name.front() == '.')
        return false; // temporary files of atomic writes
    if (inData)
        return name == "apps.tsv" || name == "master";
    return endsWith(name, ".toggled") || endsWith(name, ".exit");
}

int serve(const PassEnvironment& env) {
    // Checks run on a few threads; one malloc arena per thread would keep their freed
    // memory resident for the life of the engine.
    ::mallopt(M_ARENA_MAX, 1);
    Loop loop(env);
    return loop.run();
}

} // namespace KestruneEngine
