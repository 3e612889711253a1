#include "engine/EngineCommand.h"

#include "core/BuildInfo.h"
#include "core/Paths.h"
#include "engine/AgentInstaller.h"
#include "engine/EnginePass.h"
#include "engine/ServeLoop.h"
#include "engine/StartRunner.h"
#include "platform/Migration.h"

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

constexpr int usageError = 64;

void printUsage() {
    std::fputs("usage: kestrune-engine [--home DIR] serve | run | install | uninstall | "
               "--help | --version\n",
               stderr);
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
    "Exit status: 0 done, 1 the command failed, 64 wrong usage; install and uninstall\n"
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
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto& a = args[i];
        if (a == "--version" || a == "version") {
            command = "--version";
        } else if (a == "--help" || a == "-h" || a == "help") {
            command = "--help";
        } else if (a == "--home" || a == "--key" || a == "--dir" || a == "--name" ||
                   a == "--method" || a == "--began") {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "kestrune-engine: %s needs a value\n", a.c_str());
                return usageError;
            }
            if (a == "--home")
                home = absolute(args[++i]);
            else
                options[a] = args[++i];
        } else if (command.empty() && !a.empty() && a[0] != '-') {
            command = a;
        } else {
            std::fprintf(stderr, "kestrune-engine: unexpected argument %s\n", a.c_str());
            printUsage();
            return usageError;
        }
    }

    if (command == "--help") {
        std::fputs(helpText, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("kestrune-engine %s\n", KestruneCore::BuildInfo::version);
        return 0;
    }
    // Every location is derived from HOME, so --home moves all of them at once.
    if (home)
        ::setenv("HOME", home->c_str(), 1);
    std::string homeDir = KestruneCore::home("~");

    if (command == "exec-service") {
        if (!options.count("--key")) {
            std::fputs("kestrune-engine: exec-service needs --key\n", stderr);
            return usageError;
        }
        RunnerOptions r;
        r.key = options["--key"];
        auto take = [&](const char* name) -> std::optional<std::string> {
            auto it = options.find(name);
            return it == options.end() ? std::nullopt : std::optional(it->second);
        };
        r.dir = take("--dir");
        r.name = take("--name");
        r.method = take("--method");
        if (auto began = take("--began"))
            r.began = std::atof(began->c_str());
        return runStartRunner(r);
    }
    if (!options.empty()) {
        printUsage();
        return usageError;
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
    printUsage();
    return usageError;
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
