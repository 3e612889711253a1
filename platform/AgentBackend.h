// The per-user agent that runs the keep-alive engine, reached through launchctl-style
// argument lists ("print", "bootstrap", "kickstart", "bootout" with gui/UID targets).
// Callers always speak in those lists; a backend decides what actually runs: launchd
// runs /bin/launchctl with them unchanged, systemd maps them onto the engine's user
// unit, none answers -1 (could not start).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

// launchd label of the agent; also the user-defaults domain name.
inline constexpr std::string_view label = "org.velto.kestrune";
inline constexpr std::string_view formerName = "Tolvane";
inline constexpr std::string_view formerLabel = "org.velto.tolvane";
// The user unit the systemd backend drives.
inline constexpr std::string_view engineUnit = "kestrune-engine.service";

inline constexpr const char* launchctlPath = "/bin/launchctl";

// "gui/" + the real user id in decimal.
std::string domainTarget();
// domainTarget() + "/" + label
std::string serviceTarget();
// "~/Library/LaunchAgents/" + label + ".plist", expanded.
std::string agentPlistPath();

// Runs argv (argv[0] an absolute program path) and returns its exit status, or -1
// when it could not be started. Tests replace it to record what would run.
using CommandRunner = std::function<int(const std::vector<std::string>& argv)>;

// The default runner: no shell, standard input on the null device, output dropped;
// waits for the end. A child killed by a signal answers 128 + the signal number.
int runQuietly(const std::vector<std::string>& argv);

enum class AgentBackendKind { launchd, systemd, none };

// "launchd", "systemd", "none".
std::string_view rawValue(AgentBackendKind kind);

class AgentBackend {
public:
    // A backend of a known kind. `systemctl` is the program the systemd backend runs
    // (normally found through PATH; empty makes every call answer -1).
    AgentBackend(AgentBackendKind kind, CommandRunner runner = runQuietly,
                 std::string systemctl = {});

    // Picks a backend by name: "auto" takes launchd where /bin/launchctl exists, else
    // systemd when `systemctl --user` answers, else none; "launchd", "systemd" and
    // "none" take that one. Any other name gives none.
    static std::optional<AgentBackend> named(std::string_view name,
                                             CommandRunner runner = runQuietly);

    AgentBackendKind kind() const { return kind_; }

    // What the backend runs for one launchctl argument list, or none when it has
    // nothing to run (the call then answers -1).
    std::optional<std::vector<std::string>> command(const std::vector<std::string>& args) const;

    // Runs the command for `args` and returns its exit status; -1 when there is
    // nothing to run or it could not be started.
    int lc(const std::vector<std::string>& args) const;

private:
    AgentBackendKind kind_;
    CommandRunner runner_;
    std::string systemctl_;
};

// The process-wide backend, chosen once on first use from the environment variable
// KESTRUNE_AGENT_BACKEND (default "auto"; an unknown name means none).
const AgentBackend& agentBackend();

// lc through the process-wide backend.
int lc(const std::vector<std::string>& args);

} // namespace KestruneCore
