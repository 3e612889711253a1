// How the engine's children ended. One place reaps them all, so that the serve loop
// (start runners) and the app rules (opened apps, which stay the engine's children
// while it serves) each find the status of the ones they care about.
#pragma once

#include <optional>

namespace KestruneEngine {

// Reaps every child that has ended and keeps its wait status.
void reapChildren();

// The wait status of `pid` once it has ended (reaping first), taken out of the store;
// none while it runs or when it is not our child.
std::optional<int> takeChildStatus(int pid);

// A child just started with this pid and not reaped since: a status kept for the pid
// belongs to an earlier process that nobody asked about.
void forgetChild(int pid);

} // namespace KestruneEngine
