#include "ctl/StatusCommand.h"

#include "core/Graphemes.h"

#include <algorithm>
#include <sstream>

namespace KestruneCtl {

nlohmann::json statusJson(const StatusReport& r) {
    using nlohmann::json;
    json problems = json::array();
    for (const auto& p : r.problems)
        problems.push_back({{"name", p.name},
                            {"kind", p.kind},
                            {"severity", p.severity},
                            {"since", p.since},
                            {"detail", p.detail},
                            {"line", p.line}});
    json entries = json::array();
    for (const auto& e : r.entries)
        entries.push_back({{"name", e.name},
                           {"path", e.path},
                           {"type", e.type},
                           {"enabled", e.enabled},
                           {"method", e.method},
                           {"subtitle", e.subtitle}});
    return {{"master", r.master},   {"agentLoaded", r.agentLoaded}, {"iconState", r.iconState},
            {"tooltip", r.tooltip}, {"problems", problems},         {"slowStarts", r.slowStarts},
            {"entries", entries}};
}

namespace {

std::string padded(const std::string& text, std::size_t width) {
    std::size_t n = KestruneCore::graphemeCount(text);
    return text + std::string(width > n ? width - n : 0, ' ');
}

} // namespace

std::string statusText(const StatusReport& r) {
    std::ostringstream out;
    out << "Keep alive:  " << (r.master ? "on" : "off") << '\n'
        << "Agent:       " << (r.agentLoaded ? "loaded" : "not loaded") << '\n'
        << "Icon:        " << r.iconState << '\n'
        << "Tooltip:     " << r.tooltip << '\n'
        << '\n'
        << "Problems:" << (r.problems.empty() ? " none" : "") << '\n';
    for (const auto& p : r.problems)
        out << "  " << p.line << '\n';
    out << "Slow starts:" << (r.slowStarts.empty() ? " none" : "") << '\n';
    for (const auto& s : r.slowStarts)
        out << "  " << s << '\n';
    out << '\n';
    if (r.entries.empty()) {
        out << "Entries: none\n";
        return out.str();
    }
    std::size_t nameWidth = 4, typeWidth = 4;
    for (const auto& e : r.entries) {
        nameWidth = std::max(nameWidth, KestruneCore::graphemeCount(e.name));
        typeWidth = std::max(typeWidth, e.type.size());
    }
    out << "  " << padded("NAME", nameWidth) << "  " << padded("TYPE", typeWidth) << "  ON   "
        << "STATE\n";
    for (const auto& e : r.entries)
        out << "  " << padded(e.name, nameWidth) << "  " << padded(e.type, typeWidth) << "  "
            << (e.enabled ? "on   " : "off  ") << e.subtitle << '\n';
    return out.str();
}

int showStatus(const Context& ctx, bool json, bool probe) {
    StatusReport report = gatherStatus(ctx, probe);
    if (json)
        ctx.out << statusJson(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                << '\n';
    else
        ctx.out << statusText(report);
    return exitOk;
}

} // namespace KestruneCtl
