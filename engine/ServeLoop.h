// `kestrune-engine serve`: sleeps in one epoll wait until something changes or falls
// due, then runs a pass. Wakes on file events in the data and state folders
// (inotify), SIGUSR1, the exit of watched processes (pidfd), check results (eventfd)
// and the earliest due time; never polls. Checks of this computer's plain http://
// addresses run on the loop's own sockets, others on threads beside it: a pass never
// waits for one, and a service that hangs delays only its own checks.
#pragma once

#include "engine/EnginePass.h"

#include <cstddef>
#include <string_view>

namespace KestruneEngine {

// Runs until SIGTERM or SIGINT; returns the exit status. A check may still run in its
// thread then: the caller ends the process without unwinding (see EngineCommand).
int serve(const PassEnvironment& env);

// Whether a file event for `name` in the data folder (inData) or the state folder
// should wake a pass. The engine's own writes there never do, so a pass cannot wake
// the next one.
bool wakesPass(bool inData, std::string_view name);

// File events closer together than this are coalesced into one pass; process exits
// and check results are not.
inline constexpr int coalesceMilliseconds = 50;
// A failed check's result is applied at once; healthy ones once every check under
// way has reported, or this long after the first of them arrived, whichever is first.
inline constexpr int resultGatherMilliseconds = 20;
// A check that waits this long for a thread (all busy with hung services) gets one.
inline constexpr int checkPatienceMilliseconds = 200;
inline constexpr std::size_t baseCheckThreads = 2;
inline constexpr std::size_t maxCheckThreads = 64;
// A runner's own exit record is written just before it ends; one older than this
// when its end is seen belongs to an earlier end.
inline constexpr double runnerExitSlackSeconds = 2.0;

} // namespace KestruneEngine
