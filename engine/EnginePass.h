// One pass of the keep-alive engine: read the master switch and the watch list, keep
// every enabled app and service alive, write the problems file. Everything outside
// the files (clock, health checks, starting services, apps) is injected, so the rules
// can be exercised without sleeping or real processes.
#pragma once

#include "engine/ServiceHost.h"
#include "services/ServiceConfig.h"

#include <chrono>
#include <functional>
#include <optional>
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
    ServiceHost* host = nullptr;
    std::function<bool(const std::string& path)> appIsRunning;
    // Processes of a running app, so that serve can wake when they end.
    std::function<std::vector<int>(const std::string& path)> appProcesses;
    // Opens an app; "" on success, else the reason it failed.
    std::function<std::string(const std::string& path)> openApp;
    std::string home; // handed to the start runner
    std::chrono::milliseconds lockWait{20000};
};

struct PassResult {
    bool ran = false;              // false when the lock could not be had
    std::optional<double> nextDue; // earliest moment something falls due
    std::vector<int> watchPids;    // running apps' processes
};

PassResult runPass(const PassEnvironment& env);

// The real adapters: wall clock, the core's health check, running apps and the app
// launcher of this platform, and the given service host.
PassEnvironment realEnvironment(ServiceHost& host, std::string home);

// The engine's classification of a health result: refused or unresolved with no
// declared port open is down.
HealthOutcome checkService(const KestruneCore::ServiceConfig& config);

// Constants of the keep-alive rules.
inline constexpr int defaultIntervalSeconds = 5;
inline constexpr int retryLimit = 5;
inline constexpr int firstBackoffSeconds = 30;
inline constexpr int maxBackoffSeconds = 900;
inline constexpr int healthyResetSeconds = 300;
inline constexpr int crashWindowSeconds = 10;
inline constexpr int crashLoopCount = 3;

// Seconds until the retry after `attempts` failed attempts: 30 doubling, at most 900.
int backoffSeconds(int attempts);

} // namespace KestruneEngine
