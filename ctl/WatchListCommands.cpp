#include "ctl/WatchListCommands.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "core/WatchListEdit.h"
#include "ctl/EntryLookup.h"
#include "ctl/SwitchOn.h"
#include "health/StemClash.h"
#include "platform/InstalledApps.h"
#include "services/ServiceFolder.h"

#include <optional>

namespace KestruneCtl {

using namespace KestruneCore;

namespace {

// Runs one locked read-modify-write (see editWatchList); false, with the error line
// printed, when it failed.
bool edited(const Context& ctx, const WatchListChange& change) {
    auto outcome = editWatchList(change);
    if (outcome.ok())
        return true;
    ctx.fail(outcome.error);
    return false;
}

bool looksLikeApp(const std::string& path) {
    auto endsWith = [&](std::string_view suffix) {
        return path.size() >= suffix.size() &&
               path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (isDirectory(path))
        return endsWith(".app");
    return endsWith(".desktop") || isExecutableFile(path);
}

} // namespace

int addApps(const Context& ctx, const std::vector<std::string>& paths) {
    std::vector<std::string> chosen;
    for (const auto& p : paths) {
        std::string abs = absolutePath(p);
        if (!fileExists(abs) && !isDirectory(abs))
            return ctx.fail("no such file or folder: " + p);
        if (!KestruneCore::storablePath(abs))
            return ctx.fail("a path with a tab or line break cannot be kept in the watch list");
        if (!looksLikeApp(abs))
            return ctx.fail("not an app: " + p +
                            " (expected an .app bundle, a .desktop file or an executable)");
        chosen.push_back(abs);
    }
    std::vector<std::string> added;
    std::string report;  // printed once the list is safely saved
    std::string refusal; // the first app refused, if any
    bool ok = edited(ctx, [&](const WatchList& list) -> std::optional<WatchList> {
        added.clear();
        report.clear();
        refusal.clear();
        WatchList apps = list;
        for (const auto& path : chosen) {
            bool present = false;
            for (const auto& e : apps)
                present = present || e.path == path;
            if (present) {
                report += "Already on the list: " + path + "\n";
                continue;
            }
            WatchList grown = adding(path, apps);
            // An installed app goes by the name the application menu shows, as in Settings.
            if (auto name = desktopEntryName(path))
                grown.back().name = *name;
            if (auto other = stemTakenBy(apps, grown.back())) {
                if (refusal.empty())
                    refusal = stemClashRefusal(grown.back(), *other);
                continue;
            }
            apps = std::move(grown);
            added.push_back(apps.back().name);
            report += "Added " + added.back() + "\n";
        }
        if (added.empty())
            return std::nullopt;
        return apps;
    });
    if (!ok)
        return exitFailed;
    for (const auto& name : added)
        log(name, "added to keep-alive list");
    ctx.out << report;
    return refusal.empty() ? exitOk : ctx.fail(refusal);
}

int addService(const Context& ctx, const std::string& dir) {
    std::string abs = absolutePath(dir);
    if (!isDirectory(abs))
        return ctx.fail((fileExists(abs) ? "not a folder: " : "no such folder: ") + dir);
    if (!KestruneCore::storablePath(abs))
        return ctx.fail("a path with a tab or line break cannot be kept in the watch list");
    std::optional<AppEntry> added;
    std::string refusal; // why the change was not made, when it was refused
    bool ok = edited(ctx, [&](const WatchList& list) -> std::optional<WatchList> {
        added.reset();
        auto next = addingService(abs, list);
        if (!next || *next == list)
            return std::nullopt;
        if (!KestruneCore::storablePath(next->back().name)) {
            refusal = "the service name '" + next->back().name +
                      "' holds a tab and cannot be kept in the watch list";
            return std::nullopt;
        }
        if (auto other = stemTakenBy(list, next->back())) {
            refusal = stemClashRefusal(next->back(), *other);
            return std::nullopt;
        }
        added = next->back();
        return next;
    });
    if (!ok)
        return exitFailed;
    if (!refusal.empty())
        return ctx.fail(refusal);
    if (!added) {
        ctx.out << "Already on the list: " << abs << '\n';
        return exitOk;
    }
    log(added->name, "service added to keep-alive list (start method: " + added->method + ")");
    ctx.out << "Added service " << added->name << " (start method: " << added->method << ")\n";
    if (added->method == "unknown") {
        auto [message, info] = unknownMethodSheet(added->name);
        ctx.out << message << '\n' << info << '\n';
    }
    return exitOk;
}

int removeEntry(const Context& ctx, const std::string& nameOrPath) {
    std::optional<AppEntry> entry;
    std::string refusal;
    bool ok = edited(ctx, [&](const WatchList& list) -> std::optional<WatchList> {
        auto found = findEntry(list, nameOrPath);
        if (auto* message = std::get_if<std::string>(&found)) {
            refusal = *message;
            return std::nullopt;
        }
        entry = list[std::get<std::size_t>(found)];
        return removing(*entry, list);
    });
    if (!ok)
        return exitFailed;
    if (!refusal.empty())
        return ctx.fail(refusal);
    log(entry->name, "removed from keep-alive list");
    ctx.out << "Removed " << entry->name << '\n';
    return exitOk;
}

int setEntryEnabled(const Context& ctx, const std::string& nameOrPath, bool on) {
    std::optional<AppEntry> entry;
    std::string refusal;
    bool changed = false;
    bool ok = edited(ctx, [&](const WatchList& list) -> std::optional<WatchList> {
        auto found = findEntry(list, nameOrPath);
        if (auto* message = std::get_if<std::string>(&found)) {
            refusal = *message;
            return std::nullopt;
        }
        WatchList apps = list;
        AppEntry& e = apps[std::get<std::size_t>(found)];
        changed = e.enabled != on;
        e.enabled = on;
        entry = e;
        if (!changed)
            return std::nullopt;
        return apps;
    });
    if (!ok)
        return exitFailed;
    if (!refusal.empty())
        return ctx.fail(refusal);
    if (!changed) {
        ctx.out << entry->name << " is already " << (on ? "on" : "off") << '\n';
        return exitOk;
    }
    log(entry->name, on ? "keep-alive on (from settings)" : "keep-alive off (from settings)");
    ctx.out << entry->name << " is " << (on ? "on" : "off") << '\n';
    if (on && !switchedOn(ctx, *entry))
        return exitFailed;
    return exitOk;
}

int setMaster(const Context& ctx, bool on) {
    std::string path = masterPath();
    if (loadMaster(path) == on && fileExists(path)) {
        ctx.out << "Keep apps alive is already " << (on ? "on" : "off") << '\n';
        return exitOk;
    }
    if (auto error = editMaster(on, path); !error.empty())
        return ctx.fail(error);
    log("Kestrune",
        on ? "keep apps alive: on (from settings)" : "keep apps alive: off (from settings)");
    ctx.out << "Keep apps alive: " << (on ? "on" : "off") << '\n';
    return exitOk;
}

} // namespace KestruneCtl
