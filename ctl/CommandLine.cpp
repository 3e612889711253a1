#include "ctl/CommandLine.h"

#include "core/BuildInfo.h"

#include <charconv>
#include <map>

namespace KestruneCtl {

namespace {

struct CommandShape {
    std::size_t minArgs;
    std::size_t maxArgs;
    const char* argumentName; // for "missing ..." messages
};

const std::map<std::string, CommandShape>& commands() {
    static const std::map<std::string, CommandShape> table = {
        {"status", {0, 0, ""}},
        {"add-app", {1, SIZE_MAX, "PATH"}},
        {"add-service", {1, 1, "DIR"}},
        {"remove", {1, 1, "NAME|PATH"}},
        {"on", {1, 1, "NAME|PATH"}},
        {"off", {1, 1, "NAME|PATH"}},
        {"master", {1, 1, "on|off"}},
        {"details", {1, 1, "NAME"}},
        {"restart", {1, 1, "NAME"}},
        {"log", {0, 0, ""}},
        {"paths", {0, 0, ""}},
    };
    return table;
}

std::optional<AgentBackendChoice> backendChoice(const std::string& word) {
    if (word == "auto")
        return AgentBackendChoice::automatic;
    if (word == "launchd")
        return AgentBackendChoice::launchd;
    if (word == "systemd")
        return AgentBackendChoice::systemd;
    if (word == "none")
        return AgentBackendChoice::none;
    return std::nullopt;
}

std::optional<long> lineCount(const std::string& text) {
    long value = 0;
    if (text.empty() || text[0] == '+' || text[0] == '-')
        return std::nullopt;
    auto end = text.data() + text.size();
    auto r = std::from_chars(text.data(), end, value);
    if (r.ec != std::errc() || r.ptr != end)
        return std::nullopt;
    return value;
}

} // namespace

std::variant<Invocation, UsageError> parseCommandLine(const std::vector<std::string>& args) {
    Invocation inv;
    std::vector<std::string> words;
    bool optionsEnded = false;
    std::vector<std::string> commandOptions; // checked once the command is known
    std::optional<std::string> lineText;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            words.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        // "--name=value" and "--name value" are the same.
        std::string name = a;
        std::optional<std::string> inlineValue;
        if (a.rfind("--", 0) == 0) {
            if (auto eq = a.find('='); eq != std::string::npos) {
                name = a.substr(0, eq);
                inlineValue = a.substr(eq + 1);
            }
        } else if (a.rfind("-n", 0) == 0 && a.size() > 2) {
            name = "-n";
            inlineValue = a.substr(2);
        }
        auto takeValue = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };

        if (name == "--help" || name == "-h" || name == "--version") {
            if (inlineValue)
                return UsageError{"option " + name + " takes no value"};
            (name == "--version" ? inv.version : inv.help) = true;
        } else if (name == "--home") {
            auto v = takeValue();
            if (!v || v->empty())
                return UsageError{"missing folder after --home"};
            inv.home = *v;
        } else if (name == "--agent-backend") {
            auto v = takeValue();
            if (!v)
                return UsageError{"missing backend after --agent-backend "
                                  "(auto, launchd, systemd or none)"};
            auto choice = backendChoice(*v);
            if (!choice)
                return UsageError{"unknown agent backend '" + *v +
                                  "' (auto, launchd, systemd or none)"};
            inv.backend = *choice;
        } else if (name == "--json" || name == "--no-probe") {
            if (inlineValue)
                return UsageError{"option " + name + " takes no value"};
            commandOptions.push_back(name);
        } else if (name == "-n" || name == "--lines") {
            auto v = takeValue();
            if (!v)
                return UsageError{"missing number after " + name};
            lineText = *v;
            commandOptions.push_back("-n");
        } else {
            return UsageError{"unknown option '" + a + "'"};
        }
    }

    if (words.empty()) {
        if (inv.help || inv.version)
            return inv;
        return UsageError{"missing command (try --help)"};
    }
    inv.command = words.front();
    inv.arguments.assign(words.begin() + 1, words.end());

    auto shape = commands().find(inv.command);
    if (shape == commands().end())
        return UsageError{"unknown command '" + inv.command + "' (try --help)"};
    if (inv.help || inv.version)
        return inv;

    for (const auto& opt : commandOptions) {
        bool fits = (inv.command == "status" && (opt == "--json" || opt == "--no-probe")) ||
                    (inv.command == "log" && opt == "-n") ||
                    (inv.command == "paths" && opt == "--json");
        if (!fits)
            return UsageError{"option " + opt + " does not apply to " + inv.command};
        if (opt == "--json")
            inv.json = true;
        else if (opt == "--no-probe")
            inv.noProbe = true;
    }
    if (lineText) {
        auto n = lineCount(*lineText);
        if (!n)
            return UsageError{"-n needs a whole number of lines, not '" + *lineText + "'"};
        inv.lineCount = *n;
    }

    const auto& s = shape->second;
    if (inv.arguments.size() < s.minArgs)
        return UsageError{inv.command + ": missing " + s.argumentName};
    if (inv.arguments.size() > s.maxArgs)
        return UsageError{inv.command + ": unexpected argument '" + inv.arguments[s.maxArgs] + "'"};
    if (inv.command == "master" && inv.arguments[0] != "on" && inv.arguments[0] != "off")
        return UsageError{"master: expected on or off, not '" + inv.arguments[0] + "'"};
    return inv;
}

std::string usageText() {
    return "Usage: kestrunectl [--home DIR] [--agent-backend auto|launchd|systemd|none] "
           "COMMAND [ARGS]\n"
           "\n"
           "Commands:\n"
           "  status [--json] [--no-probe]  keep-alive state, problems and every entry\n"
           "  add-app PATH...               add apps to the keep-alive list\n"
           "  add-service DIR               add a project folder as a service\n"
           "  remove NAME|PATH              remove an entry\n"
           "  on NAME|PATH                  keep an entry alive (starts it now)\n"
           "  off NAME|PATH                 stop keeping an entry alive\n"
           "  master on|off                 keep apps and services alive, as a whole\n"
           "  details NAME                  a service's last check, cause and recent starts; an "
           "app's cause\n"
           "  restart NAME                  stop a service whole and start it at once\n"
           "  log [-n N]                    the last N lines of the activity log (20)\n"
           "  paths [--json]                where every file and folder of Kestrune lives\n"
           "\n"
           "Options:\n"
           "  --home DIR                    home folder whose files are used ($HOME)\n"
           "  --agent-backend KIND          how the keep-alive agent is reached (auto)\n"
           "  --help                        this text\n"
           "  --version                     the version of kestrunectl\n"
           "\n"
           "Exit status: 0 done, 1 the action failed, 2 wrong usage.\n";
}

std::string versionText() {
    return std::string("kestrunectl ") + KestruneCore::BuildInfo::version + "\n";
}

} // namespace KestruneCtl
