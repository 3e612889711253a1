// The service rules of a pass, driven by an injected clock and health answers.
#include "EngineTestSupport.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "engine/EngineLock.h"
#include "engine/StartRunner.h"
#include "health/Backoff.h"
#include "services/ServiceCheck.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

using namespace KestruneEngine;
using namespace KestruneEngineTest;
using KestruneCore::Severity;

namespace {

const char* webJson = R"({"healthcheck":{"url":"http://web.test/","retries":2},
                          "start_grace_seconds":10})";

std::string stampAt(double t) {
    return KestruneCore::timestamp(
        KestruneCore::Clock::time_point(std::chrono::duration_cast<KestruneCore::Clock::duration>(
            std::chrono::duration<double>(t))));
}

} // namespace

TEST(ServiceRules, ChecksOnItsIntervalToleratesRetriesThenStartsADownService) {
    EngineHarness h;
    h.addService("web", webJson);
    h.pass();
    EXPECT_EQ(h.checks, 1);
    EXPECT_TRUE(h.problems().empty());
    EXPECT_TRUE(h.service("web").exists(".healthy"));
    auto check = KestruneCore::ServiceCheck::load(KestruneCore::serviceCheckPath("web"));
    ASSERT_TRUE(check);
    EXPECT_EQ(check->result, "healthy (200)");

    h.now += 2; // not due before its 5 s interval
    h.pass();
    EXPECT_EQ(h.checks, 1);

    h.health["http://web.test/"] = EngineHarness::refused();
    for (int fail = 1; fail <= 2; ++fail) {
        h.now += 5;
        h.pass();
        EXPECT_EQ(h.service("web").count(".fails"), fail);
        EXPECT_TRUE(h.problems().empty());
    }
    EXPECT_EQ(h.starts("web"), 0);

    h.now += 5;
    h.pass();
    ASSERT_EQ(h.starts("web"), 1);
    EXPECT_EQ(h.host.starts[0].stem, "svc_web_");
    EXPECT_EQ(h.host.starts[0].method, "launch.sh");
    EXPECT_NE(h.log().find("[web] ACTION: down -> starting with launch.sh\n"), std::string::npos);
    auto p = h.problemOf("web");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind, "not-running-relaunching");
    EXPECT_EQ(p->severity, Severity::restarting);
    EXPECT_EQ(p->detail, "starting with launch.sh");
    EXPECT_EQ(p->since, stampAt(h.now));
    EXPECT_EQ(h.service("web").text(".trigger"), "down");
    check = KestruneCore::ServiceCheck::load(KestruneCore::serviceCheckPath("web"));
    ASSERT_TRUE(check);
    EXPECT_EQ(check->result, "refused");
    EXPECT_EQ(check->cause, "Nothing answering at the address");
}

TEST(ServiceRules, SwitchedOnActsOnTheFirstFailureAndRecordsTheStart) {
    EngineHarness h;
    h.addService("web", webJson);
    h.health["http://web.test/"] = EngineHarness::refused();
    h.service("web").write(".toggled", "");
    double t0 = h.now;
    h.pass();
    EXPECT_FALSE(h.service("web").exists(".toggled"));
    ASSERT_EQ(h.starts("web"), 1);
    EXPECT_NE(h.log().find("[web] ACTION: switched on in Settings -> starting with launch.sh"),
              std::string::npos);

    // Within the grace period a failing check only keeps it "starting", since unchanged.
    h.now += 4;
    h.pass();
    EXPECT_EQ(h.starts("web"), 1);
    ASSERT_TRUE(h.problemOf("web"));
    EXPECT_EQ(h.problemOf("web")->since, stampAt(t0));

    // Checks during a start come at most half a second apart, so the start is timed
    // to the second.
    h.health.clear();
    int checks = h.checks;
    h.now += 0.3;
    h.pass();
    EXPECT_EQ(h.checks, checks);
    EXPECT_TRUE(h.problemOf("web"));
    h.now += 0.3;
    h.pass();
    EXPECT_TRUE(h.problems().empty());
    EXPECT_NE(h.log().find("[web] started: healthy after 5s\n"), std::string::npos);
    EXPECT_EQ(KestruneTest::readAll(KestruneCore::stateFolder() + "/startup-times.tsv"),
              "web\t" + stampAt(t0) + "\t" + stampAt(h.now) + "\t5\tswitched on\thealthy\n");
    EXPECT_FALSE(h.service("web").exists(".trying"));
}

TEST(ServiceRules, FailedStartsBackOffDoublingUntilTheRetryLimit) {
    EXPECT_EQ(backoffSeconds(1), 30);
    EXPECT_EQ(backoffSeconds(4), 240);
    EXPECT_EQ(backoffSeconds(6), 900);
    EXPECT_EQ(backoffSeconds(40), 900);
    // Services: the first retry soon (the old copy may still have held the port).
    for (auto [attempts, seconds] : {std::pair{1, 2}, {2, 30}, {3, 60}, {5, 240}, {7, 900}})
        EXPECT_EQ(retryDelaySeconds(attempts), seconds) << attempts;

    EngineHarness h;
    h.addService("web", webJson);
    h.health["http://web.test/"] = EngineHarness::refused();
    h.service("web").write(".toggled", "");
    h.pass();
    ASSERT_EQ(h.starts("web"), 1);

    for (int attempt = 1; attempt <= 5; ++attempt) {
        h.now += 11; // past the 10 s grace
        h.pass();
        EXPECT_EQ(h.service("web").count(".attempts"), attempt);
        auto p = h.problemOf("web");
        ASSERT_TRUE(p);
        EXPECT_EQ(p->detail, "Nothing answering at the address");
        if (attempt == 5) {
            EXPECT_EQ(p->kind, "retry-limit");
            break;
        }
        EXPECT_EQ(p->kind, "retrying");
        EXPECT_EQ(p->severity, Severity::stuck);
        EXPECT_EQ(p->since, stampAt(h.now));
        auto next = h.service("web").whole(".next");
        ASSERT_TRUE(next);
        EXPECT_EQ(*next - static_cast<long long>(h.now), retryDelaySeconds(attempt));

        h.now = static_cast<double>(*next) - 1; // not yet due
        h.pass();
        EXPECT_EQ(h.starts("web"), attempt);
        EXPECT_EQ(h.problemOf("web")->kind, "retrying");
        EXPECT_EQ(h.problemOf("web")->since, p->since); // the same problem all along
        h.now += 1;
        h.pass();
        EXPECT_EQ(h.starts("web"), attempt + 1);
        EXPECT_NE(h.log().find("ACTION: retry " + std::to_string(attempt) +
                               " -> starting with launch.sh"),
                  std::string::npos);
    }
    EXPECT_NE(h.log().find("[web] retry limit reached after 5 attempts\n"), std::string::npos);
    EXPECT_EQ(h.log().find("start failed: ", 0) != std::string::npos, true);

    for (int i = 0; i < 5; ++i) {
        h.now += 1000;
        h.pass();
    }
    EXPECT_EQ(h.starts("web"), 5);
    EXPECT_EQ(h.problemOf("web")->kind, "retry-limit");

    // It came up by itself: the limit is over.
    h.health.clear();
    h.now += 10;
    h.pass();
    EXPECT_TRUE(h.problems().empty());
    EXPECT_FALSE(h.service("web").exists(".attempts"));
}

TEST(ServiceRules, TheStartCommandsExitDecidesAtOnce) {
    EngineHarness h;
    h.addService("web", webJson);
    h.addService("admin", R"({"healthcheck":{"url":"http://admin.test/"}})");
    h.addService("solo", R"({"healthcheck":{"url":"http://solo.test/"}})");
    h.addService("unit", R"({"healthcheck":{"url":"http://unit.test/"}})");
    for (auto name : {"web", "admin", "unit"}) {
        h.health[std::string("http://") + name + ".test/"] = EngineHarness::refused();
        h.service(name).write(".toggled", "");
    }
    h.pass();
    ASSERT_EQ(h.starts("web"), 1);
    ASSERT_EQ(h.starts("admin"), 1);

    std::ofstream(KestruneCore::serviceLogPath("admin"))
        << "Password:\nsudo: a password is required\n";
    h.now += 1;
    h.exitWith("web", 3);
    h.exitWith("admin", 1);
    // The manager refused the runner's unit after the pass: its words are the cause.
    h.service("unit").write(
        ".exit", KestruneEngine::exitRecordText({127, h.now, h.service("unit").seconds(".began"),
                                                 "could not start: Unit\tfull"}));
    h.pass();
    EXPECT_NE(h.log().find("[web] start failed: launch.sh exited with status 3\n"),
              std::string::npos);
    EXPECT_EQ(h.problemOf("web")->kind, "retrying");
    EXPECT_EQ(h.problemOf("web")->detail, "launch.sh exited with status 3");
    EXPECT_EQ(h.problemOf("admin")->kind, "needs-admin");
    EXPECT_EQ(h.problemOf("admin")->detail, "Needs your admin password");
    EXPECT_NE(h.log().find("[unit] start failed: could not start: Unit full\n"), std::string::npos);
    EXPECT_EQ(h.log().find("[unit] start failed: launch.sh"), std::string::npos);
    EXPECT_EQ(h.problemOf("unit")->kind, "retrying");
    EXPECT_EQ(h.problemOf("unit")->detail, "could not start: Unit full");
    EXPECT_TRUE(h.service("unit").exists(".next"));

    // A healthy service whose start command ends while it stops answering is down at
    // once: no tolerance for the failed check.
    EXPECT_FALSE(h.problemOf("solo"));
    h.health["http://solo.test/"] = EngineHarness::refused();
    h.now += 1;
    h.exitWith("solo", 137);
    h.pass();
    EXPECT_EQ(h.starts("solo"), 1);
    EXPECT_NE(h.log().find("[solo] ACTION: down -> starting with launch.sh"), std::string::npos);
}

TEST(ServiceRules, DyingSoonAfterTurningHealthyThreeTimesIsACrashLoop) {
    EngineHarness h;
    h.addService("web", webJson);
    h.pass(); // healthy, .healthy written
    for (int crash = 1; crash <= 3; ++crash) {
        h.now += 2;
        h.health["http://web.test/"] = EngineHarness::refused();
        h.exitWith("web", 137);
        h.pass();
        if (crash == 3)
            break;
        EXPECT_EQ(h.starts("web"), crash) << "restarted at once after crash " << crash;
        h.health.clear();
        h.now += 1;
        h.pass(); // turns healthy again
        EXPECT_TRUE(h.problems().empty());
    }
    EXPECT_EQ(h.starts("web"), 2);
    EXPECT_EQ(h.service("web").count(".attempts"), 1);
    ASSERT_TRUE(h.problemOf("web"));
    EXPECT_EQ(h.problemOf("web")->kind, "retrying");
    EXPECT_TRUE(h.service("web").exists(".next"));

    // Dying after a longer healthy stretch is an ordinary restart.
    EngineHarness calm;
    calm.addService("web", webJson);
    calm.pass();
    for (int i = 0; i < 4; ++i) {
        calm.now += 30;
        calm.health.clear();
        calm.pass();
        calm.health["http://web.test/"] = EngineHarness::refused();
        calm.exitWith("web", 137);
        calm.pass();
        calm.health.clear();
        calm.now += 1;
        calm.pass();
    }
    EXPECT_EQ(calm.starts("web"), 4);
    EXPECT_FALSE(calm.service("web").exists(".attempts"));
}

TEST(ServiceRules, AStartKilledFromOutsideIsACrashUntilItLoops) {
    EngineHarness h;
    h.addService("web", webJson);
    h.health["http://web.test/"] = EngineHarness::refused();
    h.service("web").write(".toggled", "");
    h.pass();
    ASSERT_EQ(h.starts("web"), 1);
    // SIGKILL or SIGTERM from someone else before the first check: started again at
    // once, three times in a row; the fourth in quick succession is a crash loop.
    const int statuses[] = {137, 143, 137, 137};
    for (int i = 0; i < 4; ++i) {
        h.now += 0.5;
        h.exitWith("web", statuses[i]);
        h.pass();
        bool loops = i == 3;
        EXPECT_EQ(h.starts("web"), loops ? 4 : i + 2) << i;
        EXPECT_EQ(h.problemOf("web")->kind, loops ? "retrying" : "not-running-relaunching") << i;
        EXPECT_EQ(h.log().find("start failed") != std::string::npos, loops) << i;
    }
    EXPECT_NE(h.log().find("[web] start failed: launch.sh exited with status 137\n"),
              std::string::npos);

    // Killed once more after a quiet spell: a crash again, not the loop going on.
    h.now += 3;
    h.pass();
    ASSERT_EQ(h.starts("web"), 5);
    h.now += crashWindowSeconds + 1;
    h.exitWith("web", 137);
    h.pass();
    EXPECT_EQ(h.starts("web"), 6);
    EXPECT_EQ(h.problemOf("web")->kind, "not-running-relaunching");

    // Killed before its first check three times, 11 s apart: each time started again
    // in the same pass, never a failed start.
    EngineHarness spaced;
    spaced.addService("web", webJson);
    spaced.health["http://web.test/"] = EngineHarness::refused();
    spaced.service("web").write(".toggled", "");
    spaced.pass();
    for (int kill = 1; kill <= 3; ++kill) {
        spaced.now += crashWindowSeconds + 1;
        spaced.exitWith("web", 137);
        spaced.pass();
        EXPECT_EQ(spaced.starts("web"), kill + 1);
        EXPECT_EQ(spaced.problemOf("web")->kind, "not-running-relaunching") << kill;
    }
    EXPECT_EQ(spaced.log().find("start failed"), std::string::npos);
}

TEST(ServiceRules, AttemptsResetAfterFiveHealthyMinutes) {
    EngineHarness h;
    h.addService("web", webJson);
    h.service("web").writeWhole(".attempts", 3);
    h.pass();
    h.now += 295;
    h.pass();
    EXPECT_EQ(h.service("web").count(".attempts"), 3);
    h.now += 5;
    h.pass();
    EXPECT_FALSE(h.service("web").exists(".attempts"));
}

TEST(ServiceRules, UnhealthyServicesFollowTheirRestartPolicy) {
    EngineHarness h;
    h.addService("ours", R"({"healthcheck":{"url":"http://ours.test/","retries":0},
                             "restart":"on-failure"})");
    h.addService("foreign", R"({"healthcheck":{"url":"http://foreign.test/","retries":0},
                                "restart":"on-failure"})");
    h.addService("watched", R"({"healthcheck":{"url":"http://watched.test/","retries":0}})");
    h.addService("manual", R"({"healthcheck":{"url":"http://manual.test/","retries":0}})",
                 "unknown");
    h.addService("manual-hung", R"({"healthcheck":{"url":"http://hung.test/","retries":0}})",
                 "unknown");
    for (auto name : {"ours", "foreign", "watched"})
        h.health[std::string("http://") + name + ".test/"] = EngineHarness::status(500);
    h.health["http://manual.test/"] = EngineHarness::refused();
    h.health["http://hung.test/"] = EngineHarness::status(500);
    h.service("ours").write(".pid", "77:1");
    h.host.alive["svc_ours_"] = true;

    h.pass();
    ASSERT_EQ(h.host.stops, std::vector<std::string>{"svc_ours_"});
    EXPECT_EQ(h.starts("ours"), 1);
    EXPECT_EQ(h.problemOf("ours")->kind, "hung-restarting");
    EXPECT_EQ(h.problemOf("ours")->severity, Severity::restarting);
    // The end of the runner it replaces comes first: start and end markers pair up.
    EXPECT_LT(h.log().find("[ours] launch.sh exited with status 143\n"),
              h.log().find("[ours] ACTION: unhealthy -> starting with launch.sh"));

    EXPECT_EQ(h.problemOf("foreign")->kind, "unsafe-to-rerun");
    EXPECT_EQ(h.problemOf("foreign")->detail, "Got 500 from the address");
    EXPECT_EQ(h.problemOf("watched")->kind, "watch-only-down");
    EXPECT_EQ(h.problemOf("manual")->kind, "unknown-start");
    EXPECT_EQ(h.problemOf("manual-hung")->kind, "watch-only-down");
    EXPECT_EQ(h.host.starts.size(), 1u);

    // Problems come out in watch-list order.
    std::vector<std::string> order;
    for (const auto& p : h.problems())
        order.push_back(p.name);
    EXPECT_EQ(order,
              (std::vector<std::string>{"ours", "foreign", "watched", "manual", "manual-hung"}));
}

TEST(ServiceRules, SwitchingOffAndOnKeepsTheRunnerItStarted) {
    EngineHarness h;
    h.addService("web", R"({"healthcheck":{"url":"http://web.test/","retries":0},
                           "restart":"on-failure","start_grace_seconds":10})");
    h.health["http://web.test/"] = EngineHarness::refused();
    h.service("web").write(".toggled", "");
    h.pass();
    ASSERT_EQ(h.starts("web"), 1);

    // Off and on again while it is still starting: the same start carries on.
    h.now += 2;
    KestruneCore::resetBackoff(h.list[0], KestruneCore::stateFolder());
    h.pass();
    EXPECT_EQ(h.starts("web"), 1);
    EXPECT_TRUE(h.host.stops.empty());
    EXPECT_EQ(h.problemOf("web")->kind, "not-running-relaunching");
    h.health.clear();
    h.now += 1;
    h.pass();
    EXPECT_TRUE(h.problems().empty());

    // Off and on while healthy, then it hangs: still ours, so it is restarted.
    KestruneCore::resetBackoff(h.list[0], KestruneCore::stateFolder());
    h.now += 1;
    h.pass();
    h.health["http://web.test/"] = EngineHarness::status(500);
    h.now += 10;
    h.pass();
    EXPECT_EQ(h.starts("web"), 2);
    EXPECT_EQ(h.host.stops, std::vector<std::string>{"svc_web_"});
    EXPECT_EQ(h.problemOf("web")->kind, "hung-restarting");
}

TEST(ServiceRules, ALaterEntrySharingAStemIsReportedAndNeverStarted) {
    EngineHarness h;
    // Two names of the same length in another script give the same key.
    h.addService("Сервер", R"({"healthcheck":{"url":"http://first.test/","retries":0}})");
    h.addService("Клиент", R"({"healthcheck":{"url":"http://second.test/","retries":0}})");
    h.health["http://second.test/"] = EngineHarness::refused();
    h.pass();
    h.now += 60;
    h.pass();
    EXPECT_TRUE(h.host.starts.empty());
    ASSERT_EQ(h.problems().size(), 1u);
    auto p = h.problems()[0];
    EXPECT_EQ(p.name, "Клиент");
    EXPECT_EQ(p.kind, "name-clash");
    EXPECT_EQ(p.severity, Severity::stuck);
    EXPECT_EQ(p.detail, "shares its state files with Сервер – rename one of the folders");
    EXPECT_EQ(p.since, stampAt(h.now - 60));
}

TEST(ServiceRules, OnlyEntriesSwitchedOnUnderTheMasterSwitchAreKeptAlive) {
    EngineHarness h;
    h.addService("web", webJson);
    h.addService("off", R"({"healthcheck":{"url":"http://off.test/","retries":0}})");
    h.health["http://web.test/"] = EngineHarness::status(500);
    h.health["http://off.test/"] = EngineHarness::refused();
    h.list[1].enabled = false;
    h.saveList();
    for (int i = 0; i < 4; ++i, h.now += 5)
        h.pass();
    EXPECT_EQ(h.checks, 4);
    EXPECT_EQ(h.problems().size(), 1u);
    EXPECT_EQ(h.host.starts.size(), 0u);

    // Switching the entry off drops its problem; the master switch off empties the file.
    h.list[0].enabled = false;
    h.saveList();
    h.pass();
    EXPECT_TRUE(h.problems().empty());
    h.list[0].enabled = true;
    h.saveList();
    KestruneCore::saveMaster(false);
    int checks = h.checks;
    h.now += 60;
    h.pass();
    EXPECT_EQ(h.checks, checks);
    EXPECT_EQ(KestruneTest::readAll(KestruneCore::stateFolder() + "/problems.tsv"), "");
}

TEST(ServiceRules, ServicesWithoutAHealthCheckAreStartedAndRestartedWhenTheyEnd) {
    EngineHarness h;
    h.addService("plain", "");                   // no launch.json
    h.addService("broken", "{\"healthcheck\":"); // malformed
    h.service("plain").write(".toggled", "");
    h.pass();
    EXPECT_EQ(h.starts("plain"), 1);
    EXPECT_EQ(h.starts("broken"), 0);
    EXPECT_EQ(h.checks, 0);

    // A start command that returns cleanly counts as started; ending later is down.
    h.now += 1;
    h.exitWith("plain", 0);
    h.pass();
    EXPECT_NE(h.log().find("[plain] started: health unknown after 1s"), std::string::npos);
    EXPECT_FALSE(h.problemOf("plain"));
    h.now += 60;
    h.pass();
    EXPECT_EQ(h.starts("plain"), 1);
    h.exitWith("plain", 1);
    h.pass();
    EXPECT_EQ(h.starts("plain"), 2);
}

TEST(ServiceRules, TroublesomeEntriesNeitherStopThePassNorEscapeTheStateFolder) {
    EngineHarness h;
    h.addService("a/../../b", R"({"healthcheck":{"url":"http://x.test/"}})");
    h.addService("..", R"({"healthcheck":{"url":"http://y.test/"}})");
    auto gone = h.addService("gone", R"({"healthcheck":{"url":"http://gone.test/"}})");
    std::filesystem::remove_all(gone);
    h.addService("twin", R"({"healthcheck":{"url":"http://t1.test/"}})");
    h.addService("twin", R"({"healthcheck":{"url":"http://t2.test/","retries":0}})");
    h.health["http://gone.test/"] = EngineHarness::refused();
    h.health["http://t2.test/"] = EngineHarness::refused();
    h.host.failWith = "No such file or directory";
    for (auto name : {"gone"})
        h.service(name).write(".toggled", "");
    h.pass();

    // The folder is gone and the runner cannot start: a failed start, backed off.
    ASSERT_TRUE(h.problemOf("gone"));
    EXPECT_EQ(h.problemOf("gone")->kind, "retrying");
    EXPECT_EQ(h.problemOf("gone")->detail, "could not start: No such file or directory");
    // Two entries with one name share one set of files; only the first is looked after,
    // the second is reported.
    EXPECT_EQ(h.starts("twin"), 0);
    ASSERT_TRUE(h.problemOf("twin"));
    EXPECT_EQ(h.problemOf("twin")->kind, "name-clash");
    for (const auto& entry : std::filesystem::directory_iterator(KestruneCore::stateFolder())) {
        auto name = entry.path().filename().string();
        bool log = name.rfind("kestrune", 0) == 0 && name.ends_with(".log");
        EXPECT_TRUE(name == "engine.lock" || name == "problems.tsv" ||
                    name == ".problems.tsv.lock" || name.rfind("svc_", 0) == 0 || log)
            << name;
    }
    EXPECT_TRUE(KestruneCore::fileExists(KestruneCore::serviceCheckPath("a/../../b")));
    std::set<std::string> top;
    for (const auto& entry : std::filesystem::directory_iterator(h.tmp.path()))
        top.insert(entry.path().filename().string());
    EXPECT_EQ(top, (std::set<std::string>{".config", ".local", "projects"}));
}

TEST(ServiceRules, APassThatCannotHaveTheLockDoesNothing) {
    EngineHarness h;
    h.addService("web", webJson);
    KestruneCore::makeFolders(KestruneCore::stateFolder());
    auto held = EngineLock::acquire(KestruneCore::stateFolder() + "/engine.lock",
                                    std::chrono::milliseconds(0));
    ASSERT_TRUE(held);
    h.env.lockWait = std::chrono::milliseconds(30);
    EXPECT_FALSE(h.pass().ran);
    EXPECT_EQ(h.checks, 0);
    held.reset();
    EXPECT_TRUE(h.pass().ran);
}

TEST(ServiceRules, FirstSightStartsAtOnceOtherFailuresAreConfirmedASecondApart) {
    EngineHarness h;
    const char* json = R"({"healthcheck":{"url":"http://%s.test/","retries":2}})";
    for (auto name : {"new", "known", "adopted"}) {
        char buf[128];
        std::snprintf(buf, sizeof buf, json, name);
        h.addService(name, buf);
    }
    h.health["http://new.test/"] = EngineHarness::refused();
    h.health["http://adopted.test/"] = EngineHarness::refused();
    // A runner of ours still runs: perhaps a dev server restarting, so tolerated.
    h.service("adopted").write(".pid", "77:1");
    h.host.alive["svc_adopted_"] = true;
    h.pass();
    EXPECT_EQ(h.starts("new"), 1);
    EXPECT_EQ(h.starts("adopted"), 0);
    EXPECT_EQ(h.service("adopted").count(".fails"), 1);

    // Seen healthy once, it gets the tolerance: confirmed by checks a second apart.
    h.health["http://known.test/"] = EngineHarness::refused();
    h.now += 5;
    h.pass();
    EXPECT_EQ(h.service("known").count(".fails"), 1);
    for (auto [step, fails] : {std::pair{0.9, 1}, {0.1, 2}}) {
        h.now += step;
        h.pass();
        EXPECT_EQ(h.service("known").count(".fails"), fails);
    }
    EXPECT_EQ(h.starts("known"), 0);
    h.now += 1;
    h.pass();
    EXPECT_EQ(h.starts("known"), 1);
}

TEST(ServiceRules, ChecksBesideThePassAreAppliedWithTheirOwnTimes) {
    EngineHarness h;
    auto folder = h.addService(
        "web", R"({"healthcheck":{"url":"http://web.test/"},"start_grace_seconds":3})");
    CheckFeed feed;
    std::vector<std::string> submitted;
    KestruneCore::ServiceConfig asked;
    feed.submit = [&](const std::string& stem, const KestruneCore::ServiceConfig& config) {
        submitted.push_back(stem);
        asked = config;
    };
    runPass(h.env, &feed);
    runPass(h.env, &feed); // still under way: not asked for twice, nothing decided
    EXPECT_EQ(submitted, std::vector<std::string>{"svc_web_"});
    EXPECT_EQ(h.checks, 0);
    EXPECT_TRUE(h.problems().empty());

    // Refused after a 4 s check (first sight): started at the moment of the start.
    double checked = h.now + 4;
    feed.underWay.clear();
    feed.arrived["svc_web_"] = {EngineHarness::refused(), h.now, checked, asked};
    h.now += 4.5;
    runPass(h.env, &feed);
    ASSERT_EQ(h.starts("web"), 1);
    auto check = KestruneCore::ServiceCheck::load(KestruneCore::serviceCheckPath("web"));
    ASSERT_TRUE(check);
    EXPECT_NEAR(std::chrono::duration<double>(check->time.time_since_epoch()).count(), checked,
                0.001);
    double began = h.now;
    EXPECT_EQ(h.service("web").seconds(".began"), began);

    // A check begun before the start says nothing about it; the next ones do, even one
    // that ends after the grace period while the pass runs later still.
    feed.underWay.clear();
    feed.arrived["svc_web_"] = {EngineHarness::healthy(), began - 1, began + 0.2, asked};
    h.now = began + 0.2;
    runPass(h.env, &feed);
    EXPECT_EQ(h.log().find("started:"), std::string::npos);
    EXPECT_EQ(submitted.size(), 2u);
    feed.underWay.clear();
    feed.arrived["svc_web_"] = {EngineHarness::healthy(), began + 1, began + 1.4, asked};
    h.now = began + 20;
    runPass(h.env, &feed);
    EXPECT_NE(h.log().find("[web] started: healthy after 1s\n"), std::string::npos);
    EXPECT_EQ(h.log().find("start failed"), std::string::npos);
    EXPECT_TRUE(h.problems().empty());

    // A failure found for a launch.json changed since is not applied: the check is made
    // again as the file now says.
    auto before = asked;
    ASSERT_TRUE(KestruneCore::writeFileAtomically(
        folder + "/scripts/launch.json", R"({"healthcheck":{"url":"http://web.test/v2"}})"));
    feed.underWay.clear();
    feed.arrived["svc_web_"] = {EngineHarness::refused(), h.now, h.now + 0.1, before};
    h.now += 10;
    runPass(h.env, &feed);
    EXPECT_TRUE(h.problems().empty());
    EXPECT_EQ(submitted.size(), 3u);
    EXPECT_EQ(asked.url, "http://web.test/v2");
}

TEST(ServiceRules, ACheckKeepsTheServiceLogWithinItsCap) {
    EngineHarness h;
    h.addService("web", webJson);
    ASSERT_TRUE(KestruneCore::makeFolders(KestruneCore::logsFolder()));
    std::string log = KestruneCore::serviceLogPath("web");
    ASSERT_TRUE(KestruneCore::appendToFile(log, "started\n"));
    ASSERT_EQ(::truncate(log.c_str(), KestruneCore::serviceLogCapBytes + 1), 0);
    h.pass();
    EXPECT_EQ(std::filesystem::file_size(log), 0u);
    EXPECT_EQ(std::filesystem::file_size(log + ".1"), KestruneCore::serviceLogCapBytes);
}

TEST(ServiceRules, AnEndMarkerCountsOnlyForTheLatestStart) {
    EngineHarness h; // a fresh home whose log the rows below write
    struct Case {
        std::vector<std::pair<std::string, std::string>> lines;
        bool logged;
    };
    const std::string ended = KestruneEngine::startEndMessage("launch.sh", 137);
    const Case cases[] = {
        {{}, false},
        {{{"web", "ACTION: down -> starting with launch.sh"}}, false},
        {{{"web", "ACTION: down -> starting with launch.sh"}, {"web", ended}}, true},
        // an earlier start's end, then a new start
        {{{"web", ended}, {"web", "ACTION: retry 1 -> starting with launch.sh"}}, false},
        // another entry's end, or a failure quoting the marker, is not this one's
        {{{"web", "ACTION: down -> starting with launch.sh"}, {"web app", ended}}, false},
        {{{"web", "ACTION: down -> starting with launch.sh"}, {"web", "start failed: " + ended}},
         false},
    };
    for (const auto& c : cases) {
        std::remove(KestruneCore::logPath().c_str());
        for (const auto& [name, message] : c.lines)
            KestruneCore::log(name, message);
        EXPECT_EQ(KestruneEngine::endMarkerLogged("web"), c.logged) << c.lines.size();
    }
}

TEST(ServiceRules, OnlyServicesWaitingForTheirNextCheckMayBeCheckedWithoutAPass) {
    EngineHarness h;
    h.addService("web", webJson);
    h.addService("db", R"({"healthcheck":{"url":"http://db.test/"}})");
    h.health["http://db.test/"] = EngineHarness::refused();
    h.pass(); // db, down and never seen, is started
    h.now += 1;
    auto result = h.pass();
    std::map<std::string, PassResult::RoutineCheck> routine;
    for (const auto& r : result.routine)
        routine[r.stem] = r;
    // web checks again a full interval on, and may go up to a second early with others;
    // db's start is the pass's own.
    ASSERT_EQ(routine.size(), 1u);
    ASSERT_TRUE(routine.count("svc_web_"));
    EXPECT_DOUBLE_EQ(routine["svc_web_"].due, h.now - 1 + 5);
    EXPECT_DOUBLE_EQ(routine["svc_web_"].from, h.now - 1 + 4);
    EXPECT_EQ(routine["svc_web_"].config.url, "http://web.test/");
    ASSERT_TRUE(result.passDue && result.nextDue);
    EXPECT_LT(*result.passDue, routine["svc_web_"].from);
    EXPECT_EQ(*result.nextDue, *result.passDue);
}
