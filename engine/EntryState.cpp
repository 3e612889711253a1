#include "engine/EntryState.h"

#include "core/EpochText.h"
#include "core/FileIO.h"
#include "engine/StateCache.h"
#include "health/Backoff.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace KestruneEngine {

namespace {

std::string_view trimmed(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Seconds as secondsText writes them: whole seconds, then optionally a point and
// decimals. Read without the floating-point parser, which would bring the maths
// library into every start runner for this one use.
std::optional<double> parseSeconds(std::string_view s) {
    s = trimmed(s);
    auto point = s.find('.');
    auto whole = KestruneCore::epochValue(s.substr(0, point));
    if (!whole || point == 0)
        return std::nullopt;
    double fraction = 0;
    if (point != std::string_view::npos) {
        auto digits = s.substr(point + 1);
        if (digits.empty())
            return std::nullopt;
        unsigned long long value = 0, scale = 1;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
            if (scale < 1000000000000000000ull) // digits past the 18th change nothing
                value = value * 10 + static_cast<unsigned>(c - '0'), scale *= 10;
        }
        fraction = static_cast<double>(value) / static_cast<double>(scale);
    }
    bool negative = !s.empty() && s.front() == '-';
    return static_cast<double>(*whole) + (negative ? -fraction : fraction);
}

} // namespace

EntryState::EntryState(std::string stateDir, std::string stem)
    : dir_(std::move(stateDir)), stem_(std::move(stem)) {}

std::string EntryState::path(std::string_view suffix) const {
    return dir_ + "/" + stem_ + std::string(suffix);
}

bool EntryState::exists(std::string_view suffix) const {
    auto file = path(suffix);
    if (auto* cache = StateCache::active(); cache && cache->covers(file))
        return cache->read(file).has_value();
    return KestruneCore::fileExists(file);
}

std::optional<std::string> EntryState::text(std::string_view suffix) const {
    auto file = path(suffix);
    if (auto* cache = StateCache::active(); cache && cache->covers(file))
        return cache->read(file);
    return KestruneCore::readFile(file, 64 * 1024);
}

void EntryState::write(std::string_view suffix, std::string_view content) const {
    auto file = path(suffix);
    if (auto* cache = StateCache::active(); cache && cache->covers(file))
        cache->write(file, content);
    else
        KestruneCore::writeFileAtomically(file, content);
}

void EntryState::rewrite(std::string_view suffix, std::string_view content) const {
    auto file = path(suffix);
    if (auto* cache = StateCache::active(); cache && cache->covers(file))
        cache->write(file, content, true);
    else
        KestruneCore::rewriteFileAtomically(file, content);
}

void EntryState::remove(std::string_view suffix) const {
    auto file = path(suffix);
    if (auto* cache = StateCache::active(); cache && cache->covers(file))
        cache->remove(file);
    else
        ::unlink(file.c_str());
}

std::optional<long long> EntryState::whole(std::string_view suffix) const {
    auto file = path(suffix);
    std::optional<std::int64_t> value;
    if (auto* cache = StateCache::active(); cache && cache->covers(file)) {
        if (auto content = cache->read(file))
            value = KestruneCore::epochValue(*content);
    } else {
        value = KestruneCore::epoch(file);
    }
    if (!value)
        return std::nullopt;
    return static_cast<long long>(*value);
}

void EntryState::writeWhole(std::string_view suffix, long long value) const {
    write(suffix, std::to_string(value) + "\n");
}

int EntryState::count(std::string_view suffix) const {
    auto value = whole(suffix);
    if (!value || *value < 0)
        return 0;
    return *value > 1000000 ? 1000000 : static_cast<int>(*value);
}

std::optional<double> EntryState::seconds(std::string_view suffix) const {
    auto content = text(suffix);
    if (!content)
        return std::nullopt;
    return parseSeconds(*content);
}

void EntryState::writeSeconds(std::string_view suffix, double value) const {
    write(suffix, secondsText(value) + "\n");
}

std::optional<ExitRecord> EntryState::exitRecord() const {
    auto content = text(".exit");
    if (!content)
        return std::nullopt;
    return parseExitRecord(*content);
}

bool ExitRecord::belongsTo(double start) const {
    return !began || std::fabs(*began - start) < 0.002;
}

std::string exitRecordText(const ExitRecord& record) {
    std::string text = std::to_string(record.status) + "\t" + secondsText(record.time);
    if (record.began || !record.cause.empty())
        text += "\t" + (record.began ? secondsText(*record.began) : std::string());
    if (!record.cause.empty())
        text += "\t" + KestruneCore::singleLineField(record.cause);
    return text + "\n";
}

std::optional<ExitRecord> parseExitRecord(std::string_view text) {
    auto fields = KestruneCore::splitFields(trimmed(text));
    if (fields.size() < 2)
        return std::nullopt;
    int status = 0;
    const auto& s = fields[0];
    auto r = std::from_chars(s.data(), s.data() + s.size(), status);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size())
        return std::nullopt;
    auto time = parseSeconds(fields[1]);
    if (!time)
        return std::nullopt;
    ExitRecord record{status, *time, std::nullopt};
    if (fields.size() > 2)
        record.began = parseSeconds(fields[2]);
    if (fields.size() > 3)
        record.cause = fields[3];
    return record;
}

std::string secondsText(double seconds) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", seconds);
    return buf;
}

} // namespace KestruneEngine
