#include "ctl/Kestrunectl.h"

#include "core/FileIO.h"
#include "ctl/CommandLine.h"
#include "ctl/Context.h"
#include "ctl/DetailsCommand.h"
#include "ctl/EntryLookup.h"
#include "ctl/LogCommand.h"
#include "ctl/PathsCommand.h"
#include "ctl/RestartCommand.h"
#include "ctl/SafeOutput.h"
#include "ctl/StatusCommand.h"
#include "ctl/WatchListCommands.h"
#include "platform/AgentBackend.h"
#include "platform/EngineServeLock.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>

namespace KestruneCtl {

namespace {

std::string_view backendName(AgentBackendChoice choice) {
    switch (choice) {
    case AgentBackendChoice::launchd:
        return "launchd";
    case AgentBackendChoice::systemd:
        return "systemd";
    case AgentBackendChoice::none:
        return "none";
    case AgentBackendChoice::automatic:
        break;
    }
    return "auto";
}

// Where the engine runs as a user unit its serve lock answers, which costs no child
// process (asking systemctl took two); launchd is still asked by "print".
bool agentLoaded(AgentBackendChoice choice, const Context& ctx) {
    std::string name(backendName(choice));
    if (choice == AgentBackendChoice::automatic) {
        const char* chosen = std::getenv("KESTRUNE_AGENT_BACKEND");
        name = chosen && *chosen ? chosen : "auto";
    }
    if (name == "auto")
        name = KestruneCore::isExecutableFile(KestruneCore::launchctlPath) ? "launchd" : "systemd";
    if (name == "launchd")
        return ctx.lc({"print", ctx.serviceTarget}) == 0;
    return name == "systemd" && KestruneCore::engineIsServing();
}

int dispatch(const Invocation& inv, const Context& ctx) {
    const auto& cmd = inv.command;
    const auto& args = inv.arguments;
    if (cmd == "status")
        return showStatus(ctx, inv.json, !inv.noProbe);
    if (cmd == "add-app")
        return addApps(ctx, args);
    if (cmd == "add-service")
        return addService(ctx, args[0]);
    if (cmd == "remove")
        return removeEntry(ctx, args[0]);
    if (cmd == "on" || cmd == "off")
        return setEntryEnabled(ctx, args[0], cmd == "on");
    if (cmd == "master")
        return setMaster(ctx, args[0] == "on");
    if (cmd == "details")
        return showDetails(ctx, args[0]);
    if (cmd == "restart")
        return restartService(ctx, args[0]);
    if (cmd == "log")
        return showLog(ctx, inv.lineCount);
    if (cmd == "paths")
        return showPaths(ctx, inv.json);
    return ctx.fail("unknown command '" + cmd + "'", exitUsage);
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    // Every command writes through these, so none can pass a control character on.
    SafeOutputBuffer outBuffer(out.rdbuf()), errBuffer(err.rdbuf());
    std::ostream safeOut(&outBuffer), safeErr(&errBuffer);
    Context ctx{safeOut, safeErr, {}, {}, {}};
    try {
        auto parsed = parseCommandLine(args);
        if (auto* usage = std::get_if<UsageError>(&parsed))
            return ctx.fail(usage->message, exitUsage);
        const auto& inv = std::get<Invocation>(parsed);
        if (inv.help) {
            out << usageText();
            return exitOk;
        }
        if (inv.version) {
            out << versionText();
            return exitOk;
        }
        if (inv.home) {
            if (!KestruneCore::isDirectory(*inv.home))
                return ctx.fail("no such folder: " + *inv.home + " (--home)", exitUsage);
            // Every core path is built from HOME at the time of the call; an absolute
            // one keeps stored paths meaningful to the tray program.
            ::setenv("HOME", absolutePath(*inv.home).c_str(), 1);
        }
        // Chosen on the first request only: "auto" may have to ask systemctl, which
        // commands that never reach the agent should not pay for. "auto" is the tray
        // program's own choice.
        auto backend = std::make_shared<std::optional<KestruneCore::AgentBackend>>();
        ctx.lc = [backend, choice = inv.backend](const std::vector<std::string>& words) {
            if (choice == AgentBackendChoice::automatic)
                return KestruneCore::lc(words);
            if (!*backend)
                *backend = KestruneCore::AgentBackend::named(backendName(choice));
            return *backend ? (*backend)->lc(words) : -1;
        };
        ctx.serviceTarget = KestruneCore::serviceTarget();
        ctx.agentLoaded = [&ctx, choice = inv.backend] { return agentLoaded(choice, ctx); };
        return dispatch(inv, ctx);
    } catch (const std::exception& e) {
        return ctx.fail(std::string("unexpected failure: ") + e.what());
    } catch (...) {
        return ctx.fail("unexpected failure");
    }
}

} // namespace KestruneCtl
