// Packs a diagnostics bundle into "kestrune-diagnostics-<stamp>.zip".
#pragma once

#include "core/ActivityLog.h"
#include "feedback/Diagnostics.h"

#include <optional>
#include <string>

namespace KestruneCore {

// "kestrune-diagnostics-" + `now` as local "yyyy-MM-dd-HHmmss".
std::string diagnosticsBaseName(Clock::time_point now);

// Writes the bundle's files at the top level of `dir`/<base name>.zip (replacing a zip
// of the same name) and gives the zip's path, or nullopt when no zip could be made.
// The files are staged in a fresh private folder that is removed afterwards; a name
// that is not a plain file name is left out.
std::optional<std::string> writeZip(const DiagnosticsBundle& files, const std::string& dir,
                                    Clock::time_point now = Clock::now());

} // namespace KestruneCore
