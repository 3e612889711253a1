// Starts that take clearly longer than usual, learnt from the start and end lines
// that the program and the engine write to the shared activity log.
#pragma once

#include "core/ActivityLog.h"
#include "core/AppEntry.h"
#include "health/Problems.h"
#include "health/StartRecords.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

// How much of the log's end is read: starts that matter are recent.
inline constexpr std::size_t slowStartLogTailBytes = 262144;

// A message (the text after "] ") that begins a start of its entry.
bool isStartLine(std::string_view message);
// A message that ends one, successfully or not.
bool isStartEndLine(std::string_view message);

using ExpectedStartSeconds = std::function<std::int64_t(const AppEntry&)>;

// Names of switched-on entries with a current problem whose latest start marker in
// `log` has no end marker and is more than expected(entry) seconds old, in watch-list
// order.
std::vector<std::string> slowStarts(std::string_view log, const std::vector<AppEntry>& apps,
                                    const std::vector<Problem>& problems, Clock::time_point now,
                                    const ExpectedStartSeconds& expected);

// The same from the last 256 KiB of the activity log, with expectedStartSeconds of each
// candidate's start records and folder configuration. No problems: the log is not read.
std::vector<std::string> slowStarts(const std::vector<AppEntry>& apps,
                                    const std::vector<Problem>& problems,
                                    Clock::time_point now = Clock::now(),
                                    const std::string& logFile = logPath(),
                                    const std::string& startupTimesFile = startupTimesPath());

// Bytes as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string utf8Replacing(std::string_view bytes);

} // namespace KestruneCore
