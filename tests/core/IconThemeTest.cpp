#include "platform/IconTheme.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace KestruneCore;
using KestruneTest::TempDir;

TEST(IconTheme, NamesFoundBySizeThroughInheritedThemesThenHicolor) {
    TempDir tmp;
    const std::string user = tmp.mkdir("user"), system = tmp.mkdir("system");
    tmp.write("system/Blue/index.theme", "[Icon Theme]\nName=Blue\nInherits=Base\n"
                                         "Directories=16x16/apps,48x48/apps,scalable/apps\n\n"
                                         "[16x16/apps]\nSize=16\nType=Fixed\n\n"
                                         "[48x48/apps]\nSize=48\nType=Fixed\n\n"
                                         "[scalable/apps]\nSize=48\nType=Scalable\nMinSize=8\n"
                                         "MaxSize=512\n");
    tmp.write("system/Blue/16x16/apps/mail.png", "x");
    tmp.write("system/Blue/48x48/apps/mail.png", "x");
    tmp.write("system/Blue/16x16/apps/small.png", "x");
    tmp.write("system/Blue/scalable/apps/draw.svg", "x");
    // A FIFO is never offered as a picture, whatever its name.
    tmp.mkdir("system/Blue/48x48/apps");
    ASSERT_EQ(::mkfifo((system + "/Blue/48x48/apps/pipe.png").c_str(), 0600), 0);
    tmp.write("system/Blue/16x16/apps/pipe.png", "x");
    tmp.write("system/Base/index.theme", "[Icon Theme]\nInherits=Blue\n"
                                         "Directories=32x32/apps\n[32x32/apps]\nSize=32\n");
    tmp.write("system/Base/32x32/apps/term.png", "x");
    tmp.write("system/hicolor/index.theme",
              "[Icon Theme]\nDirectories=64x64/apps\n[64x64/apps]\nSize=64\n");
    tmp.write("system/hicolor/64x64/apps/clock.png", "x");
    // A user's own copy in an earlier base folder of the same theme comes first.
    tmp.write("user/Blue/48x48/apps/mail.png", "x");
    tmp.write("system/loose.xpm", "x");

    const IconThemeSearch search{{user, system}, "Blue"};
    const struct {
        const char* name;
        int pixels;
        std::optional<std::string> file;
    } cases[] = {
        {"mail", 48, user + "/Blue/48x48/apps/mail.png"},
        {"mail", 20, system + "/Blue/16x16/apps/mail.png"},
        {"mail.png", 44, user + "/Blue/48x48/apps/mail.png"},
        {"small", 64, system + "/Blue/16x16/apps/small.png"},
        {"draw", 256, system + "/Blue/scalable/apps/draw.svg"},
        {"pipe", 48, system + "/Blue/16x16/apps/pipe.png"},
        {"term", 64, system + "/Base/32x32/apps/term.png"}, // inherited, despite the loop
        {"clock", 16, system + "/hicolor/64x64/apps/clock.png"},
        {"loose", 32, system + "/loose.xpm"},
        {"missing", 32, std::nullopt},
        {"../Blue/16x16/apps/mail", 16, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.pixels));
        EXPECT_EQ(themeIconFile(search, c.name, c.pixels), c.file);
    }
}
