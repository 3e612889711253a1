#include "health/StartRecords.h"

#include "core/EditLock.h"
#include "core/FileIO.h"
#include "core/TextLines.h"
#include "health/Backoff.h"
#include <limits>

#include <algorithm>
#include <cmath>
#include <sys/stat.h>
#include <unordered_map>

namespace KestruneCore {

namespace {
constexpr std::size_t countedStarts = keptStartsPerEntry;
}

std::string startupTimesPath() {
    return stateFolder() + "/startup-times.tsv";
}

namespace {

// Whole seconds written plainly: epochValue also allows blanks around the number.
std::optional<std::int64_t> plainInteger(std::string_view text) {
    if (text.find_first_of(" \t\r\n\v\f") != std::string_view::npos)
        return std::nullopt;
    return epochValue(text);
}

// One line of the file, when it is well formed.
std::optional<StartRecord> parseStartRecordLine(std::string_view line) {
    std::string_view f[6];
    if (splitFieldViews(line, f) < 6)
        return std::nullopt;
    auto duration = plainInteger(f[3]);
    if (!duration)
        return std::nullopt;
    return StartRecord{std::string(f[0]), std::string(f[1]), std::string(f[2]),
                       *duration,         std::string(f[4]), std::string(f[5])};
}

std::string_view firstField(std::string_view line) {
    return line.substr(0, line.find('\t'));
}

} // namespace

std::vector<StartRecord> parseStartRecords(const std::string& name, std::string_view text) {
    std::vector<StartRecord> records;
    forEachLine(text, [&](std::string_view line) {
        // Most lines belong to other entries; compare the name before parsing.
        if (firstField(line) != name)
            return;
        if (auto record = parseStartRecordLine(line))
            records.push_back(std::move(*record));
    });
    return records;
}

std::map<std::string, std::vector<std::int64_t>, std::less<>>
healthyDurations(const std::set<std::string, std::less<>>& names, std::string_view text) {
    std::map<std::string, std::vector<std::int64_t>, std::less<>> byName;
    forEachLine(text, [&](std::string_view line) {
        std::string_view f[6];
        if (!names.count(firstField(line)) || splitFieldViews(line, f) < 6 || f[5] != "healthy")
            return;
        if (auto duration = plainInteger(f[3]))
            byName[std::string(f[0])].push_back(*duration);
    });
    return byName;
}

namespace {

// The file's last `startRecordsReadBytes`, from its first whole line.
std::optional<std::string> tailLines(const std::string& path) {
    auto text = readFileTail(path, startRecordsReadBytes);
    if (!text)
        return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 &&
        static_cast<unsigned long long>(st.st_size) > text->size()) {
        // Cut inside a line (maybe inside a character): start at the next whole one.
        auto newline = text->find('\n');
        text->erase(0, newline == std::string::npos ? text->size() : newline + 1);
    }
    return text;
}

} // namespace

std::optional<std::string> readStartRecordsText(const std::string& path) {
    auto text = tailLines(path);
    if (!text || !isValidUtf8(*text))
        return std::nullopt;
    return text;
}

std::vector<StartRecord> startRecords(const std::string& name, const std::string& path) {
    auto text = readStartRecordsText(path);
    if (!text)
        return {};
    return parseStartRecords(name, *text);
}

std::string trimmedStartRecords(std::string_view text) {
    struct Line {
        std::string_view text;
        std::string_view name;
        bool healthy;
    };
    std::vector<Line> lines;
    forEachLine(text, [&](std::string_view line) {
        if (!isValidUtf8(line))
            return;
        if (auto record = parseStartRecordLine(line))
            lines.push_back({line, firstField(line), record->ok()});
    });
    // Newest first: each entry keeps its latest records and latest successes, and only
    // the entries started most recently keep any.
    struct Counts {
        std::size_t all = 0;
        std::size_t healthy = 0;
    };
    std::unordered_map<std::string_view, Counts> seen;
    std::vector<bool> keep(lines.size(), false);
    for (std::size_t i = lines.size(); i-- > 0;) {
        auto it = seen.find(lines[i].name);
        if (it == seen.end()) {
            if (seen.size() >= keptStartEntries)
                continue;
            it = seen.emplace(lines[i].name, Counts{}).first;
        }
        Counts& c = it->second;
        bool wanted = c.all < keptStartsPerEntry || (lines[i].healthy && c.healthy < countedStarts);
        ++c.all;
        if (lines[i].healthy)
            ++c.healthy;
        keep[i] = wanted;
    }
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (keep[i]) {
            out += lines[i].text;
            out += '\n';
        }
    return out;
}

bool appendStartRecord(const StartRecord& r, const std::string& path) {
    std::string line = singleLineField(r.service) + "\t" + singleLineField(r.startedAt) + "\t" +
                       singleLineField(r.endedAt) + "\t" + std::to_string(r.duration) + "\t" +
                       singleLineField(r.trigger) + "\t" + singleLineField(r.outcome) + "\n";
    // The engine is the only writer; the lock keeps a trim by one pass from dropping a
    // line another appends, and is short. Without it the line is still appended (one
    // write on O_APPEND, never split), only the trim waits for a later record.
    EditLock lock(path, std::chrono::milliseconds(2000));
    if (!appendToFile(path, line))
        return false;
    struct stat st {};
    if (!lock.held() || ::stat(path.c_str(), &st) != 0 ||
        static_cast<unsigned long long>(st.st_size) <= startRecordsTrimBytes)
        return true;
    // Bytes that are not UTF-8 would hide every record from readers; the trim drops them.
    if (auto text = tailLines(path))
        writeFileAtomically(path, trimmedStartRecords(*text));
    return true;
}

std::optional<TypicalStartup> typicalStartup(const std::vector<StartRecord>& records) {
    std::vector<std::int64_t> durations;
    for (const auto& r : records)
        if (r.ok())
            durations.push_back(r.duration);
    return typicalStartupOfDurations(std::move(durations));
}

std::optional<TypicalStartup> typicalStartupOfDurations(std::vector<std::int64_t> durations) {
    if (durations.size() > countedStarts)
        durations.erase(durations.begin(), durations.end() - countedStarts);
    if (durations.empty())
        return std::nullopt;
    std::sort(durations.begin(), durations.end());
    std::size_t n = durations.size();
    std::int64_t median;
    if (n % 2 == 1) {
        median = durations[n / 2];
    } else {
        // (a + b + 1) / 2 without overflowing for durations near the 64-bit limits.
        std::int64_t a = durations[n / 2 - 1];
        std::int64_t b = durations[n / 2];
        __int128 sum = static_cast<__int128>(a) + b + 1;
        median = static_cast<std::int64_t>(sum / 2);
    }
    return TypicalStartup{median, durations.back()};
}

std::int64_t expectedWindow(const TypicalStartup& typical) {
    // Wide arithmetic: the engine's figures are small, but a damaged file is not.
    __int128 byMedian = static_cast<__int128>(typical.median) + 10;
    __int128 bySlowest = static_cast<__int128>(typical.slowest) * 3 / 2;
    __int128 window = std::max(byMedian, bySlowest);
    constexpr __int128 top = std::numeric_limits<std::int64_t>::max();
    constexpr __int128 bottom = std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(std::clamp(window, bottom, top));
}

std::string approx(std::int64_t seconds) {
    if (seconds >= 90) {
        auto minutes = static_cast<std::int64_t>(std::llround(static_cast<double>(seconds) / 60.0));
        return "~" + std::to_string(minutes) + "min";
    }
    return "~" + std::to_string(std::max<std::int64_t>(seconds, 1)) + "s";
}

std::string startHistory(const std::vector<StartRecord>& records, std::size_t last) {
    std::string text;
    std::size_t count = std::min(last, records.size());
    for (std::size_t i = 0; i < count; ++i) {
        const auto& r = records[records.size() - 1 - i];
        if (!text.empty())
            text += '\n';
        text +=
            r.startedAt + "  " + std::to_string(r.duration) + "s  " + r.trigger + "  " + r.outcome;
    }
    return text;
}

std::int64_t expectedStartSeconds(const AppEntry& entry, const std::vector<StartRecord>& records,
                                  const std::optional<ServiceConfig>& config) {
    return expectedStartSeconds(entry, typicalStartup(records), config);
}

std::int64_t expectedStartSeconds(const AppEntry& entry,
                                  const std::optional<TypicalStartup>& typical,
                                  const std::optional<ServiceConfig>& config) {
    std::optional<std::int64_t> window;
    if (typical)
        window = expectedWindow(*typical);
    if (entry.type == EntryType::app)
        return window.value_or(defaultAppStartSeconds);
    std::int64_t grace = config ? config->grace : ServiceConfig{}.grace;
    return std::max(grace, window.value_or(0));
}

} // namespace KestruneCore
