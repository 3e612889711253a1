// The one-line status under a service's name in the Services list.
#pragma once

#include "core/ActivityLog.h"
#include "core/AppEntry.h"
#include "health/Problems.h"
#include "health/StartRecords.h"
#include "services/ServiceConfig.h"

#include <optional>
#include <string>
#include <vector>

namespace KestruneCore {

// A watched service: down and why, retrying since when, starting, or healthy and where.
// `problems` are all current problems; `trying` is when the engine began retrying it;
// `startup` is its typical start-up, of which the median is shown; `observed` is the
// program's own last probe. Entries switched off, or any entry while the master switch
// is off, get unwatchedSubtitle.
std::string serviceSubtitle(const AppEntry& entry, const std::optional<ServiceConfig>& config,
                            const std::vector<Problem>& problems, bool masterOn,
                            std::optional<Clock::time_point> trying, Clock::time_point now,
                            std::optional<TypicalStartup> startup, std::optional<bool> observed);

// A service the engine is not keeping alive, judged by the program's own probe.
std::string unwatchedSubtitle(const AppEntry& entry, const std::optional<ServiceConfig>& config,
                              std::optional<bool> observed);

// A past moment as a short phrase: the clock time on the same day, "yesterday " and
// the clock time, the weekday within six days, else day and month; whole hours show
// without minutes. `timeZone` (an Olson name) and `locale` (an ICU locale name)
// default to the user's when empty.
std::string sincePhrase(Clock::time_point date, Clock::time_point now,
                        const std::string& timeZone = {}, const std::string& locale = {});

} // namespace KestruneCore
