// Recognising service folders on this machine: which folder counts as a service,
// the bounded folder walk used when no file index answers, the index query's
// predicate, the filtering of suggestions against the watch list and the small
// cache of found folders. Everything here is synchronous and touches only files.
#pragma once

#include "core/AppEntry.h"
#include "core/Paths.h"
#include "core/WatchList.h"

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Discovery {

// Folders below the home folder that are walked deeper than the others, in order.
inline const std::vector<std::string> rootNames = {"Dropbox", "projects", "Projects", "Developer",
                                                   "Code",    "Scripts",  "Sites",    "src"};

// Folder names never entered (exact, case-sensitive).
inline const std::set<std::string, std::less<>> skipDirs = {
    "node_modules", ".git",        "_site",  "Library", "build", ".build",
    "dist",         "DerivedData", "vendor", "Pods",    ".Trash"};

// Levels searched below each root, and below the home folder for other folders.
inline constexpr int rootDepth = 5;
inline constexpr int homeDepth = 3;

// What every launch-script path ends with.
inline constexpr std::string_view launchSuffix = "/scripts/launch.sh";

// The file index query: every file named exactly launch.sh, on the local computer.
inline constexpr std::string_view predicate = "kMDItemFSName == \"launch.sh\"";
inline constexpr std::string_view localComputerScope = "kMDQueryScopeComputer";
inline const std::vector<std::string> scopes = {std::string(localComputerScope)};

// The subtitle of a found row.
inline constexpr std::string_view foundSubtitle =
    "Found on this computer \u2013 switch on to keep it running";

// The cache file of found folders (KestruneCore::discoveredPath), computed now.
std::string cachePath();

// Whether `dir` has an executable scripts/launch.sh and a well-formed
// scripts/launch.json that names a health-check URL or ports.
bool qualifies(const std::string& dir);

// home + "/" + each root name, whether the folder exists or not.
std::vector<std::string> roots(const std::string& home);

// The launch-script paths found by the bounded walk (roots first, then the other
// folders of `home`), in walk order. Each real folder is walked once and reported
// once, under the first path the walk met it by, however many links lead to it.
std::vector<std::string> walk(const std::string& home);

// The qualifying service folders of a list of launch-script paths, each once,
// sorted ascending; of several paths to one folder, the first in that order.
std::vector<std::string> repos(const std::vector<std::string>& fromLaunchPaths);

// repos(walk(home)).
std::vector<std::string> fallbackScan(const std::string& home = KestruneCore::home("~"));

// The found folders that no watched service already has (compared in standardised
// form), as disabled service entries, in `found`'s order.
KestruneCore::WatchList suggestions(const std::vector<std::string>& found,
                                    const KestruneCore::WatchList& existing);

// Writes one path per line. Paths that cannot be stored on one UTF-8 line (an LF
// inside, invalid UTF-8) are left out so they cannot corrupt the rest.
void saveCache(const std::vector<std::string>& paths, const std::string& to = cachePath());

// The non-empty lines of the cache; a missing or unreadable file gives none.
std::vector<std::string> loadCache(const std::string& from = cachePath());

// Tilde expanded; "." components, repeated and trailing slashes dropped; ".."
// folded into its parent. Purely textual: links are not resolved.
std::string standardizedPath(const std::string& path);

} // namespace Discovery
