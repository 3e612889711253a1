// The app rules of a pass: relaunching, waiting for it to come up, giving up.
#include "EngineTestSupport.h"

#include "core/FileIO.h"
#include "core/Paths.h"

#include <gtest/gtest.h>

using namespace KestruneEngine;
using namespace KestruneEngineTest;

namespace {

EntryState appState(const std::string& name) {
    return EntryState(KestruneCore::stateFolder(), name + "_");
}

} // namespace

TEST(AppRules, AQuitAppIsOpenedAgainAndItsStartRecorded) {
    EngineHarness h;
    const std::string path = h.tmp / "Apps/Notes.app";
    h.addApp("Notes", path);
    h.running[path] = true;
    h.pass();
    EXPECT_TRUE(h.opened.empty());
    EXPECT_TRUE(h.problems().empty());

    h.running[path] = false;
    auto result = h.pass();
    ASSERT_EQ(h.opened, std::vector<std::string>{path});
    EXPECT_NE(h.log().find("[Notes] ACTION: not running -> open\n"), std::string::npos);
    auto p = h.problemOf("Notes");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind, "not-running-relaunching");
    EXPECT_EQ(p->detail, "relaunching");
    ASSERT_TRUE(result.nextDue);
    EXPECT_LT(*result.nextDue, h.now + 1); // looks again soon

    // Still coming up: not opened twice.
    h.now += 2;
    h.pass();
    EXPECT_EQ(h.opened.size(), 1u);

    h.running[path] = true;
    h.now += 1;
    h.pass();
    EXPECT_TRUE(h.problems().empty());
    EXPECT_NE(h.log().find("[Notes] started: running after 3s\n"), std::string::npos);
    auto records = KestruneTest::readAll(KestruneCore::stateFolder() + "/startup-times.tsv");
    EXPECT_NE(records.find("Notes\t"), std::string::npos);
    EXPECT_NE(records.find("\t3\trelaunch\thealthy\n"), std::string::npos);
}

TEST(AppRules, AnAppThatNeverComesUpIsRetriedThenGivenUpOn) {
    EngineHarness h;
    const std::string path = h.tmp / "Apps/Notes.app";
    h.addApp("Notes", path);
    for (int opened = 1; opened <= 5; ++opened) {
        h.pass();
        EXPECT_EQ(h.opened.size(), static_cast<std::size_t>(opened));
        h.now += 61; // longer than an app may take without a start history
    }
    h.pass();
    EXPECT_EQ(h.opened.size(), 5u);
    ASSERT_TRUE(h.problemOf("Notes"));
    EXPECT_EQ(h.problemOf("Notes")->kind, "retry-limit");
    EXPECT_NE(h.log().find("[Notes] retry limit reached after 5 attempts\n"), std::string::npos);
    h.now += 3600;
    h.pass();
    EXPECT_EQ(h.opened.size(), 5u);

    // Switching it on again (the program clears its files) starts over.
    for (auto suffix : {".attempts", ".since", ".trying"})
        appState("Notes").remove(suffix);
    h.pass();
    EXPECT_EQ(h.opened.size(), 6u);
}

TEST(AppRules, AnOpenThatFailsAtOnceIsBackedOff) {
    EngineHarness h;
    const std::string path = h.tmp / "Apps/Gone.app";
    h.addApp("Gone", path);
    h.openError = "No such file or directory";
    h.pass();
    EXPECT_NE(h.log().find("[Gone] open failed: No such file or directory\n"), std::string::npos);
    auto p = h.problemOf("Gone");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind, "relaunch-failed");
    EXPECT_EQ(p->severity, KestruneCore::Severity::stuck);
    EXPECT_EQ(p->detail, "No such file or directory");

    h.now += 29;
    h.pass();
    EXPECT_EQ(h.opened.size(), 1u);
    EXPECT_EQ(h.problemOf("Gone")->since, p->since);
    h.now += 1;
    h.pass();
    EXPECT_EQ(h.opened.size(), 2u);
}
