// The diagnostics bundle: a few small text files about this program, with the
// user's home folder replaced by "~", that can travel with a feedback message.
#pragma once

#include "core/ActivityLog.h"
#include "feedback/SystemVersion.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace KestruneCore {

// Where the bundle's texts come from. All paths are absolute.
struct DiagnosticSources {
    std::string home;     // replaced by "~" in every text
    std::string log;      // the activity log
    std::string apps;     // the watch list
    std::string problems; // the engine's problems file
    std::string reports;  // the folder of crash reports

    // The real locations for the current user.
    static DiagnosticSources live();

    bool operator==(const DiagnosticSources&) const = default;
};

// File name → text.
using DiagnosticsBundle = std::map<std::string, std::string>;

// A zip of this size or more is not uploaded.
inline constexpr std::uintmax_t attachmentLimit = 8'388'608;

// The feedback folder (KestruneCore::feedbackFolder): the zips go here.
std::string defaultFeedbackDir();

// The version this build was configured with, or "dev" when it has none.
std::string appVersion();

// "Kestrune " + app + " · " + the system's description ("macOS 14.5.0" on macOS).
std::string versionLine(const std::string& app = appVersion(),
                        const OperatingSystemVersion& os = runningSystemVersion());

// Collects the bundle; never fails (unreadable sources become empty texts).
DiagnosticsBundle gatherDiagnostics(const DiagnosticSources& sources, const std::string& versions,
                                    Clock::time_point now);

// Replaces the home folder in `text` with "~" wherever it stands as a path of its
// own: an occurrence that merely begins a longer name ("/home/al" in "/home/alice")
// is another path and stays as it is.
std::string redact(std::string_view text, std::string_view home);

// The bundle as one text, "== name ==" sections in a fixed order.
std::string feedbackPreview(const DiagnosticsBundle& files);

// At most 60 000 user-perceived characters; longer texts end in "\n… (truncated)".
std::string capLogs(std::string_view text);

} // namespace KestruneCore
