#include "health/AppLiveness.h"

#include "platform/RunningApps.h"

#include <algorithm>

namespace KestruneCore {

namespace {
constexpr const char* separator = " \u00B7 ";
}

bool appIsRunning(const std::string& path) {
    return isBundleRunning(path);
}

std::vector<Problem> liveProblems(const std::vector<Problem>& problems,
                                  const std::vector<AppEntry>& apps,
                                  const RunningPredicate& isRunning) {
    std::vector<Problem> kept;
    kept.reserve(problems.size());
    for (const auto& p : problems) {
        bool stale = false;
        if (p.severity == Severity::restarting) {
            auto app = std::find_if(apps.begin(), apps.end(), [&](const AppEntry& e) {
                return e.name == p.name && e.type == EntryType::app;
            });
            stale = app != apps.end() && isRunning && isRunning(app->path);
        }
        if (!stale)
            kept.push_back(p);
    }
    return kept;
}

std::string appSubtitle(const AppEntry& entry, bool running, const std::vector<Problem>& problems,
                        const std::optional<std::string>& lastRelaunch) {
    std::string state = running ? "Running" : "Not running";
    bool any = false;
    bool stuck = false;
    for (const auto& p : problems) {
        if (p.name != entry.name)
            continue;
        any = true;
        stuck = stuck || p.severity == Severity::stuck;
    }
    std::string text;
    if (stuck)
        text = state + separator + "Needs you";
    else if (any)
        text = "Restarting\u2026";
    else if (lastRelaunch)
        text = state + separator + "Last relaunched " + *lastRelaunch;
    else
        text = state;
    if (!entry.enabled)
        text += std::string(separator) + "Off";
    return text;
}

} // namespace KestruneCore
