// Parsing of kestrunectl's arguments into one command with its options. Nothing
// here touches a file; every mistake becomes a one-line message.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace KestruneCtl {

enum class AgentBackendChoice { automatic, launchd, systemd, none };

struct Invocation {
    std::optional<std::string> home; // --home; the process's HOME otherwise
    AgentBackendChoice backend = AgentBackendChoice::automatic;
    bool help = false;
    bool version = false; // --version

    // "status", "add-app", "add-service", "remove", "on", "off", "master", "details",
    // "restart", "log", "paths"; empty only together with help or version.
    std::string command;
    std::vector<std::string> arguments;

    bool json = false;    // status --json, paths --json
    bool noProbe = false; // status --no-probe
    long lineCount = 20;  // log -n

    bool operator==(const Invocation&) const = default;
};

struct UsageError {
    std::string message;
};

// `args` without the program name. Global options may stand before or after the
// command; "--" ends the options, so paths that begin with "-" can be given.
std::variant<Invocation, UsageError> parseCommandLine(const std::vector<std::string>& args);

// The text --help prints.
std::string usageText();
// The line --version prints.
std::string versionText();

} // namespace KestruneCtl
