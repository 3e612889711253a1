// Wrong usage and failed actions: a one-line message naming the problem, exit status
// 2 for usage and 1 for a failed action, and no file touched.
#include "CtlHome.h"

#include "platform/Process.h"

#include <gtest/gtest.h>

using namespace KestruneTest;

namespace {

struct BadCase {
    std::vector<std::string> args;
    int status;
    std::string message; // must appear in the one line printed
};

} // namespace

TEST(CtlBadInput, RejectsWithOneLineAndChangesNothing) {
    CtlHome home;
    home.dir().mkdir("Apps/Mail.app");
    home.dir().write("notes.txt", "hello\n");
    std::string web = home.makeService("web");
    home.writeWatchList("1\ttwin\t" + home.dir() / "Apps/Mail.app" + "\tapp\n" + "1\ttwin\t" + web +
                        "\tservice\tlaunch.sh\n" + "1\tMail\t" + home.dir() / "Apps/Mail.app" +
                        "\tapp\n");
    home.writeLog("2025-03-14 09:26:53 [Mail] added to keep-alive list\n");
    // Names and paths with a TAB would split their watch-list line.
    home.dir().write("tab\tapp", "#!/bin/sh\n", true);
    home.dir().write("readme/README.md", "# Tab\there\n");

    const std::vector<BadCase> cases = {
        {{}, 2, "missing command"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"status", "--verbose"}, 2, "unknown option '--verbose'"},
        {{"-x", "log"}, 2, "unknown option '-x'"},
        {{"status", "now"}, 2, "status: unexpected argument 'now'"},
        {{"log", "5"}, 2, "log: unexpected argument '5'"},
        {{"--version=1"}, 2, "takes no value"},
        {{"add-app"}, 2, "add-app: missing PATH"},
        {{"remove", "a", "b"}, 2, "unexpected argument 'b'"},
        {{"master"}, 2, "master: missing on|off"},
        {{"master", "On"}, 2, "expected on or off"},
        {{"log", "-n", "-3"}, 2, "whole number"},
        {{"log", "-n"}, 2, "missing number"},
        {{"log", "--json"}, 2, "does not apply to log"},
        {{"--agent-backend", "upstart", "status"}, 2, "unknown agent backend 'upstart'"},
        {{"--home"}, 2, "missing folder after --home"},
        {{"--home", "/nonexistent/kestrune-home", "status"}, 2, "no such folder"},
        {{"remove", "Nobody"}, 1, "no entry named or at 'Nobody'"},
        {{"on", "twin"}, 1, "'twin' matches several entries"},
        {{"add-app", "Apps/Mail.app", "Apps/Gone.app"}, 1, "no such file or folder: Apps/Gone.app"},
        {{"add-app", "notes.txt"}, 1, "not an app: notes.txt"},
        {{"add-service", "nowhere"}, 1, "no such folder: nowhere"},
        {{"add-service", "notes.txt"}, 1, "not a folder: notes.txt"},
        {{"add-app", "tab\tapp"}, 1, "tab or line break"},
        {{"add-service", "readme"}, 1, "holds a tab"},
        {{"details", "Nobody"}, 1, "no entry named or at 'Nobody'"},
    };
    auto before = home.snapshot();
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += "'" + a + "' ";
        auto r = home.run(c.args);
        EXPECT_EQ(r.status, c.status) << shown << r.output;
        EXPECT_EQ(r.output.rfind("kestrunectl: ", 0), 0u) << shown << r.output;
        EXPECT_EQ(r.output.find('\n'), r.output.size() - 1) << shown << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << shown << r.output;
        EXPECT_EQ(home.snapshot(), before) << shown;
    }

    // Help and the version are not errors.
    auto help = home.run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.rfind("Usage: kestrunectl", 0), 0u);
    auto version = home.run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output.rfind("kestrunectl ", 0), 0u);
}

TEST(CtlBadInput, UnreadableWatchListIsNeverOverwritten) {
    CtlHome home;
    home.dir().mkdir("Apps/Notes.app");
    // Not UTF-8: it reads as an empty list, so saving would lose the entry.
    home.writeWatchList("1\tCaf\xe9\t/Apps/Cafe.app\tapp\n");
    auto before = home.snapshot();
    for (auto args : std::vector<std::vector<std::string>>{
             {"add-app", "Apps/Notes.app"}, {"add-service", "Apps"}, {"remove", "Café"}}) {
        auto r = home.run(args);
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_EQ(home.snapshot(), before);
    }
    // Reading commands still work and never crash on the content.
    EXPECT_EQ(home.run({"status", "--json"}).status, 0);
}
