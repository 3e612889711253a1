// Kestrune's fixed file locations: the one place that knows where files live. They
// follow the XDG base folders; every location is built at the time of the call, so a
// changed HOME or XDG variable (tests, --home) takes effect at once.
#pragma once

#include <string>

namespace KestruneCore {

// Standard tilde expansion: "~" or "~/x" uses HOME (or the password database when
// HOME is unset), "~user/x" that user's home folder; other paths are unchanged.
std::string home(const std::string& path);

// Abbreviates the current home folder at the start of a path to "~".
std::string abbreviatingWithTilde(const std::string& path);

// The base folders of one home folder: each from its XDG variable when that is set
// and absolute, else its default under the home folder. No trailing "/".
struct BaseFolders {
    std::string config; // $XDG_CONFIG_HOME, else home + "/.config"
    std::string state;  // $XDG_STATE_HOME, else home + "/.local/state"
    std::string cache;  // $XDG_CACHE_HOME, else home + "/.cache"

    bool operator==(const BaseFolders&) const = default;
};
BaseFolders baseFolders(const std::string& homeFolder);
// Those of the current home folder (HOME).
BaseFolders baseFolders();

// What the user chose: config base + "/kestrune"
std::string dataFolder();
// data folder + "/apps.tsv"
std::string dataPath();
// data folder + "/apps.seed.tsv"
std::string seedPath();
// data folder + "/master"
std::string masterPath();
// What the engine saw, shared with the tray program: state base + "/kestrune".
std::string stateFolder();
// The activity log and the service logs: the state folder too.
std::string logsFolder();
// What is rebuilt when missing: cache base + "/kestrune".
std::string cacheFolder();
// cache folder + "/discovered.tsv": the found project folders.
std::string discoveredPath();
// cache folder + "/icons": icons fetched from running services.
std::string liveIconFolder();
// cache folder + "/feedback": the diagnostics zips.
std::string feedbackFolder();
// config base + "/systemd/user": where `kestrune-engine install` puts its unit.
std::string userUnitFolder();

} // namespace KestruneCore
