// How a service folder is started, and its short label as stored in the watch list.
#pragma once

#include <string>

namespace KestruneCore {

struct StartMethod {
    enum class Kind { script, launchSh, unknown };

    Kind kind = Kind::unknown;
    std::string runner;     // script only: "npm", "yarn", "pnpm" or "bun"
    std::string scriptName; // script only: "dev" or "start" in practice

    StartMethod() = default;
    // Reads a label back: "launch.sh", "<runner> <script>" with a known runner, else
    // unknown. Never fails.
    explicit StartMethod(const std::string& label);

    static StartMethod script(std::string runner, std::string scriptName);
    static StartMethod launchSh();
    static StartMethod unknown();

    // "launch.sh", "unknown" or runner + " " + script name.
    std::string label() const;

    bool operator==(const StartMethod&) const = default;
};

// First match wins: an executable scripts/launch.sh; a package.json script ("dev",
// else "start") run by the runner its lock file names (npm without one); unknown.
StartMethod detectStartMethod(const std::string& dir);

} // namespace KestruneCore
