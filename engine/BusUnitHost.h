// Start runners as transient user units through the manager's D-Bus interface; calls
// never wait for a unit to start or stop.
#pragma once

#include "engine/ServiceHost.h"
#include "platform/UserManagerBus.h"

#include <memory>
#include <string>

namespace KestruneEngine {

std::unique_ptr<ServiceHost> makeBusUnitHost(std::string enginePath,
                                             std::unique_ptr<KestruneCore::UserManagerBus> bus);

} // namespace KestruneEngine
