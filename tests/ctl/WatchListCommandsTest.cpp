// The editing commands, run as a real process against a temporary home: what they
// leave in the watch list, the master switch file and the activity log.
#include "CtlHome.h"

#include "core/FileIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace KestruneTest;

namespace {

// The log's lines without their time stamps: "[name] message".
std::vector<std::string> logMessages(const CtlHome& home) {
    std::vector<std::string> out;
    for (const auto& line : KestruneCore::splitLines(readAll(home.logPath())))
        out.push_back(line.size() > 20 ? line.substr(20) : line);
    return out;
}

} // namespace

TEST(CtlWatchListCommands, AddAppAddsNewPathsOnceAndLogsEach) {
    CtlHome home;
    home.dir().mkdir("Apps/Notes.app");
    home.dir().mkdir("Apps/Mail.app");
    std::string tool = home.dir().write("bin/sync tool", "#!/bin/sh\n", true);
    // A desktop entry goes by its Name, as the application menu shows it.
    std::string viewer = home.dir().write(
        "share/debian-viewer.desktop",
        "[Desktop Entry]\nType=Application\nName=Picture Viewer\nExec=" + tool + "\n");
    home.writeWatchList("1\tMail\t" + home.dir() / "Apps/Mail.app" + "\tapp\n");

    // Relative and trailing-slash forms are stored as the absolute path a file panel
    // would give; the listed one is skipped.
    auto r = home.run({"add-app", "Apps/Notes.app/", "Apps/Mail.app", tool, viewer});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(readAll(home.watchListPath()),
              "1\tMail\t" + home.dir() / "Apps/Mail.app" + "\tapp\n" + "1\tNotes\t" +
                  home.dir() / "Apps/Notes.app" + "\tapp\n" + "1\tsync tool\t" + tool + "\tapp\n" +
                  "1\tPicture Viewer\t" + viewer + "\tapp\n");
    EXPECT_EQ(logMessages(home), (std::vector<std::string>{
                                     "[Notes] added to keep-alive list",
                                     "[sync tool] added to keep-alive list",
                                     "[Picture Viewer] added to keep-alive list",
                                 }));

    // Everything already listed: nothing is written or logged.
    auto before = home.snapshot();
    EXPECT_EQ(home.run({"add-app", "Apps/Notes.app"}).status, 0);
    EXPECT_EQ(home.snapshot(), before);
}

TEST(CtlWatchListCommands, AddingAnEntryWhoseStateFilesAreTakenIsRefused) {
    CtlHome home;
    home.makeService("a/web app");
    home.makeService("b/web_app");
    ASSERT_EQ(home.run({"add-service", "a/web app"}).status, 0);
    auto before = home.snapshot();
    auto r = home.run({"add-service", "b/web_app"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("Cannot add web_app: it would share its state files with web app – "
                            "rename one of the folders"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(home.snapshot(), before);
}

TEST(CtlWatchListCommands, AddServiceDetectsMethodAndExplainsUnknownOnes) {
    CtlHome home;
    std::string shop = home.makeService("Projects/shop");
    home.dir().write("Projects/shop/README.md", "intro\n#  Shop Front \n# Later\n");
    std::string notes = home.dir().mkdir("Projects/notes");

    auto r = home.run({"add-service", "Projects/shop"});
    EXPECT_EQ(r.status, 0) << r.output;
    r = home.run({"add-service", notes + "/"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("notes was added\nKestrune doesn't know how to start this folder, "
                            "so it will only report when it's down. Adding an executable "
                            "scripts/launch.sh fixes that.\n"),
              std::string::npos)
        << r.output;

    EXPECT_EQ(readAll(home.watchListPath()), "1\tShop Front\t" + shop +
                                                 "\tservice\tlaunch.sh\n1\tnotes\t" + notes +
                                                 "\tservice\tunknown\n");
    EXPECT_EQ(logMessages(home),
              (std::vector<std::string>{
                  "[Shop Front] service added to keep-alive list (start method: launch.sh)",
                  "[notes] service added to keep-alive list (start method: unknown)",
              }));
}

TEST(CtlWatchListCommands, RemoveAndSwitchOffFindEntriesByNameOrPath) {
    CtlHome home;
    std::string web = home.makeService("web");
    home.writeWatchList("1\tMail\t/Apps/Mail.app\tapp\n"
                        "1\tweb\t" +
                        web +
                        "\tservice\tlaunch.sh\n"
                        "0\tMail\t/Apps/Mail.app\tapp\n");

    auto r = home.run({"off", "web/"});
    EXPECT_EQ(r.status, 0) << r.output;
    // Duplicates of one path and type are one entry; the first is switched off.
    r = home.run({"off", "Mail"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(readAll(home.watchListPath()), "0\tMail\t/Apps/Mail.app\tapp\n"
                                             "0\tweb\t" +
                                                 web +
                                                 "\tservice\tlaunch.sh\n"
                                                 "0\tMail\t/Apps/Mail.app\tapp\n");
    // Removing drops every entry with that path and type.
    r = home.run({"remove", "/Apps/Mail.app"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(readAll(home.watchListPath()), "0\tweb\t" + web + "\tservice\tlaunch.sh\n");
    EXPECT_EQ(logMessages(home), (std::vector<std::string>{
                                     "[web] keep-alive off (from settings)",
                                     "[Mail] keep-alive off (from settings)",
                                     "[Mail] removed from keep-alive list",
                                 }));
}

TEST(CtlWatchListCommands, SwitchingOnAServiceResetsItsBackoffAndAsksForACheck) {
    CtlHome home;
    home.useFakeSystemctl(0);
    std::string web = home.makeService("web");
    home.writeWatchList("0\tweb\t" + web + "\tservice\tlaunch.sh\n");
    home.writeState("svc_web_.trying", "1700000000\n");
    home.writeState("svc_web_.check", "1700000000\thttp://x/\tdown\tNothing answering\n");
    home.writeState("svc_web2_.trying", "1700000000\n");
    home.writeProblems("web\tretrying\tstuck\t1700000000\tNothing answering\n"
                       "db\tretrying\tstuck\t1700000000\t\n");

    auto r = home.run({"on", "web"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(readAll(home.watchListPath()), "1\tweb\t" + web + "\tservice\tlaunch.sh\n");
    EXPECT_FALSE(KestruneCore::fileExists(home.stateFolder() + "/svc_web_.trying"));
    EXPECT_FALSE(KestruneCore::fileExists(home.stateFolder() + "/svc_web_.check"));
    EXPECT_TRUE(KestruneCore::fileExists(home.stateFolder() + "/svc_web2_.trying"));
    EXPECT_TRUE(KestruneCore::fileExists(home.stateFolder() + "/svc_web_.toggled"));
    EXPECT_EQ(readAll(home.stateFolder() + "/problems.tsv"), "db\tretrying\tstuck\t1700000000\t\n");
    EXPECT_EQ(logMessages(home),
              (std::vector<std::string>{
                  "[web] keep-alive on (from settings)",
                  "[web] switched on in Settings -> checking now (starts it if down)",
              }));
    EXPECT_EQ(home.systemctlCalls(), "--user start --no-block kestrune-engine.service\n");

    // With the master switch off nothing is started, but the back-off is still reset.
    home.writeMaster("off\n");
    EXPECT_EQ(home.run({"off", "web"}).status, 0);
    home.writeState("svc_web_.next", "1700000000\n");
    EXPECT_EQ(home.run({"on", "web"}).status, 0);
    EXPECT_FALSE(KestruneCore::fileExists(home.stateFolder() + "/svc_web_.next"));
    auto messages = logMessages(home);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3], "[web] keep-alive on (from settings)");
    EXPECT_EQ(home.systemctlCalls(), "--user start --no-block kestrune-engine.service\n");
}

TEST(CtlWatchListCommands, SwitchingOnAnAppLaunchesIt) {
    CtlHome home;
    // The "app" writes a marker file so the launch is visible.
    std::string app = home.dir().write("bin/marker", "#!/bin/sh\ntouch \"$HOME/launched\"\n", true);
    home.writeWatchList("0\tmarker\t" + app + "\tapp\n");
    auto r = home.run({"on", "marker"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(logMessages(home), (std::vector<std::string>{
                                     "[marker] keep-alive on (from settings)",
                                     "[marker] ACTION: switched on in Settings -> launching now",
                                 }));
    for (int i = 0; i < 600 && !KestruneCore::fileExists(home.dir() / "launched"); ++i)
        usleep(50 * 1000);
    EXPECT_TRUE(KestruneCore::fileExists(home.dir() / "launched"));
}

TEST(CtlWatchListCommands, MasterSwitchWritesItsFileAndLogsUnderKestrune) {
    CtlHome home;
    EXPECT_EQ(home.run({"master", "off"}).status, 0);
    EXPECT_EQ(readAll(home.masterPath()), "off\n");
    EXPECT_EQ(home.run({"master", "off"}).status, 0); // already off: nothing more
    EXPECT_EQ(home.run({"master", "on"}).status, 0);
    EXPECT_EQ(readAll(home.masterPath()), "on\n");
    EXPECT_EQ(logMessages(home), (std::vector<std::string>{
                                     "[Kestrune] keep apps alive: off (from settings)",
                                     "[Kestrune] keep apps alive: on (from settings)",
                                 }));
}

TEST(CtlWatchListCommands, LogPrintsTheLastLines) {
    CtlHome home;
    std::string text;
    for (int i = 1; i <= 30; ++i)
        text += "2025-03-14 09:26:" + std::string(i < 10 ? "0" : "") + std::to_string(i) +
                " [Mail] line " + std::to_string(i) + "\n\n";
    home.writeLog(text);
    auto r = home.run({"log", "-n", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "2025-03-14 09:26:29 [Mail] line 29\n"
                        "2025-03-14 09:26:30 [Mail] line 30\n");
    EXPECT_EQ(home.run({"log"}).output.substr(0, 34), "2025-03-14 09:26:11 [Mail] line 11");
    EXPECT_EQ(home.run({"log", "-n0"}).output, "");

    // A log far larger than one read still gives whole lines from its end.
    std::string big(300 * 1024, 'x');
    home.writeLog("first\n" + big + "\nlast\n");
    r = home.run({"log", "-n", "2"});
    EXPECT_EQ(r.output, big + "\nlast\n");
    EXPECT_EQ(home.run({"log", "-n", "5"}).output, "first\n" + big + "\nlast\n");
}

TEST(CtlWatchListCommands, LogReadsBackwardsInBoundedMemory) {
    CtlHome home;
    // Whatever the blocks the file is read in, the lines are those of the whole text.
    std::string block(64 * 1024 - 3, 'y');
    const std::vector<std::string> texts{"a\r\nb\r\n\n\nc", "only", "\n\n", "a\n" + block + "\nb\n",
                                         block + "\r\n" + block + "\r\nz"};
    for (const auto& text : texts) {
        home.writeLog(text);
        for (std::size_t n : {1, 2, 4}) {
            auto lines = KestruneCore::splitLines(text);
            std::string expected;
            for (std::size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i)
                expected += lines[i] + "\n";
            EXPECT_EQ(home.run({"log", "-n", std::to_string(n)}).output, expected)
                << text.size() << " bytes, -n " << n;
        }
    }

    // A log ending in 1 GiB of NULs (sparse) is not read whole: its last line shows by
    // its end, and a line after the run is found as any other.
    home.writeLog("early\n");
    ASSERT_EQ(::truncate(home.logPath().c_str(), 1L << 30), 0);
    auto r = home.run({"log", "-n", "20"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.find("early"), std::string::npos);
    EXPECT_LT(r.output.size(), 32u << 20);
    int fd = ::open(home.logPath().c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "\nlast\n", 6), 6);
    ::close(fd);
    EXPECT_EQ(home.run({"log", "-n", "1"}).output, "last\n");
}
