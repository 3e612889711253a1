// What every kestrunectl command works with: its output streams and the way to reach
// the keep-alive agent.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace KestruneCtl {

enum ExitStatus : int { exitOk = 0, exitFailed = 1, exitUsage = 2 };

struct Context {
    std::ostream& out;
    std::ostream& err;
    // Runs one agent request (launchctl words: "print", "kickstart", ... and the
    // service target) and gives its exit status; -1 when it could not be made.
    std::function<int(const std::vector<std::string>&)> lc;
    // The agent's service target, the second word of "print" and "kickstart".
    std::string serviceTarget;
    // Whether the keep-alive engine runs ("Agent: loaded").
    std::function<bool()> agentLoaded;

    // Writes "kestrunectl: " + message as one line to err and gives `status`.
    int fail(const std::string& message, int status = exitFailed) const;
};

} // namespace KestruneCtl
