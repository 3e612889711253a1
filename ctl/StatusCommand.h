// `kestrunectl status`: what the tray program's icon, tooltip, menu and Settings rows
// show, computed by the same core functions from the same files.
#pragma once

#include "ctl/Context.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace KestruneCtl {

struct StatusProblem {
    std::string name, kind, severity, since, detail;
    std::string line; // as the status menu words it
    bool operator==(const StatusProblem&) const = default;
};

struct StatusEntry {
    std::string name, path, type;
    bool enabled = false;
    std::string method;
    std::string subtitle; // as its Settings row shows it
    bool operator==(const StatusEntry&) const = default;
};

struct StatusReport {
    bool master = false;
    bool agentLoaded = false;
    std::string iconState; // "healthy", "orange", "red" or "off"
    std::string tooltip;
    std::vector<StatusProblem> problems; // menu order
    std::vector<std::string> slowStarts;
    std::vector<StatusEntry> entries; // watch-list order
    bool operator==(const StatusReport&) const = default;
};

// Reads everything afresh. With `probe`, services that are not kept alive are
// health-probed once (as an open Settings window does) so their rows say whether
// they answer.
StatusReport gatherStatus(const Context& ctx, bool probe);

nlohmann::ordered_json statusJson(const StatusReport& report);
std::string statusText(const StatusReport& report);

int showStatus(const Context& ctx, bool json, bool probe);

} // namespace KestruneCtl
