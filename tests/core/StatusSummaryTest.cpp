#include "health/StatusSummary.h"

#include <gtest/gtest.h>

using namespace KestruneCore;

namespace {

Problem problem(const std::string& name, Severity s, const std::string& kind,
                const std::string& detail = {}) {
    return Problem{name, kind, s, "0", detail};
}

} // namespace

TEST(StatusSummary, IconStatePrecedence) {
    std::vector<Problem> some{problem("A", Severity::stuck, "retrying")};
    EXPECT_EQ(iconState(some, true, false, {"A"}), IconState::off);
    EXPECT_EQ(iconState(some, false, true, {"A"}), IconState::off);
    EXPECT_EQ(iconState({}, true, true, {"A"}), IconState::red);
    EXPECT_EQ(iconState(some, true, true, {"A"}), IconState::red);
    EXPECT_EQ(iconState(some, true, true, {}), IconState::orange);
    EXPECT_EQ(iconState({}, true, true, {}), IconState::healthy);
}

TEST(StatusSummary, MenuLines) {
    auto unknown = problem("shop", Severity::restarting, "unknown-start", "x");
    EXPECT_EQ(menuLine(unknown, true), "shop is down \u2013 Kestrune doesn't know how to start it");
    EXPECT_EQ(menuLine(unknown, false), menuLine(unknown, true));
    auto stuck = problem("web", Severity::stuck, "retrying");
    EXPECT_EQ(menuLine(stuck, true), "web is down \u2013 needs you");
    stuck.detail = "Port 3000 closed";
    EXPECT_EQ(menuLine(stuck, true), "web is down \u2013 Port 3000 closed");
    EXPECT_EQ(menuLine(stuck, false), "web couldn't be relaunched \u2013 needs you");
    EXPECT_EQ(menuLine(problem("M", Severity::restarting, "hung-restarting"), false),
              "M isn't responding \u2013 restarting\u2026");
    EXPECT_EQ(menuLine(problem("M", Severity::restarting, "Hung-restarting"), true),
              "M quit \u2013 restarting\u2026");
}

TEST(StatusSummary, Tooltips) {
    std::vector<Problem> two{problem("A", Severity::stuck, "retrying"),
                             problem("B", Severity::restarting, "hung-restarting")};
    EXPECT_EQ(statusTooltip(IconState::healthy, two, {"x"}), "Kestrune: ON");
    EXPECT_EQ(statusTooltip(IconState::off, two, {"x"}), "Kestrune: OFF");
    EXPECT_EQ(statusTooltip(IconState::orange, two, {}), "Kestrune: problems \u2013 A, B");
    EXPECT_EQ(statusTooltip(IconState::red, two, {"web", "db"}),
              "Kestrune: taking longer than expected to start \u2013 web, db");
    EXPECT_EQ(rawValue(IconState::red), "red");
}

TEST(StatusSummary, LastRelaunchFromTheLatestActionLine) {
    std::string log =
        "2025-03-14 09:26:53 [Mail] ACTION: not running -> open\n"
        "2025-03-14 11:02:10 [Mail] ACTION: switched on in Settings -> launching now\n"
        "2025-03-14 12:00:00 [Mail] started: ok\n"
        "2025-03-14 12:30:00 [Mail Beta] ACTION: x\n";
    EXPECT_EQ(lastRelaunch(log, "Mail"), "11:02");
    EXPECT_EQ(lastRelaunch(log, "Notes"), std::nullopt);
    EXPECT_EQ(lastRelaunch("x  [Mail] ACTION\n", "Mail"), "[Mail");
}
