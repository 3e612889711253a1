#include "health/SlowStarts.h"

#include "core/FileIO.h"
#include "core/Graphemes.h"
#include "core/TextLines.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace KestruneCore {

namespace {

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// Lines shorter than this (in user-perceived characters) cannot hold a time stamp,
// " [", a name and "] ".
constexpr std::size_t minimumLineCharacters = 23;

struct ParsedLine {
    std::string_view stamp; // characters 1–19
    std::string_view name;
    std::string_view message;
};

bool isAsciiPrintable(char c) {
    return c >= 0x20 && c < 0x7F;
}

// Splits "yyyy-MM-dd HH:mm:ss [name] message" by characters, not bytes: character 20
// must be a blank and 21 "[", the name runs from character 22 to the first "] ".
std::optional<ParsedLine> parseLogLine(std::string_view line) {
    std::size_t nameStart;
    std::string_view stamp;
    bool plain = line.size() >= minimumLineCharacters;
    for (std::size_t i = 0; plain && i < minimumLineCharacters; ++i)
        plain = isAsciiPrintable(line[i]);
    if (plain) {
        // Printable ASCII characters are clusters of their own, so the first 22
        // characters are the first 22 bytes and a 23rd follows.
        if (line[19] != ' ' || line[20] != '[')
            return std::nullopt;
        stamp = line.substr(0, 19);
        nameStart = 21;
    } else {
        if (line.size() < minimumLineCharacters)
            return std::nullopt;
        // Only the first 23 characters matter; the cut can only change the last
        // cluster of the piece, so look at more when it is too short.
        std::size_t cut = std::min<std::size_t>(line.size(), 1024);
        while (cut < line.size() && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut; // never inside a UTF-8 sequence, so cluster bytes add up
        std::string_view head = line.substr(0, cut);
        auto clusters = graphemeClusters(head);
        if (clusters.size() < minimumLineCharacters + 1 && head.size() < line.size())
            clusters = graphemeClusters(line);
        if (clusters.size() < minimumLineCharacters)
            return std::nullopt;
        if (clusters[19] != " " || clusters[20] != "[")
            return std::nullopt;
        std::size_t offset = 0;
        for (std::size_t i = 0; i < 19; ++i)
            offset += clusters[i].size();
        stamp = line.substr(0, offset);
        nameStart = offset + 2;
    }
    auto close = line.find("] ", nameStart);
    if (close == std::string_view::npos)
        return std::nullopt;
    return ParsedLine{stamp, line.substr(nameStart, close - nameStart), line.substr(close + 2)};
}

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using PendingStarts = std::unordered_map<std::string, Clock::time_point, NameHash, std::equal_to<>>;

// The index of the first byte that does not begin a valid UTF-8 sequence, or npos.
// Runs of ASCII are skipped eight bytes at a time: logs are mostly ASCII.
std::size_t firstInvalidUtf8(std::string_view s, std::size_t from) {
    const std::size_t n = s.size();
    std::size_t i = from;
    while (i < n) {
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s.data() + i, 8);
            if (word & 0x8080808080808080ull)
                break;
            i += 8;
        }
        if (i >= n)
            break;
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = (c & 0xE0) == 0xC0   ? 2
                          : (c & 0xF0) == 0xE0 ? 3
                          : (c & 0xF8) == 0xF0 ? 4
                                               : 0;
        if (len == 0 || i + len > n || !isValidUtf8(s.substr(i, len)))
            return i;
        i += len;
    }
    return std::string_view::npos;
}

} // namespace

bool isStartLine(std::string_view message) {
    constexpr std::string_view action = "ACTION: ";
    if (!startsWith(message, action))
        return false;
    return startsWith(message, "ACTION: not running -> open") ||
           startsWith(message, "ACTION: switched on in Settings -> launching now") ||
           message.find("-> starting with", action.size()) != std::string_view::npos;
}

bool isStartEndLine(std::string_view message) {
    static constexpr std::string_view ends[] = {"started: ",        "open failed",
                                                "launch.sh exited", "retry limit reached",
                                                "keep-alive off",   "start failed"};
    if (message.empty())
        return false;
    for (auto end : ends)
        if (end.front() == message.front() && startsWith(message, end))
            return true;
    return false;
}

namespace {

// The clock counts nanoseconds since 1970 in 64 bits (years 1678 to 2262); a stamp
// outside that span is no time of this log and must not overflow the conversion.
std::optional<Clock::time_point> stampTime(std::string_view stamp) {
    int year = 0;
    for (std::size_t i = 0; i < 4 && i < stamp.size(); ++i) {
        if (stamp[i] < '0' || stamp[i] > '9')
            return std::nullopt;
        year = year * 10 + (stamp[i] - '0');
    }
    if (year < 1700 || year > 2200)
        return std::nullopt;
    return parseTimestamp(stamp);
}

// Latest start marker per name that no end marker followed.
PendingStarts pendingStarts(std::string_view log) {
    PendingStarts pending;
    // Lines written together share their second; converting a local time consults the
    // time zone, so a repeated stamp reuses the last conversion.
    std::string_view lastStamp;
    std::optional<Clock::time_point> lastTime;
    forEachLine(log, [&](std::string_view line) {
        auto parsed = parseLogLine(line);
        if (!parsed)
            return;
        if (isStartLine(parsed->message)) {
            if (lastStamp.empty() || parsed->stamp != lastStamp) {
                lastStamp = parsed->stamp;
                lastTime = stampTime(parsed->stamp);
            }
            if (auto time = lastTime) {
                auto it = pending.find(parsed->name);
                if (it != pending.end())
                    it->second = *time;
                else
                    pending.emplace(std::string(parsed->name), *time);
            }
        } else if (isStartEndLine(parsed->message)) {
            if (auto it = pending.find(parsed->name); it != pending.end())
                pending.erase(it);
        }
    });
    return pending;
}

struct Candidate {
    const AppEntry* entry;
    double elapsed; // seconds since its start marker
};

double seconds(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Switched-on entries with a current problem and a pending start, in watch-list order.
std::vector<Candidate> candidates(std::string_view log, const std::vector<AppEntry>& apps,
                                  const std::vector<Problem>& problems, Clock::time_point now) {
    std::vector<Candidate> out;
    if (problems.empty())
        return out;
    PendingStarts pending = pendingStarts(log);
    std::unordered_set<std::string_view> troubled;
    for (const auto& p : problems)
        troubled.insert(p.name);
    for (const auto& entry : apps) {
        if (!entry.enabled || !troubled.count(entry.name))
            continue;
        auto started = pending.find(entry.name);
        if (started == pending.end())
            continue;
        // In floating seconds: a time stamp centuries away must not overflow the clock.
        out.push_back({&entry, seconds(now) - seconds(started->second)});
    }
    return out;
}

} // namespace

std::vector<std::string> slowStarts(std::string_view log, const std::vector<AppEntry>& apps,
                                    const std::vector<Problem>& problems, Clock::time_point now,
                                    const ExpectedStartSeconds& expected) {
    std::vector<std::string> slow;
    for (const auto& c : candidates(log, apps, problems, now))
        if (c.elapsed > static_cast<double>(expected(*c.entry)))
            slow.push_back(c.entry->name);
    return slow;
}

std::vector<std::string> slowStarts(const std::vector<AppEntry>& apps,
                                    const std::vector<Problem>& problems, Clock::time_point now,
                                    const std::string& logFile,
                                    const std::string& startupTimesFile) {
    if (problems.empty())
        return {};
    auto bytes = readFileTail(logFile, slowStartLogTailBytes);
    if (!bytes)
        return {};
    auto found = candidates(utf8Replacing(*bytes), apps, problems, now);
    if (found.empty())
        return {};

    // One pass over the start-up times file for all candidates.
    std::set<std::string, std::less<>> names;
    for (const auto& c : found)
        names.insert(c.entry->name);
    std::map<std::string, std::vector<std::int64_t>, std::less<>> durations;
    if (auto file = readStartRecordsText(startupTimesFile))
        durations = healthyDurations(names, *file);

    std::vector<std::string> slow;
    for (const auto& c : found) {
        const AppEntry& entry = *c.entry;
        auto it = durations.find(entry.name);
        auto typical = it == durations.end() ? std::nullopt : typicalStartupOfDurations(it->second);
        std::optional<ServiceConfig> config;
        if (entry.type == EntryType::service) {
            // A service may take the larger of its grace and its usual window: a start
            // still inside the window is not slow whatever the grace, so its folder
            // need not be read.
            if (typical && c.elapsed <= static_cast<double>(expectedWindow(*typical)))
                continue;
            config = ServiceConfig::load(entry.path).value();
        }
        auto expected = expectedStartSeconds(entry, typical, config);
        if (c.elapsed > static_cast<double>(expected))
            slow.push_back(entry.name);
    }
    return slow;
}

std::string utf8Replacing(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::size_t bad = firstInvalidUtf8(bytes, 0);
    if (bad == std::string_view::npos)
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 16);
    std::size_t done = 0;
    while (bad != std::string_view::npos) {
        out.append(bytes.substr(done, bad - done));
        out += replacement;
        // A broken sequence is replaced once: its lead byte and the continuation bytes
        // that follow it (at most three) go together.
        std::size_t skip = 1;
        auto c = static_cast<unsigned char>(bytes[bad]);
        std::size_t len = (c & 0xE0) == 0xC0   ? 2
                          : (c & 0xF0) == 0xE0 ? 3
                          : (c & 0xF8) == 0xF0 ? 4
                                               : 1;
        while (skip < len && bad + skip < bytes.size() &&
               (static_cast<unsigned char>(bytes[bad + skip]) & 0xC0) == 0x80)
            ++skip;
        done = bad + skip;
        bad = firstInvalidUtf8(bytes, done);
    }
    out.append(bytes.substr(done));
    return out;
}

} // namespace KestruneCore
