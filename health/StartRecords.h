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

// What is kept of each entry when the file is trimmed: its last `keptStartsPerEntry`
// records (the start history shows that many) and its last `keptStartsPerEntry`
// successful ones (the typical start-up is made of that many).
inline constexpr std::size_t keptStartsPerEntry = 10;
// Entries whose records survive a trim, those started most recently first: entries
// removed from the watch list long ago fall out instead of piling up.
inline constexpr std::size_t keptStartEntries = 200;
// The file is trimmed by the append that takes it past this size, and readers look at
// no more than its last `startRecordsReadBytes`, so no reader ever pulls in a file
// that some other writer has let grow.
inline constexpr std::size_t startRecordsTrimBytes = 256u * 1024u;
inline constexpr std::size_t startRecordsReadBytes = 4u * 1024u * 1024u;

// The text of the file to parse: at most its last `startRecordsReadBytes`, beginning
// at a whole line; none when missing, unreadable or not UTF-8. Read it once for all
// the entries a refresh shows.
std::optional<std::string> readStartRecordsText(const std::string& path = startupTimesPath());

// The records of one entry in file order; an unreadable file has none.
std::vector<StartRecord> startRecords(const std::string& name,
                                      const std::string& path = startupTimesPath());

// Appends one record as one line, holding the file's edit lock, and trims the file
// when it has grown past `startRecordsTrimBytes` (an atomic rewrite under the same
// lock, so no record appended meanwhile is lost). Whether the record was written.
bool appendStartRecord(const StartRecord& record, const std::string& path = startupTimesPath());

// The lines of `text` a trim keeps (see keptStartsPerEntry and keptStartEntries), in
// file order; malformed lines and lines that are not UTF-8 are dropped.
std::string trimmedStartRecords(std::string_view text);
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
