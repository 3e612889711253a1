#include "platform/AgentBackend.h"

#include "core/FileIO.h"
#include "core/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace KestruneCore {

namespace {

constexpr const char* launchctlPath = "/bin/launchctl";

// True when `target` names our agent: "gui/<uid>/" + label with any uid.
bool isOurService(const std::string& target) {
    std::string suffix = "/" + std::string(label);
    return target.rfind("gui/", 0) == 0 && target.size() > suffix.size() &&
           target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The absolute path of a program found through PATH, or empty.
std::string programInPath(std::string_view program) {
    if (program.empty())
        return {};
    if (program.find('/') != std::string_view::npos)
        return isExecutableFile(std::string(program)) ? std::string(program) : std::string();
    const char* path = std::getenv("PATH");
    std::string_view dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        auto colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        if (!dir.empty() && dir[0] == '/') {
            std::string candidate = dir + "/" + std::string(program);
            if (isExecutableFile(candidate))
                return candidate;
        }
        if (colon == std::string_view::npos)
            break;
        dirs.remove_prefix(colon + 1);
    }
    return {};
}

} // namespace

std::string domainTarget() {
    return "gui/" + std::to_string(::getuid());
}
std::string serviceTarget() {
    return domainTarget() + "/" + std::string(label);
}
std::string agentPlistPath() {
    return home("~/Library/LaunchAgents/" + std::string(label) + ".plist");
}

int runQuietly(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty())
        return -1;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::string_view rawValue(AgentBackendKind kind) {
    switch (kind) {
    case AgentBackendKind::launchd:
        return "launchd";
    case AgentBackendKind::systemd:
        return "systemd";
    case AgentBackendKind::none:
        break;
    }
    return "none";
}

AgentBackend::AgentBackend(AgentBackendKind kind, CommandRunner runner, std::string systemctl)
    : kind_(kind), runner_(std::move(runner)), systemctl_(std::move(systemctl)) {}

std::optional<AgentBackend> AgentBackend::named(std::string_view name, CommandRunner runner) {
    if (name == "none")
        return AgentBackend(AgentBackendKind::none, std::move(runner));
    if (name == "launchd")
        return AgentBackend(AgentBackendKind::launchd, std::move(runner));
    if (name == "systemd")
        return AgentBackend(AgentBackendKind::systemd, std::move(runner),
                            programInPath("systemctl"));
    if (name != "auto")
        return std::nullopt;
    if (isExecutableFile(launchctlPath))
        return AgentBackend(AgentBackendKind::launchd, std::move(runner));
    // The user manager answers this only when it is running and reachable.
    std::string systemctl = programInPath("systemctl");
    if (!systemctl.empty() && runner && runner({systemctl, "--user", "show-environment"}) == 0)
        return AgentBackend(AgentBackendKind::systemd, std::move(runner), systemctl);
    return AgentBackend(AgentBackendKind::none, std::move(runner));
}

std::optional<std::vector<std::string>>
AgentBackend::command(const std::vector<std::string>& args) const {
    switch (kind_) {
    case AgentBackendKind::launchd: {
        std::vector<std::string> argv{launchctlPath};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    case AgentBackendKind::systemd: {
        if (systemctl_.empty() || args.empty())
            return std::nullopt;
        const std::string& verb = args[0];
        std::string unit(engineUnit);
        // Only our own agent has a unit; other targets (the former name's agent)
        // have nothing to act on.
        if (verb == "bootstrap") {
            if (args.size() < 2)
                return std::nullopt;
            return std::vector<std::string>{systemctl_, "--user", "enable", "--now", unit};
        }
        if (args.size() < 2 || !isOurService(args[1]))
            return std::nullopt;
        if (verb == "print")
            return std::vector<std::string>{systemctl_, "--user", "is-active", "--quiet", unit};
        if (verb == "kickstart")
            return std::vector<std::string>{systemctl_, "--user", "start", "--no-block", unit};
        if (verb == "bootout")
            return std::vector<std::string>{systemctl_, "--user", "stop", unit};
        return std::nullopt;
    }
    case AgentBackendKind::none:
        break;
    }
    return std::nullopt;
}

int AgentBackend::lc(const std::vector<std::string>& args) const {
    auto argv = command(args);
    if (!argv || !runner_)
        return -1;
    return runner_(*argv);
}

const AgentBackend& agentBackend() {
    static const AgentBackend backend = [] {
        const char* name = std::getenv("KESTRUNE_AGENT_BACKEND");
        auto chosen = AgentBackend::named(name && *name ? name : "auto");
        return chosen ? *chosen : AgentBackend(AgentBackendKind::none);
    }();
    return backend;
}

int lc(const std::vector<std::string>& args) {
    return agentBackend().lc(args);
}

} // namespace KestruneCore
