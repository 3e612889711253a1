#include "app/CommandLine.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace Kestrune {

namespace {

// The options QGuiApplication and QApplication remove from the command line, written
// without their leading dash (Qt takes one dash or two). The rest take no value.
constexpr std::array<std::string_view, 13> qtOptionsWithValue = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "qmljsdebugger"};
constexpr std::array<std::string_view, 5> qtFlags = {"reverse", "widgetcount", "nograb", "dograb",
                                                     "sync"};

template <std::size_t N>
bool among(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

CommandLine usageError(std::string message) {
    CommandLine line;
    line.action = CommandLine::Action::usageError;
    line.error = std::move(message) + " (try --help)";
    return line;
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            line.action = CommandLine::Action::help;
            return line;
        }
        if (a == "--version") {
            line.action = CommandLine::Action::version;
            return line;
        }
        if (a == "--open-settings") {
            line.openSettings = true;
            continue;
        }
        if (a.size() < 2 || a[0] != '-')
            return usageError("unexpected argument '" + a + "'");
        std::string_view name(a);
        name.remove_prefix(a[1] == '-' ? 2 : 1);
        if (among(qtFlags, name))
            continue;
        if (auto eq = name.find('=');
            eq != std::string_view::npos && among(qtOptionsWithValue, name.substr(0, eq)))
            continue;
        if (among(qtOptionsWithValue, name)) {
            if (i + 1 >= args.size())
                return usageError("missing value after '" + a + "'");
            ++i;
            continue;
        }
        return usageError("unknown option '" + a + "'");
    }
    return line;
}

const char* commandLineHelp() {
    return "Usage: kestrune [--open-settings]\n"
           "\n"
           "Shows the Kestrune tray icon, starts the keep-alive engine's user unit\n"
           "(kestrune-engine.service) and keeps running until \"Quit kestrune completely\".\n"
           "\n"
           "Options:\n"
           "  --open-settings   open the Settings window at start\n"
           "  --help            this text\n"
           "  --version         the version of kestrune\n"
           "\n"
           "Qt's own options (-platform NAME, -style NAME, -reverse, ...) are accepted too.\n"
           "\n"
           "Exit status: 0 done, 2 wrong usage.\n";
}

} // namespace Kestrune
