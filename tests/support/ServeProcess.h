// `kestrune-engine serve` as tests and benchmarks start it: its own home, this
// process's environment, no shell.
#pragma once

#include <string>
#include <sys/types.h>

namespace KestruneTest {

// Starts `engine serve --home home`; its pid, or -1 when it could not be started.
pid_t spawnServe(const std::string& engine, const std::string& home);

} // namespace KestruneTest
