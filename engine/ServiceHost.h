// Where start runners live and how they are stopped: each in its own transient user
// unit under a systemd user manager, or in a new session (process group) elsewhere.
// Either way everything a start command leaves behind can be stopped as one.
#pragma once

#include "platform/AgentBackend.h"
#include "platform/Process.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace KestruneEngine {

using KestruneCore::CommandRunner;

// Everything the start runner needs; passed as separate arguments, never as one
// command line.
struct StartRequest {
    std::string stem;   // state-file stem of the service
    std::string name;   // the entry's name
    std::string dir;    // the service folder
    std::string method; // the start method's label
    std::string home;   // the home folder the engine works in
    double began = 0;   // stem.began of this start; the runner tags its end with it
    // A live runner of an earlier start: the host stops it whole before the start
    // command runs, without making the engine wait for it.
    std::string replaces;
};

struct StartOutcome {
    std::string handle; // what goes into stem.pid
    std::string error;  // empty on success
    bool ok() const { return error.empty(); }
};

class ServiceHost {
public:
    virtual ~ServiceHost() = default;
    virtual StartOutcome start(const StartRequest& request) = 0;
    // Whether the runner or anything it left behind still runs.
    virtual bool isAlive(const std::string& stem, const std::string& handle) = 0;
    // Stops it whole: politely, then by force after a few seconds.
    virtual void stop(const std::string& stem, const std::string& handle) = 0;
    // The process whose end is the end of the start runner (none when there is none
    // to watch): serve watches it so that a runner killed outright counts as ended.
    virtual std::optional<int> runnerPid(const std::string& stem, const std::string& handle) {
        (void)stem, (void)handle;
        return std::nullopt;
    }
    // A descriptor serve polls for this host's news (-1: none), and what it calls when
    // that is readable and before it sleeps. True when runners may have begun or ended
    // since, so that runnerPid is worth asking again.
    virtual int eventFd() const { return -1; }
    // Gives an app just opened (its process `pid`, held back by `gate` before it runs)
    // a home of its own, so that stopping or restarting the engine never ends it or
    // anything it starts. The app goes on when the gate is opened or let go.
    virtual void adoptApp(const std::string& key, int pid,
                          std::shared_ptr<KestruneCore::StartGate> gate) {
        (void)key, (void)pid, (void)gate;
    }
    virtual bool dispatch() { return false; }
};

// The environment variable that marks every process a start runner begins, so that
// a process group is only ever signalled when it is really ours.
inline constexpr const char* serviceMarkerVariable = "KESTRUNE_SERVICE_KEY";
inline constexpr int stopGraceSeconds = 5;
// How long an app just opened waits for its scope before it starts anyway.
inline constexpr std::chrono::milliseconds appScopeWait{5000};

// Runners are the start runner that comes with `enginePath` (default: this program;
// see runnerCommand), in a new session; stem.pid holds "pgid:starttime".
std::unique_ptr<ServiceHost> makeProcessGroupHost(std::string enginePath = {});
std::unique_ptr<ServiceHost> makeSystemdUnitHost(std::string enginePath, CommandRunner runner);

// The D-Bus unit host when the user manager answers there; `systemctl` and
// `systemd-run` children only when it answers but no bus is reachable; else the
// process-group host. KESTRUNE_SERVICE_HOST=group or =systemd forces one.
std::unique_ptr<ServiceHost> chooseServiceHost(std::string enginePath, CommandRunner runner);

// A failed start's cause when the runner could not be started at all:
// "could not start: " + the system's or the manager's words.
std::string startRefusedCause(const std::string& error);

// The unit name of a service's runner: "kestrune-svc-" + stem + ".service".
std::string serviceUnitName(const std::string& stem);

// The default CommandRunner: argv[0] found through PATH, output discarded.
int runCommand(const std::vector<std::string>& argv);

// This program's own absolute path.
std::string currentExecutablePath();

// Whether the process exists and has not ended (an ended one waits to be reaped).
bool processRuns(int pid);

} // namespace KestruneEngine
