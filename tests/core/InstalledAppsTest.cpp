#include "platform/InstalledApps.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace KestruneCore;
using KestruneTest::ScopedEnv;
using KestruneTest::TempDir;

namespace {

std::string entry(const std::string& name, const std::string& extra = "") {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=x\n" + extra;
}

} // namespace

TEST(InstalledApps, ListsWhatTheMenuShowsEarlierFoldersFirst) {
    TempDir tmp;
    const std::string user = tmp.path() + "/user/applications";
    const std::string sys = tmp.path() + "/sys/applications";
    tmp.write("user/applications/editor.desktop", entry("Editor (mine)", "Icon=/i/e.png\n"));
    tmp.write("sys/applications/editor.desktop", entry("Editor"));
    // A user's hidden copy takes the system's entry out of the menu.
    tmp.write("user/applications/mail.desktop", entry("Mail", "Hidden=true\n"));
    tmp.write("sys/applications/mail.desktop", entry("Mail"));
    tmp.write("sys/applications/daemon.desktop", entry("Daemon", "NoDisplay=true\n"));
    tmp.write("sys/applications/link.desktop", "[Desktop Entry]\nType=Link\nName=Web\n");
    tmp.write("sys/applications/nameless.desktop", "[Desktop Entry]\nType=Application\n");
    tmp.write("sys/applications/notes.txt", entry("Not an entry"));
    tmp.write("sys/applications/kde/term.desktop", entry("terminal"));
    tmp.write("sys/applications/zed.desktop", entry("Zed\tTabbed"));
    // A FIFO under an entry's name is passed over, never waited on.
    ASSERT_EQ(::mkfifo((sys + "/fifo.desktop").c_str(), 0600), 0);

    auto apps = installedApps({user, tmp.path() + "/missing/applications", sys});
    std::vector<InstalledApp> expected = {
        {"editor.desktop", "Editor (mine)", "/i/e.png", user + "/editor.desktop"},
        {"kde-term.desktop", "terminal", "", sys + "/kde/term.desktop"},
        {"zed.desktop", "Zed Tabbed", "", sys + "/zed.desktop"},
    };
    EXPECT_EQ(apps, expected);

    EXPECT_EQ(desktopEntryName(sys + "/zed.desktop"), "Zed Tabbed");
    EXPECT_EQ(desktopEntryName(sys + "/nameless.desktop"), std::nullopt);
    EXPECT_EQ(desktopEntryName(sys + "/notes.txt"), std::nullopt);
}

TEST(InstalledApps, FoldersFollowTheXdgVariables) {
    ScopedEnv home("HOME", "/h");
    {
        ScopedEnv dataHome("XDG_DATA_HOME", std::nullopt);
        ScopedEnv dataDirs("XDG_DATA_DIRS", std::nullopt);
        EXPECT_EQ(applicationFolders(), (std::vector<std::string>{"/h/.local/share/applications",
                                                                  "/usr/local/share/applications",
                                                                  "/usr/share/applications"}));
    }
    ScopedEnv dataHome("XDG_DATA_HOME", "relative");
    ScopedEnv dataDirs("XDG_DATA_DIRS", "/a::rel:/b/");
    EXPECT_EQ(applicationFolders(),
              (std::vector<std::string>{"/h/.local/share/applications", "/a/applications",
                                        "/b/applications"}));
}
