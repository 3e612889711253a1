#include "core/Paths.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <optional>

using namespace KestruneCore;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

TEST(Paths, LocationsFollowHomeAndTheBaseFolderVariables) {
    TempDir tmp;
    ScopedHome h(tmp.path());
    const std::string t = tmp.path();
    struct Case {
        std::optional<std::string> config, state, cache; // the variables; nullopt: unset
        std::string wantConfig, wantState, wantCache;
    };
    const Case cases[] = {
        {{}, {}, {}, t + "/.config", t + "/.local/state", t + "/.cache"},
        {t + "/c", t + "/s/", t + "/k//", t + "/c", t + "/s", t + "/k"},
        // Relative or empty values are not base folders.
        {"rel/c", "", "./k", t + "/.config", t + "/.local/state", t + "/.cache"},
        {t + "/c", {}, "k", t + "/c", t + "/.local/state", t + "/.cache"},
    };
    for (const auto& c : cases) {
        KestruneTest::ScopedEnv config("XDG_CONFIG_HOME", c.config);
        KestruneTest::ScopedEnv state("XDG_STATE_HOME", c.state);
        KestruneTest::ScopedEnv cache("XDG_CACHE_HOME", c.cache);
        SCOPED_TRACE(c.wantConfig + " " + c.wantState + " " + c.wantCache);
        EXPECT_EQ(dataPath(), c.wantConfig + "/kestrune/apps.tsv");
        EXPECT_EQ(seedPath(), c.wantConfig + "/kestrune/apps.seed.tsv");
        EXPECT_EQ(masterPath(), c.wantConfig + "/kestrune/master");
        EXPECT_EQ(userUnitFolder(), c.wantConfig + "/systemd/user");
        EXPECT_EQ(stateFolder(), c.wantState + "/kestrune");
        EXPECT_EQ(logsFolder(), c.wantState + "/kestrune");
        EXPECT_EQ(discoveredPath(), c.wantCache + "/kestrune/discovered.tsv");
        EXPECT_EQ(liveIconFolder(), c.wantCache + "/kestrune/icons");
        EXPECT_EQ(feedbackFolder(), c.wantCache + "/kestrune/feedback");
        // Another home folder gets its own defaults, the same variables.
        EXPECT_EQ(baseFolders("/elsewhere").state,
                  c.wantState == t + "/.local/state" ? "/elsewhere/.local/state" : c.wantState);
    }
}

TEST(Paths, TildeExpansionAndAbbreviation) {
    TempDir tmp;
    ScopedHome h(tmp.path());
    EXPECT_EQ(home("~"), tmp.path());
    EXPECT_EQ(home("~/a/b"), tmp.path() + "/a/b");
    EXPECT_EQ(home("/abs/~x"), "/abs/~x");
    EXPECT_EQ(home("rel"), "rel");
    EXPECT_EQ(home("~root/x"), "/root/x");
    EXPECT_EQ(home("~no-such-user-kestrune/x"), "~no-such-user-kestrune/x");
    EXPECT_EQ(abbreviatingWithTilde(tmp.path() + "/.local/state/x.log"), "~/.local/state/x.log");
    EXPECT_EQ(abbreviatingWithTilde(tmp.path()), "~");
    // A sibling folder whose name merely starts with the home path is not inside it.
    EXPECT_EQ(abbreviatingWithTilde(tmp.path() + "x/y"), tmp.path() + "x/y");
}
