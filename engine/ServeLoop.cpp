#include "engine/ServeLoop.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "engine/CheckPool.h"
#include "engine/ChildExits.h"
#include "engine/EntryState.h"
#include "engine/FileEvents.h"
#include "engine/LoopChecks.h"
#include "engine/PassContext.h"
#include "engine/StartRunner.h"
#include "engine/StateCache.h"
#include "platform/EngineServeLock.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <malloc.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
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

// A process whose end wakes the loop: an app's, or a service's start runner.
struct Watched {
    int pid = 0;
    std::string stem; // empty for apps
    std::string handle, name, method;
    unsigned long long start = 0;
};

class Loop {
public:
    explicit Loop(const PassEnvironment& env)
        : env_(env), pool_(new CheckPool(baseCheckThreads, maxCheckThreads)) {
        // A pass run by hand may hold the lock; the loop tries again shortly rather
        // than wait for it.
        env_.lockWait = std::chrono::milliseconds(100);
    }

    int run() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGCHLD, SIGHUP})
            sigaddset(&set, sig);
        ::sigprocmask(SIG_BLOCK, &set, nullptr);
        signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        inotifyFd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        resultFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (signalFd_ < 0 || epollFd_ < 0 || resultFd_ < 0)
            return 1;
        local_ = std::make_unique<LoopChecks>(epollFd_, env_.now,
                                              [this](const std::string& stem, TimedCheck check) {
                                                  std::lock_guard lock(resultsMutex_);
                                                  results_.emplace_back(stem, std::move(check));
                                                  localDone_ = true;
                                              });
        add(signalFd_);
        add(resultFd_);
        if (inotifyFd_ >= 0)
            add(inotifyFd_);
        hostFd_ = env_.host ? env_.host->eventFd() : -1;
        if (hostFd_ >= 0)
            add(hostFd_);
        feed_.submit = [this](const std::string& stem, const KestruneCore::ServiceConfig& c) {
            submit(stem, c);
        };

        ensureWatches();
        bool want = true;
        bool urgent = false;
        auto lastPass = Steady::now() - std::chrono::hours(1);
        std::optional<Steady::time_point> due;
        // When the first result not yet applied arrived; none pending when unset.
        bool resultsIn = false;
        Steady::time_point firstResult{};
        const auto coalesce = std::chrono::milliseconds(coalesceMilliseconds);
        // Results arriving together (checks begun together) are applied together.
        const auto gather = std::chrono::milliseconds(resultGatherMilliseconds);
        // Nothing is ever due later than this: a safety net for a missed event.
        const auto longestSleep = std::chrono::seconds(60);

        while (!stop_) {
            auto now = Steady::now();
            auto wake = now + longestSleep;
            if (due)
                wake = std::min(wake, std::max(*due, lastPass + coalesce));
            if (auto checks = routineDue(); checks && !want)
                wake = std::min(wake, steadyAt(*checks));
            if (want)
                wake = std::min(wake, lastPass + coalesce);
            if (resultsIn)
                wake = std::min(wake, firstResult + gather);
            if (auto limit = local_->nextLimit())
                wake = std::min(wake, *limit);
            if (urgent || (resultsIn && feed_.underWay.empty()) || localDone_)
                wake = now;
            if (auto look = pool_->unstick(std::chrono::milliseconds(checkPatienceMilliseconds)))
                wake = std::min(wake, std::max(*look, now + std::chrono::milliseconds(1)));
            // Replies that came in during a pass's own calls to the manager are
            // already read from its socket: handled here, or the loop would sleep on them.
            if (hostFd_ >= 0 && hostNews()) {
                urgent = true;
                wake = now;
            }
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
            epoll_event events[32];
            int n = ::epoll_wait(epollFd_, events, 32, static_cast<int>(std::max<long>(ms, 0)));
            if (n < 0 && errno != EINTR)
                break;
            // Whatever woke the loop may read state files another process has changed.
            if (auto* cache = StateCache::active())
                cache->refresh();
            for (int i = 0; i < n; ++i) {
                auto wakes = handle(events[i].data.fd);
                want = want || wakes == Wake::pass;
                urgent = urgent || wakes == Wake::now;
            }
            if (stop_)
                break;
            local_->expire(Steady::now());
            // Results that did not wake the loop came in with those that did, or before
            // the gathering ended, or on the loop itself.
            localDone_ = false;
            if (collectResults(false))
                urgent = true;
            if (!feed_.arrived.empty() && !resultsIn) {
                resultsIn = true;
                firstResult = Steady::now();
            }
            now = Steady::now();
            if (due && now >= *due) {
                want = true;
                due.reset();
            }
            bool results = resultsIn && (feed_.underWay.empty() || now >= firstResult + gather);
            if (urgent || results || (want && now >= lastPass + coalesce)) {
                urgent = want = resultsIn = false;
                lastPass = now;
                beginRound();
                due = pass();
            } else if (auto checks = routineDue(); checks && env_.now() >= *checks && !want) {
                // Only checks are due: they begin without a pass, and the pass their
                // results wake applies them (one pass a round, not two).
                beginRoutineChecks();
            }
        }
        // A hung check must not hold up the exit: its thread is left behind.
        pool_->abandon();
        for (auto& [fd, w] : watched_)
            ::close(fd);
        ::close(epollFd_);
        ::close(signalFd_);
        if (inotifyFd_ >= 0)
            ::close(inotifyFd_);
        return 0;
    }

private:
    enum class Wake { no, pass, now };

    void add(int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
    }

    void ensureWatches() {
        if (inotifyFd_ < 0)
            return;
        // Both folders are made first: a watch list created later must still wake us.
        KestruneCore::makeFolders(KestruneCore::dataFolder());
        KestruneCore::makeFolders(KestruneCore::stateFolder());
        // Adding an existing watch again is harmless and returns the same descriptor;
        // a folder removed and made again gets a new one.
        const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF;
        dataWd_ = ::inotify_add_watch(inotifyFd_, KestruneCore::dataFolder().c_str(), mask);
        stateWd_ = ::inotify_add_watch(inotifyFd_, KestruneCore::stateFolder().c_str(), mask);
    }

    // Checks posted from here on are a new round: its first result wakes the loop, and
    // a result that came in since the last were taken wakes it itself.
    void beginRound() {
        std::lock_guard lock(resultsMutex_);
        roundWoken_ = !results_.empty();
        if (roundWoken_) {
            uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(resultFd_, &one, sizeof one);
        }
    }

    // When the earliest routine check falls due (epoch seconds).
    std::optional<double> routineDue() const {
        if (routine_.empty())
            return std::nullopt;
        double earliest = routine_.front().due;
        for (const auto& r : routine_)
            earliest = std::min(earliest, r.due);
        return earliest;
    }

    // Begins every routine check that may go now, as the pass would have, with the
    // launch.json the pass read: the pass that applies a result made for one since
    // changed has it made again.
    void beginRoutineChecks() {
        double now = env_.now();
        std::vector<PassResult::RoutineCheck> going, later;
        for (auto& r : routine_)
            (r.from > now ? later : going).push_back(std::move(r));
        routine_ = std::move(later);
        beginRound();
        for (const auto& r : going) {
            feed_.underWay.insert(r.stem);
            submit(r.stem, r.config);
        }
    }

    Steady::time_point steadyAt(double epoch) const {
        double delay = std::max(0.0, epoch - env_.now());
        return Steady::now() +
               std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(delay));
    }

    // Runs a check on the loop (see LoopChecks) or on a pool thread, whose result comes
    // back through the eventfd. Only results the loop must see at once wake it: the
    // first since the last pass (which starts the gathering), a failure, and the last
    // one under way; the others are taken in with those.
    void submit(const std::string& stem, const KestruneCore::ServiceConfig& config) {
        if (env_.checksInLoop && local_->begin(stem, config))
            return;
        {
            std::lock_guard lock(resultsMutex_);
            ++outstanding_;
        }
        pool_->post([this, stem, config] {
            TimedCheck check;
            check.config = config;
            check.began = env_.now();
            try {
                check.outcome = env_.check(config);
            } catch (const std::exception& e) {
                check.outcome.cause = e.what();
                check.outcome.result = "failed";
            }
            check.ended = env_.now();
            bool wake = false;
            {
                std::lock_guard lock(resultsMutex_);
                --outstanding_;
                wake = !roundWoken_ || !check.outcome.ok || outstanding_ == 0;
                roundWoken_ = true;
                results_.emplace_back(stem, std::move(check));
            }
            if (wake) {
                uint64_t one = 1;
                [[maybe_unused]] auto n = ::write(resultFd_, &one, sizeof one);
            }
        });
    }

    // Whether a result that needs acting on (a failed check) came in.
    // With `signalled`, the eventfd is read too; otherwise only results that came in
    // without waking the loop are taken.
    bool collectResults(bool signalled) {
        if (signalled) {
            uint64_t count = 0;
            [[maybe_unused]] auto n = ::read(resultFd_, &count, sizeof count);
        }
        std::vector<std::pair<std::string, TimedCheck>> got;
        {
            std::lock_guard lock(resultsMutex_);
            got.swap(results_);
        }
        bool failed = false;
        for (auto& [stem, check] : got) {
            failed = failed || !check.outcome.ok;
            feed_.underWay.erase(stem);
            feed_.arrived[stem] = std::move(check);
        }
        return failed;
    }

    std::optional<Steady::time_point> pass() {
        PassResult result;
        try {
            result = runPass(env_, &feed_);
        } catch (const std::exception& e) {
            // A pass that throws must not end the engine; try again shortly.
            KestruneCore::log("Kestrune", std::string("engine pass failed: ") + e.what());
            result = PassResult{};
            result.nextDue = result.passDue = env_.now() + 5;
        }
        ensureWatches();
        watch(result);
        routine_ = std::move(result.routine);
        if (!result.ran && !result.passDue)
            result.passDue = env_.now() + 0.2;
        if (!result.passDue)
            return std::nullopt;
        return steadyAt(*result.passDue);
    }

    // Watches exactly the apps' processes and the current runners of this pass.
    void watch(const PassResult& result) {
        std::map<int, Watched> wanted;
        for (int pid : result.watchPids)
            wanted[pid] = Watched{pid, {}, {}, {}, {}, 0};
        for (const auto& r : result.runners) {
            auto known = runnerPids_.find(r.stem);
            if (known == runnerPids_.end() || known->second.first != r.start) {
                // Asked once per start: for a transient unit this asks the manager.
                auto pid = env_.host->runnerPid(r.stem, r.handle);
                known =
                    runnerPids_.insert_or_assign(r.stem, std::pair(r.start, pid.value_or(0))).first;
            }
            if (int pid = known->second.second; pid > 0)
                wanted[pid] = Watched{pid, r.stem, r.handle, r.name, r.method, r.start};
        }
        for (auto it = watched_.begin(); it != watched_.end();) {
            auto w = wanted.find(it->second.pid);
            if (w == wanted.end() || w->second.stem != it->second.stem ||
                w->second.start != it->second.start) {
                ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, it->first, nullptr);
                ::close(it->first);
                it = watched_.erase(it);
            } else {
                wanted.erase(w);
                ++it;
            }
        }
        for (auto& [pid, w] : wanted) {
            int fd = openPidfd(pid);
            if (fd < 0)
                continue;
            watched_[fd] = std::move(w);
            add(fd);
        }
    }

    Wake handle(int fd) {
        if (fd == signalFd_)
            return readSignals();
        if (fd == inotifyFd_)
            return readFileEvents();
        if (fd == hostFd_)
            return hostNews() ? Wake::now : Wake::no;
        if (local_->owns(fd)) {
            // Its result, if this was its end, is taken in with the others.
            local_->advance(fd);
            return Wake::no;
        }
        if (fd == resultFd_) {
            // A failure is acted on at once; healthy results are applied together
            // once the checks begun with them are in, which keeps an idle engine cheap.
            return collectResults(true) ? Wake::now : Wake::no;
        }
        auto it = watched_.find(fd);
        if (it == watched_.end())
            return Wake::no;
        Watched w = std::move(it->second);
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        watched_.erase(it);
        if (!w.stem.empty())
            runnerEnded(w);
        return Wake::now;
    }

    // Replies and unit signals from the service host. A runner that has begun since
    // its start was watched (an asynchronous start) has a pid worth asking for now.
    bool hostNews() {
        if (!env_.host->dispatch())
            return false;
        for (auto it = runnerPids_.begin(); it != runnerPids_.end();)
            it = it->second.second > 0 ? std::next(it) : runnerPids_.erase(it);
        return true;
    }

    // A runner ends by writing stem.exit just before it exits. One that did not (its
    // group was killed outright) is recorded here, so its end counts as the start
    // command's: a down service is then started again at once.
    void runnerEnded(const Watched& w) {
        auto raw = takeChildStatus(w.pid);
        runnerPids_.erase(w.stem);
        EntryState st(KestruneCore::stateFolder(), w.stem);
        if (st.text(".pid") != w.handle || fileInode(st.path(".pid")) != w.start)
            return; // replaced meanwhile
        // A runner that exited by itself logged its end marker and wrote its record,
        // whatever the status (137 when its command was killed), even if a pass has
        // already taken that record in.
        if (raw && WIFEXITED(*raw))
            return;
        double now = env_.now();
        auto exit = st.exitRecord();
        auto began = st.seconds(".began");
        bool recorded = exit && ((exit->began && began && exit->belongsTo(*began)) ||
                                 exit->time >= now - runnerExitSlackSeconds);
        if (recorded)
            return;
        // A runner whose status cannot be read (not our child) was killed outright.
        int code = raw ? 128 + WTERMSIG(*raw) : 128 + SIGKILL;
        std::optional<double> startedAt;
        if (st.exists(".trying"))
            startedAt = startBegan(st);
        if (!endMarkerLogged(w.name))
            KestruneCore::log(w.name, startEndMessage(w.method, code));
        st.write(".exit", exitRecordText({code, now, startedAt}));
    }

    Wake readSignals() {
        Wake wake = Wake::no;
        signalfd_siginfo info;
        while (::read(signalFd_, &info, sizeof info) == sizeof info) {
            switch (info.ssi_signo) {
            case SIGTERM:
            case SIGINT:
                stop_ = true;
                break;
            case SIGCHLD:
                // Runners and apps this process started; pidfds and the app rules
                // say which ended.
                reapChildren();
                break;
            default:
                wake = Wake::pass;
            }
        }
        return wake;
    }

    Wake readFileEvents() {
        Wake wake = Wake::no;
        forEachFileEvent(inotifyFd_, [&](const inotify_event& ev) {
            std::string_view name = ev.len ? std::string_view(ev.name) : std::string_view();
            if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_Q_OVERFLOW)) {
                wake = std::max(wake, Wake::pass);
                return;
            }
            // The XDG variables may put both folders in one: then both rules apply.
            if ((ev.wd == dataWd_ && wakesPass(true, name)) ||
                (ev.wd == stateWd_ && wakesPass(false, name)))
                // A start command's end is a process exit, a restart the user's
                // request: both acted on at once.
                wake = std::max(wake, endsWith(name, ".exit") || endsWith(name, ".restart")
                                          ? Wake::now
                                          : Wake::pass);
        });
        return wake;
    }

    PassEnvironment env_;
    CheckPool* pool_;
    std::unique_ptr<LoopChecks> local_;
    bool localDone_ = false; // a check on the loop has ended since results were taken
    CheckFeed feed_;
    std::vector<PassResult::RoutineCheck> routine_; // from the last pass
    std::mutex resultsMutex_;
    std::vector<std::pair<std::string, TimedCheck>> results_;
    std::size_t outstanding_ = 0; // checks posted whose results are not in
    bool roundWoken_ = false;     // a result has woken the loop since the last pass
    int signalFd_ = -1;
    int inotifyFd_ = -1;
    int resultFd_ = -1;
    int epollFd_ = -1;
    int hostFd_ = -1;
    int dataWd_ = -1;
    int stateWd_ = -1;
    bool stop_ = false;
    std::map<int, Watched> watched_;                                       // by pidfd
    std::map<std::string, std::pair<unsigned long long, int>> runnerPids_; // stem -> start, pid
};

} // namespace

bool wakesPass(bool inData, std::string_view name) {
    if (name.empty() || name.front() == '.')
        return false; // temporary files of atomic writes
    if (inData)
        return name == "apps.tsv" || name == "master";
    return endsWith(name, ".toggled") || endsWith(name, ".exit") || endsWith(name, ".restart");
}

int serve(const PassEnvironment& env) {
    // Checks run on a few threads; one malloc arena per thread would keep their freed
    // memory resident for the life of the engine.
    ::mallopt(M_ARENA_MAX, 1);
    // Held until the process ends: how the terminal tool learns that the engine runs.
    KestruneCore::makeFolders(KestruneCore::stateFolder());
    static auto serving = KestruneCore::EngineServeLock::hold();
    StateCache::activate(KestruneCore::stateFolder());
    // Apps are opened detached, yet stay our children: how one that dies at once ended
    // (its status) is then known, and shown as the reason.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // Never destroyed: a check left running may still hand in its result. The caller
    // ends the process right after.
    auto* loop = new Loop(env);
    return loop->run();
}

} // namespace KestruneEngine
