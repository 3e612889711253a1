// kestrune-engine's command line as a user or a script meets it: wrong usage is one
// line and status 2, before any file is touched; --help and --version answer.
#include "CommandLineCheck.h"
#include "TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

TEST(EngineCommandLine, WrongUsageIsOneLineAndStatusTwoHelpAndVersionAnswer) {
    KestruneTest::TempDir home;
    KestruneTest::expectCommandLines(
        KESTRUNE_ENGINE_PATH, "kestrune-engine", {"--home=" + home.path()},
        {
            {{"--help"}, 0, "Usage: kestrune-engine [--home DIR] COMMAND\n"},
            {{"run", "-h"}, 0, "Usage: kestrune-engine"},
            {{"--version"}, 0, "kestrune-engine "},
            {{"version"}, 0, "kestrune-engine "},
            {{}, 2, "missing command"},
            {{"run", "--bogus"}, 2, "unknown option '--bogus'"},
            {{"-x", "serve"}, 2, "unknown option '-x'"},
            {{"run", "now"}, 2, "unexpected argument 'now'"},
            {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
            {{"serve", "--key", "web"}, 2, "--key applies only to exec-service"},
            {{"exec-service"}, 2, "exec-service needs --key"},
            {{"--version=1"}, 2, "takes no value"},
            {{"run", "--home"}, 2, "missing value after --home"},
        });
    EXPECT_TRUE(std::filesystem::is_empty(home.path())) << "wrong usage wrote into the home";
}
