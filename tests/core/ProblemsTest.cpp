#include "health/Problems.h"
#include "TempDir.h"
#include "core/Paths.h"
#include "health/AppLiveness.h"

#include <gtest/gtest.h>

using namespace KestruneCore;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

AppEntry app(std::string name, std::string path, bool enabled = true) {
    return {std::move(name), std::move(path), enabled, EntryType::app, ""};
}
AppEntry service(std::string name, std::string path) {
    return {std::move(name), std::move(path), true, EntryType::service, "launch.sh"};
}
Problem problem(std::string name, Severity s, std::string kind = "hung-restarting") {
    return {std::move(name), std::move(kind), s, "1700000000", ""};
}

} // namespace

TEST(Problems, SeverityWordWinsOverKindAndUnknownLinesAreSkipped) {
    auto problems = parseProblems("Mail\thung-restarting\tstuck\t100\tdetail text\n"
                                  "Notes\tretrying\tStuck\t101\t\n"
                                  "Odd\tmystery\tSTUCK\t102\tx\n"
                                  "Web\tnot-running-relaunching\t\t103\tstarting\n"
                                  "Db\tretry-limit\t\t104\n"
                                  "Short\tretry-limit\tstuck\n"
                                  "Wide\tmystery\trestarting\t105\td\tf6\tf7\n"
                                  "\n\n");
    ASSERT_EQ(problems.size(), 5u);
    EXPECT_EQ(problems[0],
              (Problem{"Mail", "hung-restarting", Severity::stuck, "100", "detail text"}));
    // Letter case differs from "stuck": the kind decides.
    EXPECT_EQ(problems[1].severity, Severity::stuck);
    EXPECT_EQ(problems[2],
              (Problem{"Web", "not-running-relaunching", Severity::restarting, "103", "starting"}));
    EXPECT_EQ(problems[3], (Problem{"Db", "retry-limit", Severity::stuck, "104", ""}));
    EXPECT_EQ(problems[4], (Problem{"Wide", "mystery", Severity::restarting, "105", "d"}));

    EXPECT_EQ(severity("retrying"), Severity::stuck);
    EXPECT_EQ(severity("Retrying"), std::nullopt);
    EXPECT_EQ(kindSeverity().size(), 10u);
    EXPECT_EQ(severityFromRaw(" stuck"), std::nullopt);
}

TEST(Problems, FileReadingToleratesDamage) {
    TempDir tmp;
    ScopedHome h(tmp.path());
    EXPECT_EQ(problemsPath(), stateFolder() + "/problems.tsv");
    EXPECT_TRUE(loadProblems().empty()); // missing

    // CR LF ends do not leak a CR into the detail; a line cut mid-way is skipped.
    auto path = tmp.write("p.tsv", "A\tretrying\t\t1\tdetail\r\nB\tretry-li");
    auto problems = loadProblems(path);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].detail, "detail");

    // NUL bytes are ordinary characters; invalid UTF-8 rejects the file as a whole.
    EXPECT_EQ(
        loadProblems(tmp.write("nul.tsv", std::string("A\0B\tretrying\t\t1\n", 16))).front().name,
        std::string("A\0B", 3));
    EXPECT_TRUE(loadProblems(tmp.write("bad.tsv", "A\tretrying\t\t1\xff\n")).empty());
    EXPECT_TRUE(loadProblems(tmp.path()).empty()); // a folder

    std::string big;
    for (int i = 0; i < 50000; ++i)
        big += "Entry" + std::to_string(i) + "\tretrying\t\t1\tsome detail\n";
    EXPECT_EQ(loadProblems(tmp.write("big.tsv", big)).size(), 50000u);
}

TEST(AppLiveness, OnlyRestartingProblemsOfRunningAppsAreDropped) {
    std::vector<AppEntry> apps = {service("Twin", "/srv/twin"), app("Twin", "/apps/Twin.app"),
                                  app("Mail", "/apps/Mail.app"), service("Web", "/srv/web")};
    std::vector<std::string> asked;
    auto running = [&](const std::string& p) {
        asked.push_back(p);
        return true;
    };
    std::vector<Problem> problems = {
        problem("Twin", Severity::restarting), problem("Mail", Severity::stuck),
        problem("Web", Severity::restarting), problem("Nobody", Severity::restarting),
        problem("Mail", Severity::restarting)};
    auto live = liveProblems(problems, apps, running);
    EXPECT_EQ(live, (std::vector<Problem>{problems[1], problems[2], problems[3]}));
    // The app entry's path decides, not the service of the same name listed first.
    EXPECT_EQ(asked, (std::vector<std::string>{"/apps/Twin.app", "/apps/Mail.app"}));

    EXPECT_EQ(liveProblems(problems, {}, running), problems);
    EXPECT_EQ(liveProblems(problems, apps, [](const std::string&) { return false; }), problems);
}

TEST(AppLiveness, SubtitleTexts) {
    auto mail = app("Mail", "/apps/Mail.app");
    auto off = app("Mail", "/apps/Mail.app", false);
    std::vector<Problem> none;
    std::vector<Problem> both = {problem("Mail", Severity::restarting),
                                 problem("Mail", Severity::stuck),
                                 problem("Other", Severity::stuck)};
    std::vector<Problem> restarting = {problem("Mail", Severity::restarting)};

    EXPECT_EQ(appSubtitle(mail, true, none, std::nullopt), "Running");
    EXPECT_EQ(appSubtitle(mail, false, none, std::string("09:41")),
              "Not running \u00B7 Last relaunched 09:41");
    EXPECT_EQ(appSubtitle(mail, true, both, std::string("09:41")), "Running \u00B7 Needs you");
    EXPECT_EQ(appSubtitle(mail, false, restarting, std::nullopt), "Restarting\u2026");
    EXPECT_EQ(appSubtitle(off, false, none, std::nullopt), "Not running \u00B7 Off");
    EXPECT_EQ(appSubtitle(off, false, restarting, std::nullopt), "Restarting\u2026 \u00B7 Off");
    EXPECT_EQ(appSubtitle(mail, true, {problem("Other", Severity::stuck)}, std::nullopt),
              "Running");
}
