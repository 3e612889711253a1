#include "platform/AgentBackend.h"

#include "core/FileIO.h"
#include "core/Paths.h"
#include "platform/Process.h"

#include <cstdlib>
#include <unistd.h>

namespace KestruneCore {

namespace {

// True when `target` names our agent: "gui/<uid>/" + label with any uid.
bool isOurService(const std::string& target) {
    std::string suffix = "/" + std::string(label);
    return target.rfind("gui/", 0) == 0 && target.size() > suffix.size() &&
           target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0;
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
    ProcessResult result = runProcess(argv);
    return result.started ? result.exitStatus : -1;
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
                            findInPath("systemctl").value_or(""));
    if (name != "auto")
        return std::nullopt;
    if (isExecutableFile(launchctlPath))
        return AgentBackend(AgentBackendKind::launchd, std::move(runner));
    // The user manager answers this only when it is running and reachable.
    std::string systemctl = findInPath("systemctl").value_or("");
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
