#include "core/SlowStarts.h"

#include "core/FileIO.h"
#include "core/Graphemes.h"

#include <algorithm>
#include <chrono>
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

} // namespace

bool isStartLine(std::string_view message) {
    if (startsWith(message, "ACTION: not running -> open") ||
        startsWith(message, "ACTION: switched on in Settings -> launching now"))
        return true;
    return startsWith(message, "ACTION: ") &&
           message.find("-> starting with") != std::string_view::npos;
}

bool isStartEndLine(std::string_view message) {
    static constexpr std::string_view ends[] = {"started: ",        "open failed",
                                                "launch.sh exited", "retry limit reached",
                                                "keep-alive off",   "start failed"};
    for (auto end : ends)
        if (startsWith(message, end))
            return true;
    return false;
}

std::vector<std::string> slowStarts(std::string_view log, const std::vector<AppEntry>& apps,
                                    const std::vector<Problem>& problems, Clock::time_point now,
                                    const ExpectedStartSeconds& expected) {
    std::unordered_map<std::string, Clock::time_point> pending;
    for (const auto& line : splitLines(log)) {
        auto parsed = parseLogLine(line);
        if (!parsed)
            continue;
        if (isStartLine(parsed->message)) {
            if (auto time = parseTimestamp(parsed->stamp))
                pending[std::string(parsed->name)] = *time;
        } else if (isStartEndLine(parsed->message)) {
            pending.erase(std::string(parsed->name));
        }
    }

    std::unordered_set<std::string> troubled;
    for (const auto& p : problems)
        troubled.insert(p.name);

    std::vector<std::string> slow;
    for (const auto& entry : apps) {
        if (!entry.enabled || !troubled.count(entry.name))
            continue;
        auto started = pending.find(entry.name);
        if (started == pending.end())
            continue;
        double elapsed = std::chrono::duration<double>(now - started->second).count();
        if (elapsed > static_cast<double>(expected(entry)))
            slow.push_back(entry.name);
    }
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
    std::string text = utf8Replacing(*bytes);
    auto expected = [&](const AppEntry& entry) {
        std::optional<ServiceConfig> config;
        if (entry.type == EntryType::service)
            config = ServiceConfig::load(entry.path).value();
        return expectedStartSeconds(entry, startRecords(entry.name, startupTimesFile), config);
    };
    return slowStarts(text, apps, problems, now, expected);
}

std::string utf8Replacing(std::string_view bytes) {
    if (isValidUtf8(bytes))
        return std::string(bytes);
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size() + 16);
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t len = (c & 0xE0) == 0xC0   ? 2
                          : (c & 0xF0) == 0xE0 ? 3
                          : (c & 0xF8) == 0xF0 ? 4
                                               : 0;
        // The longest valid prefix decides: a sequence cut short or broken becomes one
        // replacement character and the next byte is examined afresh.
        if (len != 0 && i + len <= n && isValidUtf8(bytes.substr(i, len))) {
            out.append(bytes.substr(i, len));
            i += len;
            continue;
        }
        out += replacement;
        std::size_t skip = 1;
        if (len != 0) {
            // Skip the continuation bytes that belonged to this broken sequence.
            while (skip < len && i + skip < n &&
                   (static_cast<unsigned char>(bytes[i + skip]) & 0xC0) == 0x80)
                ++skip;
        }
        i += skip;
    }
    return out;
}

} // namespace KestruneCore
