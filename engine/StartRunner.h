// The start runner (`kestrune-runner`, also `kestrune-engine exec-service`): runs one
// service's start command in its folder with output appended to the service log, waits
// for it and records how it ended in stem.exit, so the engine never has to wait for a
// start command.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace KestruneEngine {

struct RunnerOptions {
    std::string key; // state-file stem
    // Taken from the variables below when not given.
    std::optional<std::string> dir;
    std::optional<std::string> name;
    std::optional<std::string> method;
    std::optional<double> began; // the start's stem.began, copied into stem.exit
    // A process group of an earlier start to see off before the start command runs:
    // SIGTERM has been sent; after a few seconds it gets SIGKILL.
    int replacesGroup = 0;
};

// Where a runner started as a unit finds its service's folder, name and method.
inline constexpr const char* runnerDirVariable = "KESTRUNE_SERVICE_DIR";
inline constexpr const char* runnerNameVariable = "KESTRUNE_SERVICE_NAME";
inline constexpr const char* runnerMethodVariable = "KESTRUNE_SERVICE_METHOD";

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

// The runner's options by name ("--key", "--dir", "--name", "--method", "--began",
// "--replaces"; HOME already set): runs it, or returns nullopt when "--key" is missing.
std::optional<int> runStartRunner(const std::map<std::string, std::string>& options);

// The runner's command line in front of its options: the small runner program installed
// with `enginePath` (in the package's libexec folder, or beside it in a build tree),
// else `enginePath exec-service`.
std::vector<std::string> runnerCommand(const std::string& enginePath);

} // namespace KestruneEngine
