#include "health/StartRecords.h"

#include "core/FileIO.h"
#include "core/TextLines.h"
#include "health/Backoff.h"
#include <limits>

#include <algorithm>
#include <cmath>

namespace KestruneCore {

namespace {
constexpr std::size_t countedStarts = 10;
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

std::vector<StartRecord> startRecords(const std::string& name, const std::string& path) {
    auto text = readUtf8File(path);
    if (!text)
        return {};
    return parseStartRecords(name, *text);
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
