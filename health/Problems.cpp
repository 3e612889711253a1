#include "health/Problems.h"

#include "core/FileIO.h"

namespace KestruneCore {

std::string_view rawValue(Severity severity) {
    return severity == Severity::stuck ? "stuck" : "restarting";
}

std::optional<Severity> severityFromRaw(std::string_view raw) {
    if (raw == "restarting")
        return Severity::restarting;
    if (raw == "stuck")
        return Severity::stuck;
    return std::nullopt;
}

const std::map<std::string, Severity, std::less<>>& kindSeverity() {
    static const std::map<std::string, Severity, std::less<>> table = {
        {"not-running-relaunching", Severity::restarting},
        {"hung-restarting", Severity::restarting},
        {"relaunch-failed", Severity::stuck},
        {"unknown-start", Severity::stuck},
        {"retry-limit", Severity::stuck},
        // The engine has stopped trying on its own schedule; the user is needed.
        {"retrying", Severity::stuck},
        {"needs-admin", Severity::stuck},
        {"watch-only-down", Severity::stuck},
        {"unsafe-to-rerun", Severity::stuck},
        {"name-clash", Severity::stuck},
    };
    return table;
}

std::optional<Severity> severity(std::string_view forKind) {
    const auto& table = kindSeverity();
    auto it = table.find(forKind);
    if (it == table.end())
        return std::nullopt;
    return it->second;
}

std::string problemsPath() {
    return stateFolder() + "/problems.tsv";
}

std::vector<Problem> parseProblems(std::string_view text) {
    std::vector<Problem> problems;
    for (const auto& line : splitLines(text)) {
        auto fields = splitFields(line);
        if (fields.size() < 4)
            continue;
        auto sev = severityFromRaw(fields[2]);
        if (!sev)
            sev = severity(fields[1]);
        if (!sev)
            continue;
        Problem p;
        p.name = std::move(fields[0]);
        p.kind = std::move(fields[1]);
        p.severity = *sev;
        p.since = std::move(fields[3]);
        if (fields.size() > 4)
            p.detail = std::move(fields[4]);
        problems.push_back(std::move(p));
    }
    return problems;
}

std::vector<Problem> loadProblems(const std::string& from) {
    auto text = readUtf8File(from);
    if (!text)
        return {};
    return parseProblems(*text);
}

} // namespace KestruneCore
