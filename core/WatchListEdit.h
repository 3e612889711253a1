// Read-modify-write of the watch list and the master switch, shared by every program
// that edits them (the tray program's Settings, kestrunectl), so an edit is always
// applied to the freshest copy of the file and a failure is reported, never taken for
// success.
#pragma once

#include "core/Paths.h"
#include "core/WatchList.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace KestruneCore {

struct EditOutcome {
    bool saved = false; // the file now holds what `change` returned
    std::string error;  // one line saying why nothing was written; empty when none
    WatchList list;     // the list as the file now holds it (the freshest copy)
    bool ok() const { return error.empty(); }
};

// What an edit does to the freshest list: the new list, or none to leave the file
// untouched.
using WatchListChange = std::function<std::optional<WatchList>(const WatchList&)>;

// Takes the edit lock beside the list (see EditLock), then reads the list, applies
// `change` and saves the result atomically, checking that the file then holds it.
// A file that exists but cannot be read is an error and is left as it is: editing
// what reads as empty would drop every entry. When the lock is not had within the
// wait, nothing is read or written and the error says so.
EditOutcome editWatchList(const WatchListChange& change, const std::string& path = dataPath());
EditOutcome editWatchList(const WatchListChange& change, const std::string& path,
                          std::chrono::milliseconds lockWait);

// Writes the master switch under its edit lock and checks it reads back; the error
// line, empty on success.
std::string editMaster(bool on, const std::string& path = masterPath());
std::string editMaster(bool on, const std::string& path, std::chrono::milliseconds lockWait);

} // namespace KestruneCore
