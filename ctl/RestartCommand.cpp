#include "ctl/RestartCommand.h"

#include "core/WatchList.h"
#include "ctl/EntryLookup.h"
#include "health/RestartRequest.h"

namespace KestruneCtl {

using namespace KestruneCore;

int restartService(const Context& ctx, const std::string& nameOrPath) {
    WatchList list = load();
    auto found = findEntry(list, nameOrPath);
    if (auto* message = std::get_if<std::string>(&found))
        return ctx.fail(*message);
    const AppEntry& entry = list[std::get<std::size_t>(found)];
    auto refusal = requestRestart(entry, loadMaster());
    if (refusal != RestartRefusal::none)
        return ctx.fail(restartRefusalText(entry, refusal));
    // The request file wakes a running engine; this makes sure one runs.
    ctx.lc({"kickstart", ctx.serviceTarget});
    ctx.out << "Asked the keep-alive engine to restart " << entry.name << " now\n";
    return exitOk;
}

} // namespace KestruneCtl
