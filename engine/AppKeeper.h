// The rules that keep one app running: relaunch it when it quits, give it time to
// come up, and give up after repeated failures.
#pragma once

#include "core/AppEntry.h"
#include "engine/PassContext.h"

namespace KestruneEngine {

// The state-file stem of an app: its identifier or executable name, else its name.
std::string appStem(const KestruneCore::AppEntry& entry);

EntryOutcome applyApp(const KestruneCore::AppEntry& entry, const PassContext& ctx);

} // namespace KestruneEngine
