#include "ctl/PathsCommand.h"

#include "core/ActivityLog.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "health/Problems.h"
#include "health/StartRecords.h"
#include "platform/AgentBackend.h"
#include "services/ServiceCheck.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace KestruneCtl {

std::vector<PathRow> pathRows() {
    using namespace KestruneCore;
    std::vector<PathRow> rows = {
        {"config folder", dataFolder()},
        {"watch list", dataPath()},
        {"seed list", seedPath()},
        {"master switch", masterPath()},
        {"state folder", stateFolder()},
        {"problems", problemsPath()},
        {"start records", startupTimesPath()},
        {"activity log", logPath()},
    };
    for (const auto& entry : load(dataPath()))
        if (entry.type == EntryType::service)
            rows.push_back({"service log", serviceLogPath(entry.name)});
    rows.insert(rows.end(), {
                                {"cache folder", cacheFolder()},
                                {"discovery cache", discoveredPath()},
                                {"live icons", liveIconFolder()},
                                {"diagnostics zips", feedbackFolder()},
                                {"engine unit", userUnitFolder() + "/" + std::string(engineUnit)},
                            });
    return rows;
}

int showPaths(const Context& ctx, bool json) {
    auto rows = pathRows();
    if (json) {
        auto list = nlohmann::ordered_json::array();
        for (const auto& row : rows)
            list.push_back({{"role", row.role}, {"path", row.path}});
        ctx.out << list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                << '\n';
        return exitOk;
    }
    std::size_t width = 0;
    for (const auto& row : rows)
        width = std::max(width, row.role.size());
    for (const auto& row : rows)
        ctx.out << row.role << std::string(width - row.role.size() + 2, ' ') << row.path << '\n';
    return exitOk;
}

} // namespace KestruneCtl
