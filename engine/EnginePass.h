// One pass of the keep-alive engine: read the master switch and the watch list, keep
// every enabled app and service alive, write the problems file. Everything outside
// the files (clock, health checks, starting services, apps) is injected, so the rules
// can be exercised without sleeping or real processes.
#pragma once

#include "engine/ServiceHost.h"
#include "services/HealthCheck.h"
#include "services/ServiceConfig.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace KestruneEngine {

// One health check as the engine uses it.
struct HealthOutcome {
    bool ok = false;
    bool down = false; // not running at all, as opposed to running but failing
    std::string url;
    std::string result;
    std::string cause;
};

struct PassEnvironment {
    std::function<double()> now; // epoch seconds with fraction
    std::function<HealthOutcome(const KestruneCore::ServiceConfig&)> check;
    // Whether serve may ask a plain http:// address of this computer on its own loop,
    // exactly as `check` would ask it, rather than on a check thread.
    bool checksInLoop = false;
    ServiceHost* host = nullptr;
    std::function<bool(const std::string& path)> appIsRunning;
    // Processes of a running app, so that serve can wake when they end.
    std::function<std::vector<int>(const std::string& path)> appProcesses;
    // Opens an app (`key`: its state-file stem); "" on success, else the reason it
    // failed.
    std::function<std::string(const std::string& path, const std::string& key)> openApp;
    // Why the app last opened under `key` ended, once it has ended badly (a non-zero
    // status, a signal); none while it runs, after a clean exit, or when unknown.
    std::function<std::optional<std::string>(const std::string& key)> appEnded;
    std::string home; // handed to the start runner
    std::chrono::milliseconds lockWait{20000};
    // Stems this engine has seen healthy or started since it began. A down service
    // it has never met is started at its first failed check.
    std::shared_ptr<std::set<std::string>> met = std::make_shared<std::set<std::string>>();
    // By stem: what this engine remembers of its checks between passes.
    struct CheckMemory {
        double lastCheck = 0; // when the last check completed, whether or not written
        double logCapDue = 0; // when a healthy service's log is next held to its cap
    };
    std::shared_ptr<std::map<std::string, CheckMemory>> checkMemory =
        std::make_shared<std::map<std::string, CheckMemory>>();
};

// A check and the moments it began and completed (epoch seconds).
struct TimedCheck {
    HealthOutcome outcome;
    double began = 0;
    double ended = 0;
    KestruneCore::ServiceConfig config; // the launch.json it was made for
};

// How serve runs checks beside its loop: a pass hands the checks it wants to
// `submit` and applies the results that have arrived since the last pass; a service
// whose check is under way is left as it is until its result arrives.
struct CheckFeed {
    std::map<std::string, TimedCheck> arrived; // by stem; the pass takes them
    std::set<std::string> underWay;            // stems; the pass adds what it submits
    std::function<void(const std::string& stem, const KestruneCore::ServiceConfig&)> submit;
};

struct PassResult {
    bool ran = false;              // false when the lock could not be had
    std::optional<double> nextDue; // earliest moment something falls due
    std::vector<int> watchPids;    // running apps' processes
    // The start runner of every service that has one. `start` tells one start from
    // the next when the handle stays the same (a unit's name): stem.pid's inode, as
    // every start writes the file anew.
    struct Runner {
        std::string stem, handle, name, method;
        unsigned long long start = 0;
    };
    std::vector<Runner> runners;
    // Services whose next step is only their check: serve begins these checks itself
    // when they fall due, and a pass applies their results; `passDue` is when a pass is
    // wanted for anything else.
    struct RoutineCheck {
        std::string stem;
        KestruneCore::ServiceConfig config;
        double from = 0, due = 0; // may go along with others from `from`; due at `due`
    };
    std::vector<RoutineCheck> routine;
    std::optional<double> passDue;
};

// Without a feed, the checks a pass needs run side by side and the pass applies
// them when all have completed (`kestrune-engine run`, tests).
PassResult runPass(const PassEnvironment& env, CheckFeed* feed = nullptr);

// The real adapters: wall clock, the core's health check, running apps and the app
// launcher of this platform, and the given service host.
PassEnvironment realEnvironment(ServiceHost& host, std::string home);

// The engine's classification of a health result: refused or unresolved with no
// declared port open is down.
HealthOutcome checkService(const KestruneCore::ServiceConfig& config);
// The same classification of a check already made (none: nothing to check).
HealthOutcome classifyCheck(const KestruneCore::ServiceConfig& config,
                            const std::optional<KestruneCore::HealthCheck>& check);

// Constants of the keep-alive rules.
inline constexpr int defaultIntervalSeconds = 5;
inline constexpr int retryLimit = 5;
inline constexpr int firstBackoffSeconds = 30;
inline constexpr int firstRetrySeconds = 2;
inline constexpr int maxBackoffSeconds = 900;
inline constexpr int healthyResetSeconds = 300;
inline constexpr int crashWindowSeconds = 10;
inline constexpr int crashLoopCount = 3;

// Seconds until an app's next open after `attempts` failed ones: 30 doubling, at
// most 900.
int backoffSeconds(int attempts);

// Seconds until a service's retry after `attempts` failed starts: 2 after the first
// (the commonest failure is the dying copy still holding the port), then 30 doubling,
// at most 900.
int retryDelaySeconds(int attempts);

// A failed check is confirmed by the next ones this far apart (at most the interval).
inline constexpr double confirmSeconds = 1.0;

} // namespace KestruneEngine
