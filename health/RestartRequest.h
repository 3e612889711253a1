// "Restart Now": the user asks the engine to stop a service whole and start it at
// once. The request is a file the engine's folder watch sees, so it works from the
// tray program and kestrunectl alike, whoever runs the engine.
#pragma once

#include "core/AppEntry.h"
#include "core/Paths.h"

#include <string>
#include <string_view>

namespace KestruneCore {

// stem + this, in the state folder; its content is the epoch of the request.
inline constexpr std::string_view restartRequestSuffix = ".restart";

enum class RestartRefusal { none, notAService, switchedOff, masterOff, cannotStart, unwritable };

// Why a restart of `entry` would be refused, given the master switch.
RestartRefusal restartRefusal(const AppEntry& entry, bool masterOn);

// The refusal in words, naming the entry ("" for none).
std::string restartRefusalText(const AppEntry& entry, RestartRefusal refusal);

// Writes the request file for `entry` (atomically) unless refused. The engine's next
// pass, which the file wakes, stops what the last start left running and starts anew.
RestartRefusal requestRestart(const AppEntry& entry, bool masterOn,
                              const std::string& stateDir = stateFolder());

} // namespace KestruneCore
