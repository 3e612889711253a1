// The rules that keep one app running: relaunch it when it quits, give it time to
// come up, and give up after repeated failures.
#pragma once

#include "core/AppEntry.h"
#include "engine/PassContext.h"

namespace KestruneEngine {

// The state-file stem of an app: its identifier or executable name, else its name.
std::string appStem(const KestruneCore::AppEntry& entry);

// Where an opened app's output goes: stem.output in the state folder, begun anew at
// each open.
std::string appOutputPath(const std::string& stem);

// Why an app that ended early failed, from its wait status and what it printed:
// "exited with status 1 (cannot open display)", "killed by signal 6".
std::string appEndReason(int waitStatus, const std::string& output);

EntryOutcome applyApp(const KestruneCore::AppEntry& entry, const PassContext& ctx);

} // namespace KestruneEngine
