#include "health/StatusSummary.h"

#include "core/FileIO.h"
#include "health/AppLiveness.h"

namespace KestruneCore {

namespace {

// " – " with an en dash.
constexpr std::string_view dash = " \u2013 ";
constexpr std::string_view ellipsis = "\u2026";

template <typename Range, typename Name> std::string joinedNames(const Range& items, Name name) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty())
            out += ", ";
        out += name(item);
    }
    return out;
}

} // namespace

std::string_view rawValue(IconState state) {
    switch (state) {
    case IconState::healthy:
        return "healthy";
    case IconState::orange:
        return "orange";
    case IconState::red:
        return "red";
    case IconState::off:
        break;
    }
    return "off";
}

IconState iconState(const std::vector<Problem>& problems, bool masterOn, bool anyEnabled,
                    const std::vector<std::string>& slowStarts) {
    if (!masterOn || !anyEnabled)
        return IconState::off;
    if (!slowStarts.empty())
        return IconState::red;
    if (!problems.empty())
        return IconState::orange;
    return IconState::healthy;
}

std::string menuLine(const Problem& problem, bool isService) {
    const std::string& name = problem.name;
    if (problem.kind == "unknown-start")
        return name + " is down" + std::string(dash) + "Kestrune doesn't know how to start it";
    if (problem.severity == Severity::stuck) {
        if (isService)
            return name + " is down" + std::string(dash) +
                   (problem.detail.empty() ? std::string("needs you") : problem.detail);
        return name + " couldn't be relaunched" + std::string(dash) + "needs you";
    }
    if (problem.kind == "hung-restarting")
        return name + " isn't responding" + std::string(dash) + "restarting" +
               std::string(ellipsis);
    return name + " quit" + std::string(dash) + "restarting" + std::string(ellipsis);
}

std::string statusTooltip(IconState state, const std::vector<Problem>& problems,
                          const std::vector<std::string>& slowStarts) {
    switch (state) {
    case IconState::healthy:
        return "Kestrune: ON";
    case IconState::orange:
        return "Kestrune: problems" + std::string(dash) +
               joinedNames(problems, [](const Problem& p) { return p.name; });
    case IconState::red:
        return "Kestrune: taking longer than expected to start" + std::string(dash) +
               joinedNames(slowStarts, [](const std::string& n) { return n; });
    case IconState::off:
        break;
    }
    return "Kestrune: OFF";
}

std::optional<std::string> lastRelaunch(std::string_view logText, const std::string& name) {
    const std::string needle = "[" + name + "] ACTION";
    auto lines = splitLines(logText);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->find(needle) == std::string::npos)
            continue;
        // The time stamp's second piece is "HH:mm:ss"; its first five characters
        // are the clock time.
        std::vector<std::string_view> pieces;
        std::string_view rest = *it;
        while (!rest.empty() && pieces.size() < 2) {
            auto start = rest.find_first_not_of(' ');
            if (start == std::string_view::npos)
                break;
            rest.remove_prefix(start);
            auto end = rest.find(' ');
            pieces.push_back(rest.substr(0, end));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
        }
        if (pieces.size() < 2)
            return std::nullopt;
        return std::string(pieces[1].substr(0, 5));
    }
    return std::nullopt;
}

std::string appRowSubtitle(const AppEntry& entry, bool running,
                           const std::vector<Problem>& problems, const std::string& log) {
    std::optional<std::string> relaunch;
    if (auto text = readUtf8File(log))
        relaunch = lastRelaunch(*text, entry.name);
    return appSubtitle(entry, running, problems, relaunch);
}

} // namespace KestruneCore
