// `kestrune-engine serve`: sleeps in one epoll wait until something changes or falls
// due, then runs a pass. Wakes on file events in the data and state folders
// (inotify), SIGUSR1, the exit of watched processes (pidfd) and the earliest due
// time; never polls.
#pragma once

#include "engine/EnginePass.h"

#include <string_view>

namespace KestruneEngine {

// Runs until SIGTERM or SIGINT; returns the exit status.
int serve(const PassEnvironment& env);

// Whether a file event for `name` in the data folder (inData) or the state folder
// should wake a pass. The engine's own writes there never do, so a pass cannot wake
// the next one.
bool wakesPass(bool inData, std::string_view name);

// Events closer together than this are coalesced into one pass.
inline constexpr int coalesceMilliseconds = 50;

} // namespace KestruneEngine
