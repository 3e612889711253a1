#include "core/StartRecords.h"

#include "core/Backoff.h"
#include "core/FileIO.h"
#include "core/Problems.h"

#include <algorithm>
#include <cmath>

namespace KestruneCore {

namespace {
constexpr std::size_t countedStarts = 10;
}

std::string startupTimesPath() {
    return stateFolder() + "/startup-times.tsv";
}

std::vector<StartRecord> parseStartRecords(const std::string& name, std::string_view text) {
    std::vector<StartRecord> records;
    for (const auto& line : splitLines(text)) {
        // Most lines belong to other entries; compare the name before splitting.
        if (line.compare(0, name.size(), name) != 0 || line.size() <= name.size() ||
            line[name.size()] != '\t')
            continue;
        auto fields = splitFields(line);
        if (fields.size() < 6)
            continue;
        // Plain whole seconds only: epochValue also allows blanks around the number.
        const auto& d = fields[3];
        if (d.empty() || d.front() == ' ' || d.back() == ' ' ||
            d.find_first_of(" \t\r\n\v\f") != std::string::npos)
            continue;
        auto duration = epochValue(d);
        if (!duration)
            continue;
        records.push_back({std::move(fields[0]), std::move(fields[1]), std::move(fields[2]),
                           *duration, std::move(fields[4]), std::move(fields[5])});
    }
    return records;
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
    std::optional<std::int64_t> window;
    if (auto typical = typicalStartup(records))
        window = expectedWindow(*typical);
    if (entry.type == EntryType::app)
        return window.value_or(defaultAppStartSeconds);
    std::int64_t grace = config ? config->grace : ServiceConfig{}.grace;
    return std::max(grace, window.value_or(0));
}

} // namespace KestruneCore
