// The serving engine opens apps that die at once; why each died reaches its problem,
// the activity log and `details`.
#include "CtlHome.h"

#include "core/FileIO.h"
#include "platform/Process.h"

#include <csignal>
#include <gtest/gtest.h>
#include <thread>

using namespace KestruneTest;

TEST(CtlAppFailure, AnAppThatDiesAtOnceSaysWhyEverywhere) {
    CtlHome home;
    struct Case {
        std::string name, script, reason;
    };
    const Case cases[] = {
        {"nodisplay", "echo 'nodisplay: cannot open display: :0' >&2\nexit 1\n",
         "exited with status 1 (cannot open display)"},
        {"aborts", "kill -ABRT $$\n", "killed by signal 6"},
    };
    std::string list;
    for (const auto& c : cases)
        list += "1\t" + c.name + "\t" +
                home.dir().write("bin/" + c.name, "#!/bin/sh\n" + c.script, true) + "\tapp\n";
    home.writeWatchList(list);

    auto engine =
        KestruneCore::spawnDetached({KESTRUNE_ENGINE_PATH, "serve", "--home", home.path()},
                                    {{"HOME", home.path()},
                                     {"KESTRUNE_SERVICE_HOST", "group"},
                                     {"KESTRUNE_AGENT_BACKEND", "none"}});
    ASSERT_TRUE(engine) << engine.error;
    struct Stop {
        pid_t pid;
        ~Stop() { ::kill(pid, SIGTERM); }
    } stop{engine.pid};

    auto problems = [&] {
        return KestruneCore::readFile(home.stateFolder() + "/problems.tsv").value_or("");
    };
    // A guard against hangs, not a measurement: the first failed open of each.
    for (int i = 0; i < 600; ++i) {
        auto text = problems();
        if (text.find(cases[0].reason) != std::string::npos &&
            text.find(cases[1].reason) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    auto log = KestruneCore::readFile(home.logPath()).value_or("");
    for (const auto& c : cases) {
        EXPECT_NE(problems().find(c.name + "\trelaunch-failed\t"), std::string::npos) << problems();
        EXPECT_NE(problems().find("\t" + c.reason + "\n"), std::string::npos) << problems();
        EXPECT_NE(log.find("[" + c.name + "] open failed: " + c.reason + "\n"), std::string::npos)
            << log;
        auto details = home.run({"details", c.name});
        EXPECT_EQ(details.status, 0) << details.output;
        EXPECT_NE(details.output.find("\nCause: " + c.reason + "\n"), std::string::npos)
            << details.output;
    }
}
