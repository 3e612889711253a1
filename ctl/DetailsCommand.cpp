#include "ctl/DetailsCommand.h"

#include "core/Paths.h"
#include "core/Problems.h"
#include "core/StartRecords.h"
#include "core/WatchList.h"
#include "ctl/EntryLookup.h"
#include "services/ServiceCheck.h"
#include "services/ServiceDetails.h"

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

    std::optional<Problem> problem;
    for (const auto& p : loadProblems())
        if (p.name == entry.name) {
            problem = p;
            break;
        }
    std::string text =
        serviceDetails(entry, ServiceCheck::load(serviceCheckPath(entry.name)), problem);

    auto records = startRecords(entry.name);
    if (!records.empty()) {
        text += "\n\nRecent starts";
        if (auto typical = typicalStartup(records))
            text += " (usually " + std::to_string(typical->median) + "s, slowest " +
                    std::to_string(typical->slowest) + "s)";
        text += ":\n" + startHistory(records);
    }
    ctx.out << entry.name << "\n\n"
            << text << "\n\nService log: " << abbreviatingWithTilde(serviceLogPath(entry.name))
            << '\n';
    return exitOk;
}

} // namespace KestruneCtl
