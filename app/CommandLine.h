// The command line of kestrune. It is read before Qt starts, so --help, --version and
// wrong usage are answered without a display; Qt's own options (-platform, -style,
// ...) are let through for QApplication to take.
#pragma once

#include <string>
#include <vector>

namespace Kestrune {

struct CommandLine {
    enum class Action { run, help, version, usageError };
    Action action = Action::run;
    bool openSettings = false;
    std::string error; // the one-line reason, for usageError
};

// `args` without the program name.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// What --help prints.
const char* commandLineHelp();

} // namespace Kestrune
