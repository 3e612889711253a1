// The running operating system, as the version line of the diagnostics names it.
#pragma once

#include <string>

namespace KestruneCore {

struct OperatingSystemVersion {
    // macOS is named by its three version numbers ("macOS 14.5.0"); any other system
    // by `description` (on Linux: the distribution's name and the kernel release).
    bool isMacOS = false;
    int major = 0;
    int minor = 0;
    int patch = 0;
    std::string description;

    bool operator==(const OperatingSystemVersion&) const = default;
};

// The system this process runs on.
OperatingSystemVersion runningSystemVersion();

// The PRETTY_NAME of an os-release file ("Debian GNU/Linux 12 (bookworm)"), falling
// back to NAME + " " + VERSION_ID; empty when the file has neither.
std::string osReleaseName(const std::string& path);

// How the system reads in the version line: "macOS 14.5.0" or the description.
std::string systemVersionText(const OperatingSystemVersion& os);

} // namespace KestruneCore
