// The start runner (`kestrune-engine exec-service`): runs one service's start command
// in its folder with output appended to the service log, waits for it and records
// how it ended in stem.exit, so the engine never has to wait for a start command.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace KestruneEngine {

struct RunnerOptions {
    std::string key; // state-file stem
    // Looked up in the watch list by key when not given.
    std::optional<std::string> dir;
    std::optional<std::string> name;
    std::optional<std::string> method;
};

// The argument vector of a start method in `dir`: launch.sh → dir/scripts/launch.sh;
// "<runner> <script>" → <runner found in PATH> run <script>. Empty when it cannot
// be run (unknown method, runner not installed).
std::vector<std::string> startCommand(const std::string& dir, const std::string& methodLabel);

// Runs the start command and returns its exit status (128 + signal when killed).
int runStartRunner(const RunnerOptions& options);

} // namespace KestruneEngine
