#include "health/Backoff.h"

#include "core/EditLock.h"
#include "core/FileIO.h"
#include "core/WhiteSpace.h"
#include "platform/BundleInfo.h"
#include "services/ServiceCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <unistd.h>
#include <vector>

namespace KestruneCore {

namespace {

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The names in a folder (not "." or ".."), or none when it cannot be listed.
std::optional<std::vector<std::string>> folderNames(const std::string& dir) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d)
        return std::nullopt;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d.get())) {
        std::string_view name = e->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    return names;
}

} // namespace

std::int64_t epochNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch())
        .count();
}

std::optional<Clock::time_point> tryingSince(const std::string& name, const std::string& stateDir) {
    auto seconds = epoch(stateDir + "/" + serviceKey(name) + ".trying");
    if (!seconds)
        return std::nullopt;
    // The clock counts in units far finer than seconds; a time it cannot hold is no
    // time the engine wrote.
    using Seconds = std::chrono::duration<std::int64_t>;
    constexpr auto limit = std::chrono::duration_cast<Seconds>(Clock::duration::max()).count() - 1;
    if (*seconds > limit || *seconds < -limit)
        return std::nullopt;
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(Seconds(*seconds)));
}

std::map<std::string, std::int64_t> dueRetries(const std::string& stateDir, std::int64_t now,
                                               const std::map<std::string, std::int64_t>& kicked) {
    std::map<std::string, std::int64_t> due;
    auto names = folderNames(stateDir);
    if (!names)
        return due;
    for (const auto& name : *names) {
        if (!startsWith(name, "svc_") || !endsWith(name, ".next"))
            continue;
        std::string key = name.substr(0, name.size() - 5);
        auto t = epoch(stateDir + "/" + name);
        if (!t || now < *t)
            continue;
        auto was = kicked.find(key);
        if (was != kicked.end() && was->second == *t)
            continue;
        due[key] = *t;
    }
    return due;
}

std::optional<std::string> stateKey(const AppEntry& entry) {
    if (entry.type == EntryType::service)
        return serviceKey(entry.name);
    auto info = bundleInfo(entry.path);
    if (!info)
        return std::nullopt;
    if (info->identifier)
        return sanitizedKey(*info->identifier);
    if (info->executable)
        return sanitizedKey(*info->executable);
    return std::nullopt;
}

void resetBackoff(const AppEntry& entry, const std::string& stateDir) {
    std::string problems = stateDir + "/problems.tsv";
    // The engine holds this lock while a pass changes state files and problems, so a
    // healed problem never comes back and a new one is never lost.
    EditLock lock(problems);
    auto key = stateKey(entry);
    if (key) {
        // Keys hold only letters, digits, ".", "_" and "-" and end in "_", and the
        // names come from listing the folder itself, so nothing outside it is touched.
        // The runner the engine started (.pid) and when it began (.began) are the
        // engine's own record, not back-off: without them it would start a second
        // copy beside a live one.
        if (auto names = folderNames(stateDir)) {
            std::string prefix = *key + ".";
            for (const auto& name : *names)
                if (startsWith(name, prefix) && name != prefix + "pid" && name != prefix + "began")
                    ::unlink((stateDir + "/" + name).c_str());
        }
        if (entry.type == EntryType::service)
            writeFileAtomically(stateDir + "/" + *key + ".toggled", "");
    }

    // Without the lock the engine is mid-pass; its next pass (the switch-on wakes it)
    // rewrites the problems file anyway.
    if (!lock.held())
        return;
    auto text = readUtf8File(problems);
    if (!text)
        return;
    std::string kept;
    for (const auto& line : splitLines(*text)) {
        // The name is the first TAB-separated field (the whole line when it has none).
        if (std::string_view(line).substr(0, line.find('\t')) == entry.name)
            continue;
        kept += line;
        kept += '\n';
    }
    writeFileAtomically(problems, kept);
}

SwitchOnAction switchOnAction(const AppEntry& entry, bool masterOn, bool running) {
    if (!masterOn)
        return SwitchOnAction::none;
    if (entry.type == EntryType::service)
        return SwitchOnAction::checkNow;
    return running ? SwitchOnAction::none : SwitchOnAction::launchApp;
}

bool isStillStarting(Clock::time_point since, Clock::time_point now, bool healthy) {
    if (healthy)
        return false;
    // In floating seconds: two far-apart clock values must not overflow the difference.
    auto seconds = [](Clock::time_point t) {
        return std::chrono::duration<double>(t.time_since_epoch()).count();
    };
    return seconds(now) - seconds(since) < 180.0;
}

} // namespace KestruneCore
