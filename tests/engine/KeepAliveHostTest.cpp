// `kestrune-engine serve` keeping real local servers alive with each service host:
// process groups, and transient units of a real systemd user manager (run under
// tests/support/with-user-manager; skipped elsewhere).
#include "HangingServer.h"
#include "HttpTestServer.h"
#include "ServeProcess.h"
#include "TempDir.h"
#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "engine/ServiceHost.h"
#include "health/Problems.h"
#include "health/StartRecords.h"
#include "platform/Process.h"
#include "platform/RunningApps.h"
#include "services/HealthCheck.h"
#include "services/ServiceCheck.h"

#include <csignal>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sys/wait.h>
#include <thread>

using namespace KestruneCore;
using namespace std::chrono_literals;

namespace {

bool underUserManager() {
    const char* flag = std::getenv("KESTRUNE_TEST_USER_MANAGER");
    return flag && std::string(flag) == "1";
}

// Waits for a condition, never longer than `limit` (a guard against hangs).
bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

using KestruneTest::hangingServer;

class KeepAliveHosts : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        unit = GetParam() == "unit";
        if (unit && !underUserManager())
            GTEST_SKIP() << "needs a systemd user manager (tests/support/with-user-manager)";
        ::setenv("KESTRUNE_SERVICE_HOST", unit ? "systemd" : "group", 1);
        makeFolders(stateFolder());
    }

    void TearDown() override {
        endServe(SIGKILL);
        for (const auto& name : names)
            replaced.push_back(runnerHandle(name));
        for (const auto& handle : replaced) {
            if (unit)
                KestruneEngine::runCommand({"systemctl", "--user", "stop", handle});
            else if (int pgid = std::atoi(handle.c_str()); pgid > 1)
                ::kill(-pgid, SIGKILL);
        }
        ::unsetenv("KESTRUNE_SERVICE_HOST");
    }

    // A service folder whose launch.sh is `script`, added to the watch list.
    std::string addService(const std::string& name, const std::string& script,
                           const std::string& healthcheck, const std::string& top = "") {
        int port = KestruneTest::freeClosedPort();
        std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
        auto dir = tmp.mkdir(name);
        tmp.write(name + "/scripts/launch.sh",
                  "#!/bin/sh\n" + std::string(script) + " " + std::to_string(port) + "\n", true);
        tmp.write(name + "/scripts/launch.json",
                  R"({"healthcheck":{"url":")" + url + "\"," + healthcheck + "}" + top + "}");
        names.push_back(name);
        entries.push_back({name, dir, true, EntryType::service, "launch.sh"});
        save(entries);
        return url;
    }

    void startServe() {
        servePid = KestruneTest::spawnServe(KESTRUNE_ENGINE_PATH, tmp.path());
        ASSERT_GT(servePid, 0);
    }

    // Sends `sig` and waits at most `limit` for serve to end; its exit status or -1.
    int endServe(int sig, std::chrono::seconds limit = 30s) {
        if (servePid <= 0)
            return -1;
        ::kill(servePid, sig);
        int status = -1;
        bool ended =
            eventually([&] { return ::waitpid(servePid, &status, WNOHANG) == servePid; }, limit);
        if (!ended) {
            ::kill(servePid, SIGKILL);
            ::waitpid(servePid, nullptr, 0);
        }
        servePid = -1;
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string runnerHandle(const std::string& name) const {
        return readFile(stateFolder() + "/" + serviceKey(name) + ".pid").value_or("");
    }

    // The runner alone, or everything the start left running.
    void kill(const std::string& name, bool whole) {
        auto handle = runnerHandle(name);
        ASSERT_FALSE(handle.empty());
        if (unit) {
            if (whole) {
                KestruneEngine::runCommand(
                    {"systemctl", "--user", "kill", "--signal=SIGKILL", handle});
                return;
            }
            auto shown = runProcess(
                {*findInPath("systemctl"), "--user", "show", "-p", "MainPID", "--value", handle});
            int pid = std::atoi(shown.output.c_str());
            ASSERT_GT(pid, 1);
            ::kill(pid, SIGKILL);
            return;
        }
        int pgid = std::atoi(handle.c_str());
        ASSERT_GT(pgid, 1);
        ::kill(whole ? -pgid : pgid, SIGKILL);
    }

    static bool answers(const std::string& url) {
        ServiceConfig config;
        config.url = url;
        config.timeout = 1;
        auto check = checkHealth(config);
        return check && check->ok;
    }

    std::string log() const { return KestruneTest::readAll(logPath()); }

    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home{tmp.path()};
    bool unit = false;
    pid_t servePid = -1;
    std::vector<std::string> names;
    // Runners the engine replaced, ended at the end of the test like the current ones.
    std::vector<std::string> replaced;
    std::vector<AppEntry> entries;
};

} // namespace

TEST_P(KeepAliveHosts, AHungNeighbourHoldsUpNothing) {
    // web checks only once a minute, so only its runner's end can bring it back soon;
    // its start takes a second, well within its grace even on a machine busy enough to
    // slow the interpreter's start several times over.
    auto web = addService("web", "sleep 1; exec python3 -m http.server --bind 127.0.0.1",
                          R"("interval_seconds":60,"retries":5)", R"(,"start_grace_seconds":8)");
    auto marker = tmp / "hung";
    tmp.write("hang.py", hangingServer);
    addService("stuck", "exec python3 " + (tmp / "hang.py") + " 2 " + marker,
               R"("interval_seconds":1,"timeout_seconds":30,"retries":0)");
    // Started at the first sight of them down: nothing switched on, no tolerance.
    // How long each start really took, as seen from here: the records must agree
    // within a second however slowly the machine starts the server.
    auto secondsSince = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    };
    const auto served = std::chrono::steady_clock::now();
    startServe();
    ASSERT_TRUE(eventually([&] { return answers(web); })) << log();
    const double firstTruth = secondsSince(served);
    ASSERT_TRUE(eventually([&] { return fileExists(marker); })) << log();
    EXPECT_NE(log().find("[web] ACTION: down -> starting with launch.sh\n"), std::string::npos);

    // stuck's check now hangs for 30 s; web's whole start is killed.
    kill("web", true);
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return !answers(web); })) << log();
    ASSERT_TRUE(eventually([&] { return answers(web); })) << log();
    const double secondTruth = secondsSince(killed);
    ASSERT_TRUE(eventually([&] {
        return occurrences(log(), "[web] started: healthy after ") == 2;
    })) << log();
    EXPECT_TRUE(answers(web));
    EXPECT_EQ(occurrences(log(), "[web] launch.sh exited with status 137\n"), 1u); // once
    EXPECT_EQ(log().find("[web] start failed"), std::string::npos);
    auto records = startRecords("web");
    ASSERT_EQ(records.size(), 2u);
    const double truths[] = {firstTruth, secondTruth};
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].trigger, "down");
        EXPECT_GE(records[i].duration, 1); // the launch sleeps a second, then the server starts
        // Whole seconds, so within a second plus this side's polling.
        EXPECT_NEAR(records[i].duration, truths[i], 1.25) << "start " << i;
    }
    EXPECT_EQ(log().find("[stuck] ACTION"), log().rfind("[stuck] ACTION")); // started once

    // A check still hangs; serve ends at once regardless.
    EXPECT_EQ(endServe(SIGTERM, 10s), 0);
}

TEST_P(KeepAliveHosts, ServicesOutliveTheEngineAreAdoptedAndStopWhole) {
    auto web = addService("web", "exec python3 -m http.server --bind 127.0.0.1",
                          R"("interval_seconds":60,"retries":5)");
    startServe();
    ASSERT_TRUE(eventually([&] { return answers(web); })) << log();
    ASSERT_EQ(endServe(SIGTERM), 0);
    EXPECT_TRUE(answers(web));

    // A new engine adopts the running start instead of starting a second copy...
    startServe();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(occurrences(log(), "[web] ACTION: "), 1u);
    // ...and notices when it is killed whole, long before its next check.
    kill("web", true);
    ASSERT_TRUE(eventually([&] {
        return occurrences(log(), "[web] ACTION: ") == 2 && answers(web);
    })) << log();

    // Killing the runner alone leaves nothing down for long either.
    ASSERT_TRUE(eventually([&] { return loadProblems().empty(); }));
    kill("web", false);
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(eventually([&] { return answers(web); }));

    // Stopping it whole frees the port even though the engine no longer runs.
    ASSERT_EQ(endServe(SIGTERM), 0);
    auto host = KestruneEngine::chooseServiceHost(KESTRUNE_ENGINE_PATH, KestruneEngine::runCommand);
    auto handle = runnerHandle("web");
    ASSERT_TRUE(host->isAlive(serviceKey("web"), handle));
    host->stop(serviceKey("web"), handle);
    // A unit's stop is asked for, not waited for.
    EXPECT_TRUE(eventually([&] {
        host->dispatch();
        return !host->isAlive(serviceKey("web"), handle);
    }));
    EXPECT_FALSE(answers(web));
}

TEST_P(KeepAliveHosts, AServiceDeafToSigtermHoldsUpNothing) {
    auto web = addService("web", "exec python3 -m http.server --bind 127.0.0.1",
                          R"("interval_seconds":60,"retries":5)");
    // deaf answers twice, then hangs; it ignores SIGTERM, so only SIGKILL at the end
    // of the stop grace ends the copy that is replaced.
    auto marker = tmp / "hung";
    tmp.write("hang.py", hangingServer);
    addService("deaf", "trap '' TERM; exec python3 " + (tmp / "hang.py") + " 2 " + marker,
               R"("interval_seconds":1,"timeout_seconds":1,"retries":0)",
               R"(,"restart":"on-failure")");
    startServe();
    ASSERT_TRUE(eventually([&] { return answers(web) && fileExists(marker); })) << log();
    auto first = runnerHandle("deaf");
    replaced.push_back(first); // a copy that ignores SIGTERM outlives the engine's stop
    ASSERT_TRUE(eventually([&] { return runnerHandle("deaf") != first; })) << log();
    EXPECT_NE(log().find("[deaf] ACTION: unhealthy -> starting with launch.sh"), std::string::npos);
    // The copy replaced is still being seen off...
    auto stillStopping = [&] {
        if (!unit)
            return ::kill(-std::atoi(first.c_str()), 0) == 0;
        auto shown = runProcess({*findInPath("systemctl"), "--user", "is-active", first});
        return shown.output == "deactivating\n";
    };
    ASSERT_TRUE(stillStopping());

    // ...while a neighbour killed meanwhile is back, and the engine ends when asked.
    kill("web", true);
    ASSERT_TRUE(eventually([&] {
        return occurrences(log(), "[web] started: healthy after ") == 2;
    })) << log();
    EXPECT_TRUE(stillStopping());
    EXPECT_EQ(endServe(SIGTERM), 0);
    EXPECT_TRUE(stillStopping());
}

INSTANTIATE_TEST_SUITE_P(Hosts, KeepAliveHosts, ::testing::Values("group", "unit"),
                         [](const auto& info) { return info.param; });

TEST(UserManager, InstallAndUninstallTheAgent) {
    if (!underUserManager())
        GTEST_SKIP() << "needs a systemd user manager (tests/support/with-user-manager)";
    // The manager reads units from its own home, which the helper made for it.
    std::string managerHome = std::getenv("HOME");
    auto engine = [&](const char* command) {
        return runProcess({KESTRUNE_ENGINE_PATH, "--home", managerHome, command}).exitStatus;
    };
    auto active = [] {
        return KestruneEngine::runCommand(
                   {"systemctl", "--user", "is-active", "--quiet", "kestrune-engine.service"}) == 0;
    };
    ASSERT_EQ(engine("install"), 0);
    EXPECT_TRUE(eventually([&] { return active(); }, 10s));
    EXPECT_EQ(engine("install"), 0); // again: nothing changes
    EXPECT_TRUE(active());
    EXPECT_EQ(engine("uninstall"), 0);
    EXPECT_FALSE(active());
    EXPECT_FALSE(fileExists(managerHome + "/.config/systemd/user/kestrune-engine.service"));
}

TEST(UserManager, AnAppTheEngineOpenedOutlivesTheEngine) {
    if (!underUserManager())
        GTEST_SKIP() << "needs a systemd user manager (tests/support/with-user-manager)";
    // The engine runs as the manager's unit, in the home the helper made for it.
    std::string managerHome = std::getenv("HOME");
    KestruneTest::ScopedHome home{managerHome};
    std::string program = managerHome + "/keeper-sleep";
    ASSERT_EQ(runProcess({"cp", "/bin/sleep", program}).exitStatus, 0);
    std::string desktop = managerHome + "/keeper.desktop";
    ASSERT_TRUE(writeFileAtomically(
        desktop, "[Desktop Entry]\nType=Application\nName=Keeper\nExec=" + program + " 1000\n"));
    save({{"Keeper", desktop, true, EntryType::app, ""}});
    auto engine = [&](const char* command) {
        return runProcess({KESTRUNE_ENGINE_PATH, "--home", managerHome, command}).exitStatus;
    };
    auto opened = [&] { return processesRunning(desktop); };
    auto actions = [&] {
        return occurrences(KestruneTest::readAll(logPath()),
                           "[Keeper] ACTION: not running -> open");
    };
    ASSERT_EQ(engine("install"), 0);
    ASSERT_TRUE(eventually([&] { return opened().size() == 1; }))
        << KestruneTest::readAll(logPath());
    pid_t app = opened().front();
    ASSERT_TRUE(eventually([&] {
        auto cgroup = readFile("/proc/" + std::to_string(app) + "/cgroup").value_or("");
        return cgroup.find("/app.slice/app-kestrune-") != std::string::npos;
    })) << readFile("/proc/" + std::to_string(app) + "/cgroup").value_or("");
    // Seen running: its relaunch is over, so its next end is acted on at once.
    ASSERT_TRUE(eventually([&] {
        return KestruneTest::readAll(logPath()).find("[Keeper] started: running after") !=
               std::string::npos;
    }));

    ASSERT_EQ(
        KestruneEngine::runCommand({"systemctl", "--user", "restart", "kestrune-engine.service"}),
        0);
    EXPECT_EQ(::kill(app, 0), 0);
    EXPECT_EQ(actions(), 1u);
    // The new engine still learns of its end, and opens it again.
    ::kill(app, SIGKILL);
    EXPECT_TRUE(eventually([&] { return actions() == 2 && opened().size() == 1; }))
        << KestruneTest::readAll(logPath());
    EXPECT_EQ(engine("uninstall"), 0);
    for (int pid : opened())
        ::kill(pid, SIGKILL);
}

// An app that starts a child the instant it runs: the child is in the app's scope too,
// not left in the engine's unit to be ended with it, by a restart or by Quit.
TEST(UserManager, WhatAnAppStartsAtOnceOutlivesTheEngineAndQuitToo) {
    if (!underUserManager())
        GTEST_SKIP() << "needs a systemd user manager (tests/support/with-user-manager)";
    std::string managerHome = std::getenv("HOME");
    KestruneTest::ScopedHome home{managerHome};
    // A private shell, so that no other shell on the machine passes for the app.
    std::string shell = managerHome + "/forker-sh";
    ASSERT_EQ(runProcess({"cp", "/bin/sh", shell}).exitStatus, 0);
    std::string desktop = managerHome + "/forker.desktop";
    ASSERT_TRUE(writeFileAtomically(
        desktop, "[Desktop Entry]\nType=Application\nName=Forker\nExec=" + shell +
                     " -c \"sleep 1000 & exec sleep 1000\"\n"));
    save({{"Forker", desktop, true, EntryType::app, ""}});
    auto engine = [&](const char* command) {
        return runProcess({KESTRUNE_ENGINE_PATH, "--home", managerHome, command}).exitStatus;
    };
    // A zombie is no survivor.
    auto running = [](pid_t pid) {
        auto stat = readFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
        auto close = stat.rfind(')');
        return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
    };
    ASSERT_EQ(engine("install"), 0);
    ASSERT_TRUE(eventually([&] { return processesRunning(desktop).size() == 2; }))
        << KestruneTest::readAll(logPath());
    auto pids = processesRunning(desktop);
    auto cgroup = [](pid_t pid) {
        return readFile("/proc/" + std::to_string(pid) + "/cgroup").value_or("");
    };
    for (pid_t pid : pids)
        EXPECT_TRUE(eventually([&] {
            return cgroup(pid).find("/app.slice/app-kestrune-") != std::string::npos;
        })) << cgroup(pid)
            << KestruneTest::readAll(logPath());

    ASSERT_EQ(
        KestruneEngine::runCommand({"systemctl", "--user", "restart", "kestrune-engine.service"}),
        0);
    for (pid_t pid : pids)
        EXPECT_TRUE(running(pid)) << pid;
    // "Quit kestrune completely" stops the engine's unit.
    ASSERT_EQ(
        KestruneEngine::runCommand({"systemctl", "--user", "stop", "kestrune-engine.service"}), 0);
    for (pid_t pid : pids)
        EXPECT_TRUE(running(pid)) << pid;
    EXPECT_EQ(engine("uninstall"), 0);
    for (pid_t pid : processesRunning(desktop))
        ::kill(pid, SIGKILL);
}

// The transient-unit host answers from what the manager has told it, never by asking:
// a start counts as running before any reply, and a runner that has ended is not handed
// out to be watched again while the manager (held still here) has yet to reap it.
TEST(UserManager, TheUnitHostKnowsItsUnitsFromTheManagersWord) {
    if (!underUserManager())
        GTEST_SKIP() << "needs a systemd user manager (tests/support/with-user-manager)";
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home{tmp.path()};
    makeFolders(stateFolder());
    auto dir = tmp.mkdir("sleeper");
    tmp.write("sleeper/scripts/launch.sh", "#!/bin/sh\nexec sleep 1000\n", true);
    ::setenv("KESTRUNE_SERVICE_HOST", "systemd", 1);
    auto host = KestruneEngine::chooseServiceHost(KESTRUNE_ENGINE_PATH, KestruneEngine::runCommand);
    ::unsetenv("KESTRUNE_SERVICE_HOST");
    std::string stem = serviceKey("sleeper");
    auto started = host->start({stem, "sleeper", dir, "launch.sh", tmp.path(), 0, {}});
    ASSERT_TRUE(started.ok()) << started.error;
    EXPECT_TRUE(host->isAlive(stem, started.handle));

    std::optional<int> runner;
    ASSERT_TRUE(eventually([&] {
        host->dispatch();
        runner = host->runnerPid(stem, started.handle);
        return runner.has_value();
    }));
    auto stat = readFile("/proc/" + std::to_string(*runner) + "/stat").value_or("");
    pid_t manager = std::atoi(stat.substr(stat.rfind(')') + 4).c_str());
    ASSERT_GT(manager, 1);
    ASSERT_EQ(::kill(manager, SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{manager};
    ::kill(*runner, SIGKILL);
    ASSERT_TRUE(eventually([&] {
        auto now = readFile("/proc/" + std::to_string(*runner) + "/stat").value_or("");
        return now.compare(now.rfind(')') + 2, 1, "Z") == 0;
    }));
    host->dispatch();
    EXPECT_EQ(host->runnerPid(stem, started.handle), std::nullopt);
    EXPECT_TRUE(host->isAlive(stem, started.handle)); // as far as the manager has said

    ::kill(manager, SIGCONT);
    EXPECT_TRUE(eventually([&] {
        host->dispatch();
        return !host->isAlive(stem, started.handle);
    }));
}
