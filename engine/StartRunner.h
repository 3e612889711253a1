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
    std::optional<double> began; // the start's stem.began, copied into stem.exit
    // A process group of an earlier start to see off before the start command runs:
    // SIGTERM has been sent; after a few seconds it gets SIGKILL.
    int replacesGroup = 0;
};

// The end marker every start method logs and gives as a failed start's cause:
// "launch.sh exited with status N", and for a package script its command in
// brackets: "launch.sh exited with status 5 (npm run dev)". Readers key on the words
// "launch.sh exited".
std::string startEndMessage(const std::string& methodLabel, int status);

// Whether the activity log already holds an end marker for the entry's latest start
// (one after its last "ACTION:" line). A runner logs its end before it writes stem.exit,
// so one killed in between (its whole unit killed at once) has said it ended already.
bool endMarkerLogged(const std::string& name);

// The argument vector of a start method in `dir`: launch.sh → dir/scripts/launch.sh;
// "<runner> <script>" → <runner found in PATH> run <script>. Empty when it cannot
// be run (unknown method, runner not installed).
std::vector<std::string> startCommand(const std::string& dir, const std::string& methodLabel);

// Runs the start command and returns its exit status (128 + signal when killed).
int runStartRunner(const RunnerOptions& options);

} // namespace KestruneEngine
