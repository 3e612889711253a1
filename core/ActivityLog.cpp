#include "core/ActivityLog.h"

#include "core/FileIO.h"
#include "core/Paths.h"

#include <cerrno>
#include <charconv>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace KestruneCore {

std::string logPath() {
    return logsFolder() + "/kestrune.log";
}

std::string percentEncoded(std::string_view text, std::string_view alsoSafe) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' ||
                     alsoSafe.find(static_cast<char>(c)) != std::string_view::npos;
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string fileURL(const std::string& path) {
    return "file://" + percentEncoded(path, "/");
}

std::string openLogURL() {
    return fileURL(logPath());
}

std::string timestamp(Clock::time_point date) {
    std::time_t t = Clock::to_time_t(date);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    // Numeric conversions of strftime do not depend on the locale.
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(buf, n);
}

std::optional<Clock::time_point> parseTimestamp(std::string_view s) {
    if (s.size() != 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' ||
        s[16] != ':')
        return std::nullopt;
    auto num = [&](std::size_t at, std::size_t len, int& out) {
        for (std::size_t i = at; i < at + len; ++i)
            if (s[i] < '0' || s[i] > '9')
                return false;
        auto r = std::from_chars(s.data() + at, s.data() + at + len, out);
        return r.ec == std::errc();
    };
    std::tm tm{};
    if (!num(0, 4, tm.tm_year) || !num(5, 2, tm.tm_mon) || !num(8, 2, tm.tm_mday) ||
        !num(11, 2, tm.tm_hour) || !num(14, 2, tm.tm_min) || !num(17, 2, tm.tm_sec))
        return std::nullopt;
    // The clock holds about 292 years either side of 1970; a stamp outside that is
    // damaged, not a time to convert.
    if (tm.tm_year < 1700 || tm.tm_year > 2200)
        return std::nullopt;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1))
        return std::nullopt;
    return Clock::from_time_t(t);
}

std::string logLine(const std::string& name, const std::string& message, Clock::time_point date) {
    auto oneLine = [](std::string s) {
        for (auto& c : s)
            if (c == '\n' || c == '\r')
                c = ' ';
        return s;
    };
    return timestamp(date) + " [" + oneLine(name) + "] " + oneLine(message) + "\n";
}

void logTo(const std::string& path, const std::string& name, const std::string& message) {
    // One write keeps the line whole next to the engine's lines.
    appendToFile(path, logLine(name, message));
}

void log(const std::string& name, const std::string& message) {
    logTo(logPath(), name, message);
}

} // namespace KestruneCore
