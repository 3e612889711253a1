// Kestrune's fixed file locations. Every location is built by tilde expansion at
// the time of the call, so a changed HOME (tests, --home) takes effect at once.
#pragma once

#include <string>

namespace KestruneCore {

// Standard tilde expansion: "~" or "~/x" uses HOME (or the password database when
// HOME is unset), "~user/x" that user's home folder; other paths are unchanged.
std::string home(const std::string& path);

// Abbreviates the current home folder at the start of a path to "~".
std::string abbreviatingWithTilde(const std::string& path);

// "~/Library/Application Support/Kestrune"
std::string dataFolder();
// data folder + "/apps.tsv"
std::string dataPath();
// data folder + "/apps.seed.tsv"
std::string seedPath();
// data folder + "/master"
std::string masterPath();
// data folder + "/state": every file shared with the keep-alive engine lives here.
std::string stateFolder();
// "~/Library/Logs"
std::string logsFolder();

} // namespace KestruneCore
