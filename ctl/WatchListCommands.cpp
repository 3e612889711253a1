#include "ctl/WatchListCommands.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "ctl/EntryLookup.h"
#include "ctl/SwitchOn.h"
#include "services/ServiceFolder.h"

#include <optional>

namespace KestruneCtl {

using namespace KestruneCore;

namespace {

// The list as stored, or none when a file exists that cannot be read: editing what
// reads as an empty list would replace every entry the user has.
std::optional<WatchList> loadForEditing(const Context& ctx) {
    std::string path = dataPath();
    if (fileExists(path) && !readUtf8File(path)) {
        ctx.fail("cannot read the watch list " + path + "; it was left unchanged");
        return std::nullopt;
    }
    return load(path);
}

// Saves and checks that the file now holds exactly the list, so a failed write is
// reported instead of being taken for success.
bool saveChecked(const Context& ctx, const WatchList& list) {
    std::string path = dataPath();
    save(list, path);
    if (readFile(path) == watchListText(list))
        return true;
    ctx.fail("could not write the watch list " + path);
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
    auto list = loadForEditing(ctx);
    if (!list)
        return exitFailed;

    WatchList apps = *list;
    std::vector<std::string> added;
    std::string report; // printed once the list is safely saved
    for (const auto& path : chosen) {
        bool present = false;
        for (const auto& e : apps)
            present = present || e.path == path;
        if (present) {
            report += "Already on the list: " + path + "\n";
            continue;
        }
        apps = adding(path, apps);
        added.push_back(apps.back().name);
        report += "Added " + added.back() + "\n";
    }
    if (!added.empty() && !saveChecked(ctx, apps))
        return exitFailed;
    for (const auto& name : added)
        log(name, "added to keep-alive list");
    ctx.out << report;
    return exitOk;
}

int addService(const Context& ctx, const std::string& dir) {
    std::string abs = absolutePath(dir);
    if (!isDirectory(abs))
        return ctx.fail((fileExists(abs) ? "not a folder: " : "no such folder: ") + dir);
    if (!KestruneCore::storablePath(abs))
        return ctx.fail("a path with a tab or line break cannot be kept in the watch list");
    auto list = loadForEditing(ctx);
    if (!list)
        return exitFailed;

    auto next = addingService(abs, *list);
    if (!next || *next == *list) {
        ctx.out << "Already on the list: " << abs << '\n';
        return exitOk;
    }
    if (!KestruneCore::storablePath(next->back().name))
        return ctx.fail("the service name '" + next->back().name +
                        "' holds a tab and cannot be kept in the watch list");
    if (!saveChecked(ctx, *next))
        return exitFailed;
    const AppEntry& added = next->back();
    log(added.name, "service added to keep-alive list (start method: " + added.method + ")");
    ctx.out << "Added service " << added.name << " (start method: " << added.method << ")\n";
    if (added.method == "unknown") {
        auto [message, info] = unknownMethodSheet(added.name);
        ctx.out << message << '\n' << info << '\n';
    }
    return exitOk;
}

int removeEntry(const Context& ctx, const std::string& nameOrPath) {
    auto list = loadForEditing(ctx);
    if (!list)
        return exitFailed;
    auto found = findEntry(*list, nameOrPath);
    if (auto* message = std::get_if<std::string>(&found))
        return ctx.fail(*message);
    AppEntry entry = (*list)[std::get<std::size_t>(found)];
    if (!saveChecked(ctx, removing(entry, *list)))
        return exitFailed;
    log(entry.name, "removed from keep-alive list");
    ctx.out << "Removed " << entry.name << '\n';
    return exitOk;
}

int setEntryEnabled(const Context& ctx, const std::string& nameOrPath, bool on) {
    auto list = loadForEditing(ctx);
    if (!list)
        return exitFailed;
    auto found = findEntry(*list, nameOrPath);
    if (auto* message = std::get_if<std::string>(&found))
        return ctx.fail(*message);
    WatchList apps = *list;
    AppEntry& entry = apps[std::get<std::size_t>(found)];
    if (entry.enabled == on) {
        ctx.out << entry.name << " is already " << (on ? "on" : "off") << '\n';
        return exitOk;
    }
    entry.enabled = on;
    if (!saveChecked(ctx, apps))
        return exitFailed;
    log(entry.name, on ? "keep-alive on (from settings)" : "keep-alive off (from settings)");
    ctx.out << entry.name << " is " << (on ? "on" : "off") << '\n';
    if (on && !switchedOn(ctx, entry))
        return exitFailed;
    return exitOk;
}

int setMaster(const Context& ctx, bool on) {
    std::string path = masterPath();
    if (loadMaster(path) == on && fileExists(path)) {
        ctx.out << "Keep apps alive is already " << (on ? "on" : "off") << '\n';
        return exitOk;
    }
    saveMaster(on, path);
    if (loadMaster(path) != on || !fileExists(path))
        return ctx.fail("could not write the master switch " + path);
    log("Kestrune",
        on ? "keep apps alive: on (from settings)" : "keep apps alive: off (from settings)");
    ctx.out << "Keep apps alive: " << (on ? "on" : "off") << '\n';
    return exitOk;
}

} // namespace KestruneCtl
