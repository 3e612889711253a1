// Start runners as transient user units through the manager's D-Bus interface; calls
// never wait for a unit to start or stop, nor for the manager to answer: what the
// host knows of its units (state, main process, a start under way) it keeps from the
// manager's signals and the replies to its own calls.
#pragma once

#include "engine/ServiceHost.h"
#include "platform/UserManagerBus.h"

#include <memory>
#include <string>

namespace KestruneEngine {

std::unique_ptr<ServiceHost> makeBusUnitHost(std::string enginePath,
                                             std::unique_ptr<KestruneCore::UserManagerBus> bus);

} // namespace KestruneEngine
