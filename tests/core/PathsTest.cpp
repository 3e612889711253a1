#include "core/Paths.h"
#include "TempDir.h"

#include <gtest/gtest.h>

using namespace KestruneCore;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

TEST(Paths, FixedLocationsFollowHome) {
    TempDir tmp;
    ScopedHome h(tmp.path());
    EXPECT_EQ(dataPath(), tmp.path() + "/Library/Application Support/Kestrune/apps.tsv");
    EXPECT_EQ(seedPath(), tmp.path() + "/Library/Application Support/Kestrune/apps.seed.tsv");
    EXPECT_EQ(masterPath(), tmp.path() + "/Library/Application Support/Kestrune/master");
    EXPECT_EQ(stateFolder(), tmp.path() + "/Library/Application Support/Kestrune/state");
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
    EXPECT_EQ(abbreviatingWithTilde(tmp.path() + "/Library/Logs/x.log"), "~/Library/Logs/x.log");
    EXPECT_EQ(abbreviatingWithTilde(tmp.path()), "~");
    // A sibling folder whose name merely starts with the home path is not inside it.
    EXPECT_EQ(abbreviatingWithTilde(tmp.path() + "x/y"), tmp.path() + "x/y");
}
