#include "ctl/StatusCommand.h"

#include "core/Graphemes.h"
#include "core/WatchList.h"
#include "ctl/SafeOutput.h"
#include "health/AppLiveness.h"
#include "health/Backoff.h"
#include "health/Problems.h"
#include "health/ServiceSubtitle.h"
#include "health/SlowStarts.h"
#include "health/StartRecords.h"
#include "health/StatusSummary.h"
#include "services/HealthCheck.h"
#include "services/ServiceConfig.h"

#include <algorithm>
#include <set>
#include <sstream>

namespace KestruneCtl {

using namespace KestruneCore;

StatusReport gatherStatus(const Context& ctx, bool probe) {
    auto now = Clock::now();
    WatchList apps = load();
    StatusReport r;
    r.master = loadMaster();

    // The same steps, in the same order, as the tray program's refresh.
    std::vector<Problem> problems;
    std::vector<std::string> slow;
    if (r.master) {
        problems = liveProblems(loadProblems(), apps, appIsRunning);
        slow = slowStarts(apps, problems, now);
        r.agentLoaded = ctx.agentLoaded();
    }
    bool anyEnabled =
        std::any_of(apps.begin(), apps.end(), [](const AppEntry& e) { return e.enabled; });
    IconState state = iconState(problems, r.agentLoaded, anyEnabled, slow);
    r.iconState = std::string(rawValue(state));
    r.tooltip = statusTooltip(state, problems, slow);
    r.slowStarts = slow;

    std::set<std::string> serviceNames;
    for (const auto& e : apps)
        if (e.type == EntryType::service)
            serviceNames.insert(e.name);
    for (const auto& p : problems)
        r.problems.push_back({p.name, p.kind, std::string(rawValue(p.severity)), p.since, p.detail,
                              menuLine(p, serviceNames.count(p.name) > 0)});

    // The start-up times are read once for all rows.
    std::string startTimes = readStartRecordsText().value_or("");
    for (const auto& e : apps) {
        StatusEntry row{e.name, e.path, std::string(rawValue(e.type)), e.enabled, e.method, {}};
        if (e.type == EntryType::app) {
            row.subtitle = appRowSubtitle(e, appIsRunning(e.path), problems);
        } else {
            auto config = ServiceConfig::load(e.path).value();
            std::optional<bool> observed;
            // Only services nobody keeps alive are probed, as an open Settings window does.
            if (probe && config && (!e.enabled || !r.master))
                observed = probeHealth(*config);
            row.subtitle =
                serviceSubtitle(e, config, problems, r.master, tryingSince(e.name), now,
                                typicalStartup(parseStartRecords(e.name, startTimes)), observed);
        }
        r.entries.push_back(std::move(row));
    }
    return r;
}

nlohmann::ordered_json statusJson(const StatusReport& r) {
    // Keys keep the documented order, which reads better than sorted ones.
    using json = nlohmann::ordered_json;
    json problems = json::array();
    for (const auto& p : r.problems)
        problems.push_back({{"name", p.name},
                            {"kind", p.kind},
                            {"severity", p.severity},
                            {"since", p.since},
                            {"detail", p.detail},
                            {"line", p.line}});
    json entries = json::array();
    for (const auto& e : r.entries)
        entries.push_back({{"name", e.name},
                           {"path", e.path},
                           {"type", e.type},
                           {"enabled", e.enabled},
                           {"method", e.method},
                           {"subtitle", e.subtitle}});
    return {{"master", r.master},   {"agentLoaded", r.agentLoaded}, {"iconState", r.iconState},
            {"tooltip", r.tooltip}, {"problems", problems},         {"slowStarts", r.slowStarts},
            {"entries", entries}};
}

namespace {

std::string padded(const std::string& text, std::size_t width) {
    std::size_t n = KestruneCore::graphemeCount(text);
    return text + std::string(width > n ? width - n : 0, ' ');
}

} // namespace

std::string statusText(const StatusReport& r) {
    std::ostringstream out;
    out << "Keep alive:  " << (r.master ? "on" : "off") << '\n'
        << "Agent:       " << (r.agentLoaded ? "loaded" : "not loaded") << '\n'
        << "Icon:        " << r.iconState << '\n'
        << "Tooltip:     " << r.tooltip << '\n'
        << '\n'
        << "Problems:" << (r.problems.empty() ? " none" : "") << '\n';
    for (const auto& p : r.problems)
        out << "  " << p.line << '\n';
    out << "Slow starts:" << (r.slowStarts.empty() ? " none" : "") << '\n';
    for (const auto& s : r.slowStarts)
        out << "  " << s << '\n';
    out << '\n';
    if (r.entries.empty()) {
        out << "Entries: none\n";
        return out.str();
    }
    std::size_t nameWidth = 4, typeWidth = 4;
    for (const auto& e : r.entries) {
        nameWidth = std::max(nameWidth, KestruneCore::graphemeCount(e.name));
        typeWidth = std::max(typeWidth, e.type.size());
    }
    out << "  " << padded("NAME", nameWidth) << "  " << padded("TYPE", typeWidth) << "  ON   "
        << "STATE\n";
    for (const auto& e : r.entries)
        out << "  " << padded(e.name, nameWidth) << "  " << padded(e.type, typeWidth) << "  "
            << (e.enabled ? "on   " : "off  ") << e.subtitle << '\n';
    return out.str();
}

int showStatus(const Context& ctx, bool json, bool probe) {
    StatusReport report = gatherStatus(ctx, probe);
    if (json)
        ctx.out << jsonText(statusJson(report)) << '\n';
    else
        ctx.out << statusText(report);
    return exitOk;
}

} // namespace KestruneCtl
