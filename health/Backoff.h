// The engine's retry back-off files in the state folder, the key that names an
// entry's state files, and the decisions made when the user switches an entry on.
#pragma once

#include "core/ActivityLog.h"
#include "core/AppEntry.h"
#include "core/EpochText.h"
#include "core/Paths.h"
#include "core/SanitizedKey.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace KestruneCore {

enum class SwitchOnAction { none, launchApp, checkNow };

// The current time in whole seconds since 1970.
std::int64_t epochNow();

// Since when the engine has been trying to start a service (its ".trying" file).
std::optional<Clock::time_point> tryingSince(const std::string& name,
                                             const std::string& stateDir = stateFolder());

// key → scheduled time of every "svc_*.next" file that is due at `now` and was not
// already kicked for exactly that time.
std::map<std::string, std::int64_t>
dueRetries(const std::string& stateDir = stateFolder(), std::int64_t now = epochNow(),
           const std::map<std::string, std::int64_t>& kicked = {});

// The stem of an entry's state files: "svc_" + sanitised name for a service; the
// sanitised identifier (or executable name) for an app; none when unreadable.
std::optional<std::string> stateKey(const AppEntry& entry);

// Clears an entry's back-off state and problem lines when the user switches it on.
// The record of the runner the engine started (stem.pid, stem.began) stays.
void resetBackoff(const AppEntry& entry, const std::string& stateDir = stateFolder());

SwitchOnAction switchOnAction(const AppEntry& entry, bool masterOn, bool running);

// A start counts as under way for 180 seconds unless it is healthy already.
bool isStillStarting(Clock::time_point since, Clock::time_point now = Clock::now(),
                     bool healthy = false);

} // namespace KestruneCore
