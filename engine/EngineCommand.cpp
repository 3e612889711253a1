#include "engine/EngineCommand.h"

#include "core/BuildInfo.h"
#include "core/Paths.h"
#include "engine/AgentInstaller.h"
#include "engine/EnginePass.h"
#include "engine/ServeLoop.h"
#include "engine/StartRunner.h"
#include "platform/Migration.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace KestruneEngine {

namespace {

// Wrong usage exits 2, as kestrune and kestrunectl do.
constexpr int usageError = 2;

int usage(const std::string& message) {
    std::fprintf(stderr, "kestrune-engine: %s (try --help)\n", message.c_str());
    return usageError;
}

constexpr const char* helpText =
    "Usage: kestrune-engine [--home DIR] COMMAND\n"
    "\n"
    "Commands:\n"
    "  serve          keep the watched apps and services alive until SIGTERM or SIGINT\n"
    "  run            one pass over the watch list, then exit\n"
    "  install        write the user unit (~/.config/systemd/user) and enable it now\n"
    "  uninstall      stop, disable and remove that unit\n"
    "  exec-service   the start runner of one service (used by serve, not by people)\n"
    "\n"
    "Options:\n"
    "  --home DIR     home folder whose files are used ($HOME)\n"
    "  --help         this text\n"
    "  --version      the version of kestrune-engine\n"
    "\n"
    "Exit status: 0 done, 1 the command failed, 2 wrong usage; install and uninstall\n"
    "pass on the status of a failing systemctl.\n";

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char buf[4096];
    if (!::getcwd(buf, sizeof buf))
        return path;
    return std::string(buf) + "/" + path;
}

int dispatch(const std::vector<std::string>& args) {
    std::string command;
    std::optional<std::string> home;
    std::map<std::string, std::string> options; // exec-service's --key, --dir, ...
    bool help = false;
    bool version = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto& a = args[i];
        // "--name=value" and "--name value" are the same.
        std::string name = a;
        std::optional<std::string> value;
        if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
        }
        if (name == "--version" || name == "--help" || name == "-h") {
            if (value)
                return usage("option " + name + " takes no value");
            (name == "--version" ? version : help) = true;
        } else if (name == "--home" || name == "--key" || name == "--dir" || name == "--name" ||
                   name == "--method" || name == "--began" || name == "--replaces") {
            if (!value && i + 1 < args.size())
                value = args[++i];
            if (!value || (name == "--home" && value->empty()))
                return usage("missing value after " + name);
            if (name == "--home")
                home = absolute(*value);
            else
                options[name] = *value;
        } else if (!a.empty() && a[0] == '-') {
            return usage("unknown option '" + a + "'");
        } else if (command.empty()) {
            command = a;
        } else {
            return usage("unexpected argument '" + a + "'");
        }
    }
    // The words help and version stay as older unit files and scripts may use them.
    if (help || command == "help") {
        std::fputs(helpText, stdout);
        return 0;
    }
    if (version || command == "version") {
        std::printf("kestrune-engine %s\n", KestruneCore::BuildInfo::version);
        return 0;
    }
    static const char* const commands[] = {"serve", "run", "install", "uninstall", "exec-service"};
    if (command.empty())
        return usage("missing command");
    if (std::find(std::begin(commands), std::end(commands), command) == std::end(commands))
        return usage("unknown command '" + command + "'");
    if (command != "exec-service" && !options.empty())
        return usage("option " + options.begin()->first + " applies only to exec-service");

    // Every location is derived from HOME, so --home moves all of them at once.
    if (home)
        ::setenv("HOME", home->c_str(), 1);
    std::string homeDir = KestruneCore::home("~");

    if (command == "exec-service") {
        auto status = runStartRunner(options);
        return status ? *status : usage("exec-service needs --key");
    }
    std::string self = currentExecutablePath();
    if (command == "run" || command == "serve") {
        // The engine may start before the tray program at login: the files of the
        // earlier layout must reach their places before it writes the new ones.
        KestruneCore::migrateFromEarlierLayout(homeDir);
        auto host = chooseServiceHost(self, runCommand);
        auto env = realEnvironment(*host, homeDir);
        if (command == "serve") {
            // A check may still hang in its thread: end without waiting for it.
            int status = serve(env);
            std::fflush(nullptr);
            ::_exit(status);
        }
        if (!runPass(env).ran) {
            std::fputs("kestrune-engine: another pass held the lock; nothing done\n", stderr);
            return 1;
        }
        return 0;
    }
    if (command == "install" || command == "uninstall") {
#ifdef __APPLE__
        return command == "install" ? installLaunchAgent(self, home, runCommand)
                                    : uninstallLaunchAgent(runCommand);
#else
        return command == "install" ? installSystemdAgent(self, home, runCommand)
                                    : uninstallSystemdAgent(runCommand);
#endif
    }
    return usage("unknown command '" + command + "'");
}

} // namespace

int runEngineCommand(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return dispatch(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrune-engine: %s\n", e.what());
        return 1;
    }
}

} // namespace KestruneEngine
