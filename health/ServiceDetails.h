// The details text of a service: its latest check, its current problem and what to do
// about it.
#pragma once

#include "core/AppEntry.h"
#include "health/Problems.h"
#include "services/ServiceCheck.h"

#include <array>
#include <optional>
#include <string>

namespace KestruneCore {

// The suggested next step for a failure cause written by the engine.
std::string nextStep(const std::string& forCause);

// The details alert's buttons, in order; the first opens the service log.
inline const std::array<std::string, 2> detailsButtons = {"Open Service Log", "OK"};

// Lines joined by LF: the check (address, result, time) or "No check recorded yet.",
// then the cause (the problem's detail before the check's cause) with its next step,
// or "Status: healthy" when there is a check and no cause.
std::string serviceDetails(const AppEntry& entry, const std::optional<ServiceCheck>& check,
                           const std::optional<Problem>& problem);

// The whole details text of a service as read from the state folder now: its check,
// its current problem and, when it has start records, "Recent starts" with the usual
// and slowest start-up.
std::string serviceDetailsText(const AppEntry& entry);

} // namespace KestruneCore
