// The activity log shared with the keep-alive engine: one line per event,
// "yyyy-MM-dd HH:mm:ss [name] message".
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace KestruneCore {

using Clock = std::chrono::system_clock;

// logs folder + "/kestrune.log".
std::string logPath();

// "file://" URL of logPath, percent-encoded.
std::string openLogURL();

// Percent-encodes every byte but ASCII letters, digits, "-", ".", "_", "~" and the
// characters in `alsoSafe`.
std::string percentEncoded(std::string_view text, std::string_view alsoSafe = "");

// "file://" URL of any absolute path, percent-encoded.
std::string fileURL(const std::string& path);

// Local time as "yyyy-MM-dd HH:mm:ss" with ASCII digits, whatever the locale.
std::string timestamp(Clock::time_point date);

// Parses a time stamp of that exact shape as local time.
std::optional<Clock::time_point> parseTimestamp(std::string_view text);

// The line `log` appends (including its LF). A line break inside the name or the
// message would split the record in two, so each becomes a blank.
std::string logLine(const std::string& name, const std::string& message,
                    Clock::time_point date = Clock::now());

// Appends one line with one write on an O_APPEND descriptor, creating the file but
// never the Logs folder. Failures are silent.
void log(const std::string& name, const std::string& message);
// The same for an explicit log file (the engine and tests pass their own).
void logTo(const std::string& path, const std::string& name, const std::string& message);

} // namespace KestruneCore
