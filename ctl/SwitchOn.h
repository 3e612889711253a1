// What switching an entry on does besides saving the switch: the engine forgets the
// entry's back-off, and the entry is started now (an app launched, the agent asked
// to check a service).
#pragma once

#include "core/AppEntry.h"
#include "ctl/Context.h"

namespace KestruneCtl {

// Prints what it did; false (with a message on the error stream) when an app could
// not be launched. The entry stays on either way and the engine keeps trying.
bool switchedOn(const Context& ctx, const KestruneCore::AppEntry& entry);

} // namespace KestruneCtl
