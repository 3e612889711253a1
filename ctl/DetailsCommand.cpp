#include "ctl/DetailsCommand.h"

#include "core/Paths.h"
#include "core/WatchList.h"
#include "ctl/EntryLookup.h"
#include "health/AppLiveness.h"
#include "health/Problems.h"
#include "health/ServiceDetails.h"
#include "health/StatusSummary.h"

namespace KestruneCtl {

using namespace KestruneCore;

int showDetails(const Context& ctx, const std::string& nameOrPath) {
    WatchList list = load();
    auto found = findEntry(list, nameOrPath);
    if (auto* message = std::get_if<std::string>(&found))
        return ctx.fail(*message);
    const AppEntry& entry = list[std::get<std::size_t>(found)];
    if (entry.type != EntryType::service) {
        // An app has no check: its state, and why its last open failed.
        bool running = appIsRunning(entry.path);
        auto problems =
            liveProblems(loadProblems(), {entry}, [&](const std::string&) { return running; });
        ctx.out << entry.name << "\n\nStatus: " << appRowSubtitle(entry, running, problems) << '\n';
        for (const auto& p : problems)
            if (p.name == entry.name && !p.detail.empty())
                ctx.out << "Cause: " << p.detail << '\n';
        return exitOk;
    }

    std::string text = serviceDetailsText(entry);
    ctx.out << entry.name << "\n\n"
            << text << "\n\nService log: " << abbreviatingWithTilde(serviceLogPath(entry.name))
            << '\n';
    return exitOk;
}

} // namespace KestruneCtl
