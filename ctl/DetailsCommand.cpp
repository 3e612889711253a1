#include "ctl/DetailsCommand.h"

#include "core/Paths.h"
#include "core/WatchList.h"
#include "ctl/EntryLookup.h"
#include "health/ServiceDetails.h"

namespace KestruneCtl {

using namespace KestruneCore;

int showDetails(const Context& ctx, const std::string& nameOrPath) {
    WatchList list = load();
    auto found = findEntry(list, nameOrPath);
    if (auto* message = std::get_if<std::string>(&found))
        return ctx.fail(*message);
    const AppEntry& entry = list[std::get<std::size_t>(found)];
    if (entry.type != EntryType::service)
        return ctx.fail(entry.name + " is not a service; details are kept for services only");

    std::string text = serviceDetailsText(entry);
    ctx.out << entry.name << "\n\n"
            << text << "\n\nService log: " << abbreviatingWithTilde(serviceLogPath(entry.name))
            << '\n';
    return exitOk;
}

} // namespace KestruneCtl
