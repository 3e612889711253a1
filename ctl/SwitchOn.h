// What switching an entry on does besides saving the switch: the engine forgets the
// entry's back-off, and the entry is started now (an app launched, the agent asked
// to check a service).
#pragma once

#include "core/AppEntry.h"
#include "ctl/Context.h"

namespace KestruneCtl {

void switchedOn(const Context& ctx, const KestruneCore::AppEntry& entry);

} // namespace KestruneCtl
