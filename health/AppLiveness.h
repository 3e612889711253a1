// Whether a watched app is running, the problems that are still current once running
// apps are taken into account, and the one-line state of an app row.
#pragma once

#include "core/AppEntry.h"
#include "health/Problems.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace KestruneCore {

// True when a running process has exactly this bundle path (no normalisation).
bool appIsRunning(const std::string& path);

using RunningPredicate = std::function<bool(const std::string& path)>;

// `problems` in order, minus the restarting problems of app entries that run again
// (the engine's file lags behind). The first entry of that name that is an app decides.
std::vector<Problem> liveProblems(const std::vector<Problem>& problems,
                                  const std::vector<AppEntry>& apps,
                                  const RunningPredicate& isRunning = appIsRunning);

// "Running", "Not running", "Restarting…", with " · Needs you", " · Last relaunched
// HH:MM" and " · Off" as they apply.
std::string appSubtitle(const AppEntry& entry, bool running, const std::vector<Problem>& problems,
                        const std::optional<std::string>& lastRelaunch);

} // namespace KestruneCore
