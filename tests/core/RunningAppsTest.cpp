#include "platform/RunningApps.h"
#include "TempDir.h"
#include "health/AppLiveness.h"
#include "platform/AppLauncher.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace KestruneCore;
using KestruneTest::TempDir;
using namespace std::chrono_literals;

namespace {

std::string copyOfSleep(const TempDir& tmp, const std::string& relative) {
    std::string to = tmp / relative;
    std::filesystem::create_directories(std::filesystem::path(to).parent_path());
    std::filesystem::copy_file("/bin/sleep", to);
    std::filesystem::permissions(to, std::filesystem::perms::owner_all);
    return to;
}

// Waits (generously, only to avoid hanging) until `running` reports `expected`.
bool eventually(const std::string& path, bool expected) {
    for (int i = 0; i < 500; ++i) {
        if (appIsRunning(path) == expected)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Stops a detached child even when an assertion fails half-way.
struct Stopper {
    std::vector<pid_t> pids;
    ~Stopper() {
        for (pid_t p : pids)
            ::kill(p, SIGKILL);
    }
};

} // namespace

TEST(RunningApps, AnExecutableIsFoundByItsExactPathWhileItRuns) {
    TempDir tmp;
    std::string exe = copyOfSleep(tmp, "bin/kestrune-sleeper");
    std::string twin = copyOfSleep(tmp, "elsewhere/kestrune-sleeper");
    EXPECT_FALSE(appIsRunning(exe));

    Stopper stop;
    auto child = spawnDetached({exe, "30"});
    ASSERT_TRUE(child.ok) << child.error;
    stop.pids.push_back(child.pid);
    EXPECT_TRUE(eventually(exe, true));
    EXPECT_EQ(processesRunning(exe), std::vector<pid_t>{child.pid});
    EXPECT_FALSE(appIsRunning(exe + "/"));
    EXPECT_FALSE(appIsRunning(twin)); // another copy of the same program
    EXPECT_FALSE(appIsRunning(""));

    ::kill(child.pid, SIGTERM);
    EXPECT_TRUE(eventually(exe, false));
}

TEST(RunningApps, BundlesAndDesktopFilesAreOpenedAndRecognised) {
    TempDir tmp;
    Stopper stop;

    // An .app bundle: its program under Contents/MacOS stands for the bundle.
    std::string bundle = tmp / "Sleeper.app";
    copyOfSleep(tmp, "Sleeper.app/Contents/MacOS/Sleeper");
    tmp.write("Sleeper.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleExecutable</key><string>Sleeper</string></dict></plist>\n");
    auto plan = launchPlan(bundle);
    ASSERT_TRUE(plan.command) << plan.error;
    EXPECT_EQ(plan.command->argv, std::vector<std::string>{bundle + "/Contents/MacOS/Sleeper"});
    // Without arguments sleep exits at once; start it by hand with one to watch it.
    auto b = spawnDetached({bundle + "/Contents/MacOS/Sleeper", "30"});
    ASSERT_TRUE(b.ok);
    stop.pids.push_back(b.pid);
    EXPECT_TRUE(eventually(bundle, true));
    EXPECT_FALSE(appIsRunning(bundle + "/"));

    // A .desktop file opened by us carries its own path in the environment.
    std::string real = copyOfSleep(tmp, "bin/desk-sleeper");
    std::string desktop =
        tmp.write("apps/sleeper.desktop", "[Desktop Entry]\nType=Application\nName=Sleeper\n"
                                          "Exec=" +
                                              real + " 30 %U\n");
    auto opened = openApplication(desktop);
    ASSERT_TRUE(opened.ok) << opened.error;
    stop.pids.push_back(opened.pid);
    EXPECT_TRUE(eventually(desktop, true));
    ::kill(opened.pid, SIGKILL);
    EXPECT_TRUE(eventually(desktop, false));

    // Started some other way, it is recognised by the program of its Exec line, even
    // when that line names a link to it.
    std::filesystem::create_symlink(real, tmp / "bin/link");
    std::string viaLink =
        tmp.write("apps/link.desktop", "[Desktop Entry]\nExec=\"" + tmp / "bin/link" + "\" 30\n");
    auto direct = spawnDetached({real, "30"});
    ASSERT_TRUE(direct.ok);
    stop.pids.push_back(direct.pid);
    EXPECT_TRUE(eventually(viaLink, true));
}

TEST(RunningApps, LaunchFailuresCarryTheSystemsReason) {
    TempDir tmp;
    EXPECT_EQ(openApplication(tmp / "missing").error, std::strerror(ENOENT));
    EXPECT_EQ(openApplication(tmp.write("notes.txt", "x")).error, std::strerror(EACCES));
    EXPECT_EQ(openApplication(tmp / "missing.desktop").error, std::strerror(ENOENT));
    tmp.mkdir("Empty.app");
    EXPECT_FALSE(openApplication(tmp / "Empty.app").ok);
    EXPECT_FALSE(openApplication(tmp.write("x.desktop", "[Desktop Entry]\nExec=\n")).ok);
    EXPECT_FALSE(openApplication(tmp.write("y.desktop", "[Other]\nExec=true\n")).ok);
}

TEST(RunningApps, BundlePathsOfOneProcess) {
    EXPECT_EQ(bundlePathsOf("/opt/Notes.app/Contents/MacOS/Notes", std::string("/a/n.desktop"),
                            std::nullopt),
              (std::vector<std::string>{"/opt/Notes.app/Contents/MacOS/Notes", "/opt/Notes.app",
                                        "/a/n.desktop"}));
    // Only a program directly in Contents/MacOS of a folder named *.app counts.
    EXPECT_EQ(
        bundlePathsOf("/opt/Notes.app/Contents/MacOS/sub/x", std::nullopt, std::nullopt).size(),
        1u);
    EXPECT_EQ(
        bundlePathsOf("/opt/Notes/Contents/MacOS/x", std::nullopt, std::string("/i.AppImage")),
        (std::vector<std::string>{"/opt/Notes/Contents/MacOS/x", "/i.AppImage"}));

    // Our own process shows up in the list with its executable.
    auto all = runningApplications();
    bool me = std::any_of(all.begin(), all.end(),
                          [](const RunningApp& a) { return a.pid == ::getpid(); });
    EXPECT_TRUE(me);
}
