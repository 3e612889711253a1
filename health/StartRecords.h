// The engine's start-up times file: one record per start of a watched entry, and
// what they say about how long the entry usually takes to start.
#pragma once

#include "core/AppEntry.h"
#include "core/Paths.h"
#include "services/ServiceConfig.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

struct StartRecord {
    std::string service;       // the entry's name
    std::string startedAt;     // verbatim
    std::string endedAt;       // verbatim
    std::int64_t duration = 0; // seconds
    std::string trigger;       // verbatim
    std::string outcome;       // "healthy" means success

    bool ok() const { return outcome == "healthy"; }
    bool operator==(const StartRecord&) const = default;
};

struct TypicalStartup {
    std::int64_t median = 0;
    std::int64_t slowest = 0;

    bool operator==(const TypicalStartup&) const = default;
};

inline constexpr std::int64_t defaultAppStartSeconds = 60;

// state folder + "/startup-times.tsv", computed afresh.
std::string startupTimesPath();

// The records of one entry in file order; an unreadable file has none.
std::vector<StartRecord> startRecords(const std::string& name,
                                      const std::string& path = startupTimesPath());
// The same rules applied to the text of the file.
std::vector<StartRecord> parseStartRecords(const std::string& name, std::string_view text);
// The durations of the successful starts of several entries, in file order, by name,
// from one pass over the text (what the typical start-up is made of).
std::map<std::string, std::vector<std::int64_t>, std::less<>>
healthyDurations(const std::set<std::string, std::less<>>& names, std::string_view text);

// Median and slowest of the last 10 successful starts, or none without any.
std::optional<TypicalStartup> typicalStartup(const std::vector<StartRecord>& records);

// The same from the durations of successful starts, oldest first.
std::optional<TypicalStartup> typicalStartupOfDurations(std::vector<std::int64_t> healthyDurations);

// How long a start may take: max(median + 10, slowest × 3 / 2).
std::int64_t expectedWindow(const TypicalStartup& typical);

// "~45s", "~2min".
std::string approx(std::int64_t seconds);

// The last `last` records, newest first, one line each.
std::string startHistory(const std::vector<StartRecord>& records, std::size_t last = 10);

// Seconds a start of `entry` may take before it counts as slow.
std::int64_t expectedStartSeconds(const AppEntry& entry, const std::vector<StartRecord>& records,
                                  const std::optional<ServiceConfig>& config);
// The same from the typical start-up the records give.
std::int64_t expectedStartSeconds(const AppEntry& entry,
                                  const std::optional<TypicalStartup>& typical,
                                  const std::optional<ServiceConfig>& config);

} // namespace KestruneCore
