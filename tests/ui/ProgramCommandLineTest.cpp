// kestrune's command line is answered before Qt starts: with no display at all, wrong
// usage is one line and status 2, --help and --version answer, and Qt's own options
// are let through.
#include "CommandLineCheck.h"

#include <gtest/gtest.h>

TEST(ProgramCommandLine, WrongUsageIsOneLineAndStatusTwoWithoutADisplay) {
    // Were Qt started first, it would abort for want of a display instead.
    KestruneCore::ProcessOptions noDisplay;
    noDisplay.environment = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", "xcb"}};
    KestruneTest::expectCommandLines(
        KESTRUNE_PATH, "kestrune", {},
        {
            {{"--help"}, 0, "Usage: kestrune [--open-settings]\n"},
            {{"--open-settings", "-h"}, 0, "Usage: kestrune"},
            {{"--version"}, 0, "kestrune "},
            {{"-platform", "offscreen", "-reverse", "--style=Fusion", "--version"}, 0, "kestrune "},
            {{"--bogus"}, 2, "unknown option '--bogus'"},
            {{"-platform", "offscreen", "--open-settings", "-x"}, 2, "unknown option '-x'"},
            {{"settings"}, 2, "unexpected argument 'settings'"},
            {{"--open-settings", "-platform"}, 2, "missing value after '-platform'"},
        },
        noDisplay);
}
