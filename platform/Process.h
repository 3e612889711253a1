// Running other programs. A program is always started from an argument vector, never
// through a shell, so nothing from a file or the user is ever parsed as a command.
#pragma once

#include "core/OwnedFd.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace KestruneCore {

// Variables set (or replaced) in the child's environment on top of ours.
using EnvironmentAdditions = std::vector<std::pair<std::string, std::string>>;

struct ProcessOptions {
    std::string workingDirectory;     // empty: ours
    EnvironmentAdditions environment; // added to a copy of ours
    bool captureStderr = false;       // merged into `output`; otherwise discarded
    // When set, standard output and error are appended to this file (created when
    // missing) instead of being captured.
    std::string appendOutputTo;
    // The child (and everything in its process group) is killed after this long.
    std::optional<std::chrono::milliseconds> timeLimit;
    // Output beyond this many bytes is read and dropped, so a chatty child cannot
    // exhaust our memory.
    std::size_t maxOutputBytes = 16u * 1024u * 1024u;
};

struct ProcessResult {
    bool started = false;
    // The exit code; 128 + the signal number when a signal ended the child; -1 when
    // it never started.
    int exitStatus = -1;
    std::string output;
    bool timedOut = false;
    std::string error; // why it could not start (strerror text), else empty

    bool succeeded() const { return started && !timedOut && exitStatus == 0; }
};

// Runs argv[0] (looked up through PATH when it holds no "/") with standard input from
// /dev/null and waits for it. Never throws.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// What callers that run programs hold, so tests can put a fake in its place.
using ProcessRunner =
    std::function<ProcessResult(const std::vector<std::string>&, const ProcessOptions&)>;

// A runner that calls runProcess.
ProcessRunner realProcessRunner();

struct SpawnResult {
    bool ok = false;
    pid_t pid = -1;    // the child's id, which is also its session and process group id
    std::string error; // strerror text when it could not start

    explicit operator bool() const { return ok; }
};

// Starts a program in its own session (so it outlives us and can be stopped as one
// process group) and does not wait for it; no zombie is left behind. Standard input
// is /dev/null; standard output and error go to /dev/null or are appended to
// `appendOutputTo`. Success means the program was executed.
//
// With a gate, the program is held back just before it is executed until the gate is
// opened, for at most its bound: time to move it somewhere before it can start
// anything of its own. Success then means everything up to that point was done; a
// program that cannot be executed after all exits with status 127.
class StartGate {
public:
    explicit StartGate(std::chrono::milliseconds bound);
    ~StartGate(); // opens it
    StartGate(const StartGate&) = delete;
    StartGate& operator=(const StartGate&) = delete;

    void open();
    // What the held-back program waits on (-1 when no pipe could be made: no wait).
    int waitFd() const { return wait_.get(); }
    std::chrono::milliseconds bound() const { return bound_; }

private:
    OwnedFd wait_, release_;
    std::chrono::milliseconds bound_;
};
SpawnResult spawnDetached(const std::vector<std::string>& argv,
                          const EnvironmentAdditions& environment = {},
                          const std::string& workingDirectory = {},
                          const std::string& appendOutputTo = {}, StartGate* gate = nullptr);

// The full path of a program name as exec would find it through PATH (a name with a
// "/" is returned as it is when it is an executable file), or none.
std::optional<std::string> findInPath(const std::string& program);

} // namespace KestruneCore
