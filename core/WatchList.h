// The watch list file (apps.tsv) and the master switch file. Every function reads
// or writes the file afresh; nothing is kept in memory.
#pragma once

#include "core/AppEntry.h"
#include "core/Paths.h"

#include <string>
#include <vector>

namespace KestruneCore {

using WatchList = std::vector<AppEntry>;

// Tolerant read: a missing, unreadable or non-UTF-8 file is the empty list, a line
// with fewer than three fields is skipped. A service line without a method gets the
// method detected for its folder now (written back only by the next save).
WatchList load(const std::string& from = dataPath());

// The text `save` writes for a list (one LF-terminated line per entry).
std::string watchListText(const WatchList& entries);

// Creates the parent folder and replaces the file atomically; failures are dropped.
void save(const WatchList& entries, const std::string& to = dataPath());

// Whether a path can be kept in the watch list: it has no quoting, so a path holding
// a TAB or a line break cannot be stored and is never added.
bool storablePath(const std::string& path);

// Appends an app for a bundle path unless an entry of either type has that path.
WatchList adding(const std::string& appPath, const WatchList& list);
WatchList removing(long index, const WatchList& list);
// Drops every entry with the same path and type.
WatchList removing(const AppEntry& entry, const WatchList& list);
WatchList seededIfEmpty(const WatchList& list, const WatchList& seed);

// Missing or unreadable: on. Exactly "off" after trimming white space: off.
bool loadMaster(const std::string& from = masterPath());
void saveMaster(bool on, const std::string& to = masterPath());

} // namespace KestruneCore
