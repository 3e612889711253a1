// Two entries whose names give the same state-file stem would share the engine's
// state files, and one would show the other's health. Such a clash is refused when
// an entry is added and reported by the engine when a list already holds one.
#pragma once

#include "core/AppEntry.h"
#include "core/WatchList.h"

#include <optional>
#include <string>

namespace KestruneCore {

// The stem of an entry's state files as the engine uses it: stateKey, or for an app
// whose bundle cannot be read, its sanitised name.
std::string entryStem(const AppEntry& entry);

// The first listed entry, other than one at the entry's own path, whose state files
// the entry would share.
std::optional<AppEntry> stemTakenBy(const WatchList& list, const AppEntry& entry);

// Why adding `entry` is refused: it names the entry already holding the stem.
std::string stemClashRefusal(const AppEntry& entry, const AppEntry& other);

// The "name-clash" problem's detail for the later of two clashing entries.
std::string nameClashDetail(const std::string& otherName);

} // namespace KestruneCore
