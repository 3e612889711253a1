// The engine's problems file: one line per entry that currently has trouble.
#pragma once

#include "core/Paths.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

// restarting: the engine is dealing with it. stuck: the user is needed.
enum class Severity { restarting, stuck };

// "restarting" / "stuck".
std::string_view rawValue(Severity severity);
// Exact and case-sensitive; any other text has no severity.
std::optional<Severity> severityFromRaw(std::string_view raw);

struct Problem {
    std::string name; // the watched entry's name
    std::string kind; // the engine's word for what is wrong
    Severity severity = Severity::restarting;
    std::string since;  // verbatim, never interpreted here
    std::string detail; // free text, may be empty

    bool operator==(const Problem&) const = default;
};

// The severity each problem kind has when a line names no severity of its own.
const std::map<std::string, Severity, std::less<>>& kindSeverity();
std::optional<Severity> severity(std::string_view forKind);

// state folder + "/problems.tsv", computed afresh.
std::string problemsPath();

// Every well-formed line in file order. Missing, unreadable or non-UTF-8: empty.
std::vector<Problem> loadProblems(const std::string& from = problemsPath());

// The same rules applied to the text of a problems file.
std::vector<Problem> parseProblems(std::string_view text);

} // namespace KestruneCore
