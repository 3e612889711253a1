#include "engine/EnginePass.h"

#include "core/ActivityLog.h"
#include "core/EditLock.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "engine/AppKeeper.h"
#include "engine/CheckPool.h"
#include "engine/ChildExits.h"
#include "engine/EngineLock.h"
#include "engine/EntryState.h"
#include "engine/PassContext.h"
#include "engine/ServiceKeeper.h"
#include "engine/StateCache.h"
#include "health/AppLiveness.h"
#include "health/Problems.h"
#include "health/StartRecords.h"
#include "health/StemClash.h"
#include "platform/AppLauncher.h"
#include "platform/RunningApps.h"
#include "services/HealthCheck.h"
#include "services/ServiceCheck.h"

#include <cerrno>
#include <cmath>
#include <exception>
#include <fcntl.h>
#include <future>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace KestruneEngine {

namespace {

struct StoredProblem {
    std::string kind, since, detail;
};

// stem.since: kind TAB since TAB detail, so a problem's first appearance survives
// passes (and engine restarts) while its kind stays the same.
std::optional<StoredProblem> storedProblem(const EntryState& st) {
    auto text = st.text(".since");
    if (!text)
        return std::nullopt;
    auto lines = KestruneCore::splitLines(*text);
    if (lines.empty())
        return std::nullopt;
    auto f = KestruneCore::splitFields(lines[0]);
    if (f.size() < 2 || f[0].empty())
        return std::nullopt;
    return StoredProblem{f[0], f[1], f.size() > 2 ? f[2] : std::string()};
}

// The problem an entry has after this pass, with `since` carried over.
std::optional<KestruneCore::Problem> resolveProblem(const KestruneCore::AppEntry& entry,
                                                    const EntryState& st, const EntryOutcome& out,
                                                    double now) {
    auto stored = storedProblem(st);
    StoredProblem next;
    switch (out.mode) {
    case EntryOutcome::Mode::none:
        if (stored)
            st.remove(".since");
        return std::nullopt;
    case EntryOutcome::Mode::keep:
        if (stored) {
            next = *stored;
            break;
        }
        if (out.kind.empty())
            return std::nullopt;
        [[fallthrough]];
    case EntryOutcome::Mode::set:
        next.kind = out.kind;
        next.detail = KestruneCore::singleLineField(out.detail);
        next.since = stored && stored->kind == out.kind
                         ? stored->since
                         : KestruneCore::timestamp(KestruneCore::Clock::time_point(
                               std::chrono::duration_cast<KestruneCore::Clock::duration>(
                                   std::chrono::duration<double>(now))));
        break;
    }
    if (!stored || stored->kind != next.kind || stored->since != next.since ||
        stored->detail != next.detail)
        st.write(".since", next.kind + "\t" + next.since + "\t" + next.detail + "\n");
    auto severity = KestruneCore::severity(next.kind).value_or(KestruneCore::Severity::stuck);
    return KestruneCore::Problem{entry.name, next.kind, severity, next.since, next.detail};
}

EntryOutcome guarded(const std::function<EntryOutcome()>& rules) {
    try {
        return rules();
    } catch (const std::exception& e) {
        // One entry's trouble must not keep the others from being looked after.
        return EntryOutcome::healthy(std::nullopt);
    }
}

std::string problemsText(const std::vector<KestruneCore::Problem>& problems) {
    std::string text;
    for (const auto& p : problems)
        text += KestruneCore::singleLineField(p.name) + "\t" +
                KestruneCore::singleLineField(p.kind) + "\t" +
                std::string(KestruneCore::rawValue(p.severity)) + "\t" +
                KestruneCore::singleLineField(p.since) + "\t" +
                KestruneCore::singleLineField(p.detail) + "\n";
    return text;
}

KestruneCore::Problem clashProblem(const KestruneCore::AppEntry& entry, const std::string& other,
                                   const std::vector<KestruneCore::Problem>& before, double now) {
    KestruneCore::Problem p{entry.name,
                            Kind::nameClash,
                            KestruneCore::Severity::stuck,
                            {},
                            KestruneCore::nameClashDetail(other)};
    for (const auto& old : before)
        if (old.name == entry.name && old.kind == Kind::nameClash)
            p.since = old.since;
    if (p.since.empty())
        p.since = KestruneCore::timestamp(KestruneCore::Clock::time_point(
            std::chrono::duration_cast<KestruneCore::Clock::duration>(
                std::chrono::duration<double>(now))));
    return p;
}

// The problems file, through serve's cache when there is one.
std::optional<std::string> readProblemsText(const std::string& path) {
    if (auto* cache = StateCache::active(); cache && cache->covers(path))
        return cache->read(path);
    return KestruneCore::readFile(path);
}

void writeProblemsText(const std::string& path, const std::string& text) {
    if (auto* cache = StateCache::active(); cache && cache->covers(path))
        cache->write(path, text);
    else
        KestruneCore::writeFileAtomically(path, text);
}

} // namespace

unsigned long long fileInode(const std::string& path) {
    if (auto* cache = StateCache::active(); cache && cache->covers(path))
        return cache->inode(path);
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0;
}

int retryDelaySeconds(int attempts) {
    if (attempts <= 1)
        return firstRetrySeconds;
    return backoffSeconds(attempts - 1);
}

std::optional<double> startBegan(const EntryState& st) {
    auto trying = st.whole(".trying");
    if (!trying)
        return std::nullopt;
    // stem.trying holds whole seconds; stem.began the moment itself, trusted only
    // while it belongs to the same start.
    auto began = st.seconds(".began");
    if (began && std::floor(*began) == static_cast<double>(*trying))
        return *began;
    return static_cast<double>(*trying);
}

int backoffSeconds(int attempts) {
    if (attempts < 1)
        attempts = 1;
    long long seconds = firstBackoffSeconds;
    for (int i = 1; i < attempts && seconds < maxBackoffSeconds; ++i)
        seconds *= 2;
    return static_cast<int>(std::min<long long>(seconds, maxBackoffSeconds));
}

std::string retryLimitMessage() {
    return "retry limit reached after " + std::to_string(retryLimit) + " attempts";
}

long long elapsedSeconds(double from, double to) {
    double d = std::round(to - from);
    return d < 0 ? 0 : static_cast<long long>(d);
}

void recordStart(const std::string& name, double started, double ended, long long seconds,
                 const std::string& trigger) {
    auto at = [](double t) {
        return KestruneCore::timestamp(KestruneCore::Clock::time_point(
            std::chrono::duration_cast<KestruneCore::Clock::duration>(
                std::chrono::duration<double>(t))));
    };
    KestruneCore::appendStartRecord({name, at(started), at(ended), seconds, trigger, "healthy"});
}

HealthOutcome checkService(const KestruneCore::ServiceConfig& config) {
    return classifyCheck(config, KestruneCore::checkHealth(config));
}

HealthOutcome classifyCheck(const KestruneCore::ServiceConfig& config,
                            const std::optional<KestruneCore::HealthCheck>& check) {
    HealthOutcome out;
    out.url = config.url.value_or("");
    if (!check) {
        out.ok = true;
        out.result = "healthy (nothing to check)";
        return out;
    }
    out.ok = check->ok;
    out.result = check->result;
    out.cause = check->cause;
    using F = KestruneCore::HealthFailure;
    bool addressGone = check->failure == F::refused || check->failure == F::unresolved;
    bool portsOnly = !config.url && check->failure == F::port;
    if (addressGone || portsOnly) {
        // Down only when nothing of it runs at all: no declared port accepts either.
        out.down = true;
        for (int port : config.ports)
            if (KestruneCore::portAcceptsConnections(port, std::chrono::milliseconds(500))) {
                out.down = false;
                break;
            }
    }
    return out;
}

PassResult runPass(const PassEnvironment& env, CheckFeed* feed) {
    PassResult result;
    std::string stateDir = KestruneCore::stateFolder();
    KestruneCore::makeFolders(stateDir);
    // The activity log never creates its folder; without it every line would be lost.
    KestruneCore::makeFolders(KestruneCore::logsFolder());
    auto lock = EngineLock::acquire(stateDir + "/engine.lock", env.lockWait);
    if (!lock)
        return result;
    std::string problemsPath = KestruneCore::problemsPath();
    // The problems file's lock, shared with the back-off reset of the tray program
    // and kestrunectl: held while state files and problems change, so a reset falls
    // wholly before or after this pass's changes.
    std::optional<KestruneCore::EditLock> problemsLock;
    problemsLock.emplace(problemsPath, env.lockWait);
    if (!problemsLock->held())
        return result;
    result.ran = true;
    // What other processes changed up to now (they change nothing of ours while
    // these locks are held) is taken in before anything is read.
    if (auto* cache = StateCache::active())
        cache->refresh();

    if (!KestruneCore::loadMaster()) {
        if (feed)
            feed->arrived.clear();
        if (readProblemsText(problemsPath) != std::string())
            writeProblemsText(problemsPath, "");
        return result;
    }
    auto list = KestruneCore::load();
    PassContext ctx{env, env.now(), stateDir};

    // One stem is looked after once: a later entry whose name gives a stem already
    // taken (first in list order) is reported, and nothing is started for it.
    std::vector<std::string> stems(list.size());
    std::map<std::string, std::string> holders; // stem → name of the entry keeping it
    std::vector<std::optional<std::string>> clashesWith(list.size());
    auto takes = [&](std::size_t i) {
        auto [it, fresh] = holders.emplace(stems[i], list[i].name);
        if (!fresh)
            clashesWith[i] = it->second;
        return fresh;
    };
    std::vector<std::optional<EntryOutcome>> outcomes(list.size());
    // When each entry's outcome happened: its check's completion, else this pass.
    std::vector<double> times(list.size(), ctx.now);

    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto& e = list[i];
        if (!e.enabled || e.type != KestruneCore::EntryType::app)
            continue;
        stems[i] = appStem(e);
        if (!takes(i))
            continue;
        outcomes[i] = guarded([&] { return applyApp(e, ctx); });
    }

    std::vector<std::size_t> serviceIndex;
    std::vector<ServicePlan> plans;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto& e = list[i];
        if (!e.enabled || e.type != KestruneCore::EntryType::service)
            continue;
        stems[i] = KestruneCore::serviceKey(e.name);
        if (!takes(i))
            continue;
        serviceIndex.push_back(i);
        plans.push_back(planService(e, stems[i], ctx));
    }

    std::vector<std::optional<TimedCheck>> checks(plans.size());
    std::vector<bool> waiting(plans.size(), false);
    if (feed) {
        for (std::size_t k = 0; k < plans.size(); ++k) {
            const auto& stem = plans[k].state.stem();
            auto it = feed->arrived.find(stem);
            if (it != feed->arrived.end()) {
                // A check that began before the current start says nothing about it,
                // nor one made for a launch.json that has changed since: the check
                // is made again as it now says.
                auto began = startBegan(plans[k].state);
                if (plans[k].config && *plans[k].config == it->second.config &&
                    !(began && it->second.began < *began))
                    checks[k] = std::move(it->second);
                feed->arrived.erase(it);
            }
            if (checks[k])
                continue;
            if (feed->underWay.count(stem)) {
                waiting[k] = true;
            } else if (plans[k].needsCheck) {
                feed->submit(stem, *plans[k].config);
                feed->underWay.insert(stem);
                waiting[k] = true;
            }
        }
        // Results of entries no longer looked after are dropped.
        feed->arrived.clear();
    } else {
        // All checks of a pass at once: a pass takes as long as its slowest check.
        std::vector<std::future<TimedCheck>> pending(plans.size());
        std::size_t due = 0;
        for (const auto& plan : plans)
            due += plan.needsCheck;
        for (std::size_t k = 0; k < plans.size(); ++k) {
            if (!plans[k].needsCheck)
                continue;
            auto task = [&env, &config = *plans[k].config] {
                TimedCheck check;
                check.began = env.now();
                check.outcome = env.check(config);
                check.ended = env.now();
                return check;
            };
            if (due == 1) // nothing to overlap with
                pending[k] = std::async(std::launch::deferred, task);
            else
                pending[k] = CheckPool::shared().submit(task);
        }
        // Nobody waits on the checks for the problems file.
        problemsLock.reset();
        for (std::size_t k = 0; k < plans.size(); ++k) {
            if (!pending[k].valid())
                continue;
            try {
                checks[k] = pending[k].get();
            } catch (const std::exception&) {
                checks[k].reset();
            }
        }
        problemsLock.emplace(problemsPath, env.lockWait);
        if (!problemsLock->held())
            return result;
    }

    for (std::size_t k = 0; k < plans.size(); ++k) {
        std::size_t i = serviceIndex[k];
        if (waiting[k]) {
            // Its check is under way: what was recorded stands until the result comes.
            outcomes[i] = EntryOutcome::keeping({}, {});
        } else {
            std::optional<HealthOutcome> check;
            PassContext at = ctx;
            if (checks[k]) {
                check = checks[k]->outcome;
                at.now = checks[k]->ended;
                times[i] = at.now;
            }
            outcomes[i] = guarded([&] { return applyService(plans[k], check, at); });
            if (const auto& out = *outcomes[i]; out.checkFrom && out.due && plans[k].config)
                result.routine.push_back(
                    {plans[k].state.stem(), *plans[k].config, *out.checkFrom, *out.due});
        }
        if (auto handle = plans[k].state.text(".pid"); handle && !handle->empty())
            result.runners.push_back({plans[k].state.stem(), *handle, plans[k].entry.name,
                                      plans[k].entry.method,
                                      fileInode(plans[k].state.path(".pid"))});
    }

    std::vector<KestruneCore::Problem> problems;
    std::optional<std::vector<KestruneCore::Problem>> before;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (clashesWith[i]) {
            // Its state files are the other entry's, so its `since` is carried over
            // from the problems file rather than a .since file.
            if (!before)
                before = KestruneCore::loadProblems(problemsPath);
            problems.push_back(clashProblem(list[i], *clashesWith[i], *before, ctx.now));
            continue;
        }
        if (!outcomes[i])
            continue;
        const auto& out = *outcomes[i];
        EntryState st(stateDir, stems[i]);
        if (auto p = resolveProblem(list[i], st, out, out.at.value_or(times[i])))
            problems.push_back(*p);
        if (out.due && (!result.nextDue || *out.due < *result.nextDue))
            result.nextDue = out.due;
        if (out.due && !out.checkFrom && (!result.passDue || *out.due < *result.passDue))
            result.passDue = out.due;
        result.watchPids.insert(result.watchPids.end(), out.pids.begin(), out.pids.end());
    }
    // Rewritten only when it changes: most passes find everything as it was.
    auto text = problemsText(problems);
    if (readProblemsText(problemsPath) != text)
        writeProblemsText(problemsPath, text);
    return result;
}

PassEnvironment realEnvironment(ServiceHost& host, std::string home) {
    PassEnvironment env;
    env.now = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    env.check = checkService;
    env.checksInLoop = true;
    env.host = &host;
    env.appIsRunning = [](const std::string& path) { return KestruneCore::appIsRunning(path); };
    env.appProcesses = [](const std::string& path) {
        auto pids = KestruneCore::processesRunning(path);
        return std::vector<int>(pids.begin(), pids.end());
    };
    // The process of each app's last open, whose early end gives the reason it failed.
    auto opened = std::make_shared<std::map<std::string, int>>();
    env.openApp = [&host, opened](const std::string& path, const std::string& key) {
        // Each open starts its output anew: it holds what this run printed.
        auto output = appOutputPath(key);
        ::unlink(output.c_str());
        // Held back until the host has given it its own home, so that even a child it
        // starts at once lands there.
        auto gate = std::make_shared<KestruneCore::StartGate>(appScopeWait);
        auto spawned = KestruneCore::openApplication(path, output, gate.get());
        if (!spawned)
            return spawned.error;
        // Its pid may be an earlier app's, whose end nobody read (it ran healthy).
        forgetChild(spawned.pid);
        (*opened)[key] = spawned.pid;
        host.adoptApp(key, spawned.pid, std::move(gate));
        return std::string();
    };
    env.appEnded = [opened](const std::string& key) -> std::optional<std::string> {
        auto it = opened->find(key);
        if (it == opened->end())
            return std::nullopt;
        auto status = takeChildStatus(it->second);
        if (!status)
            return std::nullopt;
        opened->erase(it);
        if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            return std::nullopt;
        return appEndReason(*status, KestruneCore::readFile(appOutputPath(key)).value_or(""));
    };
    env.home = std::move(home);
    return env;
}

} // namespace KestruneEngine
