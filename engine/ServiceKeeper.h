// The rules that keep one service alive: check it when due, start it when it is down,
// restart it by its policy, back off when starts fail and give up after the limit.
#pragma once

#include "core/AppEntry.h"
#include "engine/EntryState.h"
#include "engine/PassContext.h"
#include "services/ServiceConfig.h"

#include <optional>

namespace KestruneEngine {

// What is known about a service before its check: read in watch-list order, then all
// checks of the pass run at once, then the rules are applied in order again.
struct ServicePlan {
    KestruneCore::AppEntry entry;
    EntryState state;
    std::optional<KestruneCore::ServiceConfig> config; // declares something to check
    bool toggled = false;
    bool needsCheck = false;
    std::optional<double> lastCheck; // when it was last checked
    bool restart = false;            // the user asked for a restart now (stem.restart)
};

ServicePlan planService(const KestruneCore::AppEntry& entry, const std::string& stem,
                        const PassContext& ctx);

EntryOutcome applyService(const ServicePlan& plan, const std::optional<HealthOutcome>& check,
                          const PassContext& ctx);

} // namespace KestruneEngine
