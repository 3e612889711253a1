// The real engine binary keeping a real local HTTP server alive in a temporary home,
// and what the tray program reads back from it.
#include "HttpTestServer.h"
#include "ServeProcess.h"
#include "TempDir.h"
#include "core/ActivityLog.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "engine/EntryState.h"
#include "engine/ServiceHost.h"
#include "health/Backoff.h"
#include "health/Problems.h"
#include "health/RestartRequest.h"
#include "health/ServiceSubtitle.h"
#include "health/SlowStarts.h"
#include "health/StartRecords.h"
#include "platform/EngineServeLock.h"
#include "platform/Process.h"
#include "services/HealthCheck.h"
#include "services/ServiceCheck.h"
#include "services/ServiceConfig.h"

#include <csignal>
#include <dirent.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>

using namespace KestruneCore;
using KestruneEngine::EntryState;

namespace {

// Waits for a condition, never longer than `limit` (a guard against hangs, not a
// measurement).
bool eventually(const std::function<bool()>& condition,
                std::chrono::seconds limit = std::chrono::seconds(60)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Processes of a group other than its leader (the start command's children).
std::vector<pid_t> groupChildren(pid_t pgid) {
    std::vector<pid_t> out;
    DIR* proc = ::opendir("/proc");
    while (auto* ent = proc ? ::readdir(proc) : nullptr) {
        pid_t pid = static_cast<pid_t>(std::atoi(ent->d_name));
        if (pid > 0 && pid != pgid && ::getpgid(pid) == pgid)
            out.push_back(pid);
    }
    if (proc)
        ::closedir(proc);
    return out;
}

class EngineProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KESTRUNE_SERVICE_HOST", "group", 1);
        makeFolders(stateFolder());
        port = KestruneTest::freeClosedPort();
        url = "http://127.0.0.1:" + std::to_string(port) + "/";
        folder = tmp.mkdir("web");
    }

    void TearDown() override {
        if (auto pgid = runnerGroup())
            ::kill(-*pgid, SIGKILL);
        if (servePid > 0) {
            ::kill(servePid, SIGKILL);
            ::waitpid(servePid, nullptr, 0);
        }
        ::unsetenv("KESTRUNE_SERVICE_HOST");
    }

    void addService(const std::string& launchSh) {
        tmp.write("web/scripts/launch.sh", launchSh, true);
        tmp.write("web/scripts/launch.json",
                  R"({"healthcheck":{"url":")" + url +
                      R"(","interval_seconds":1,"retries":0},"start_grace_seconds":30})");
        save({{"web", folder, true, EntryType::service, "launch.sh"}});
    }
    std::string foregroundServer() const {
        return "#!/bin/sh\necho starting the web server\nexec python3 -m http.server --bind "
               "127.0.0.1 " +
               std::to_string(port) + "\n";
    }

    int run() {
        ProcessOptions options;
        options.timeLimit = std::chrono::seconds(60);
        return runProcess({KESTRUNE_ENGINE_PATH, "run", "--home", tmp.path()}, options).exitStatus;
    }

    EntryState state() const { return EntryState(stateFolder(), serviceKey("web")); }

    std::optional<pid_t> runnerGroup() const {
        auto handle = state().text(".pid");
        if (!handle)
            return std::nullopt;
        int pgid = std::atoi(handle->c_str());
        return pgid > 1 ? std::optional<pid_t>(pgid) : std::nullopt;
    }

    bool healthy() const {
        auto check = ServiceCheck::load(serviceCheckPath("web"));
        return check && check->result == "healthy (200)";
    }

    std::string log() const { return KestruneTest::readAll(logPath()); }

    void serve() {
        servePid = KestruneTest::spawnServe(KESTRUNE_ENGINE_PATH, tmp.path());
        ASSERT_GT(servePid, 0);
    }

    // Kills the server but not the runner that waits for it, as a crash would.
    void killServer() {
        auto pgid = runnerGroup();
        ASSERT_TRUE(pgid);
        auto children = groupChildren(*pgid);
        ASSERT_FALSE(children.empty());
        for (pid_t pid : children)
            ::kill(pid, SIGKILL);
    }

    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home{tmp.path()};
    std::uint16_t port = 0;
    std::string url;
    std::string folder;
    pid_t servePid = -1;
};

} // namespace

TEST_F(EngineProcess, RunPassesStartAServiceAndRestartItAfterItDies) {
    addService(foregroundServer());
    state().write(".toggled", "");
    ASSERT_TRUE(eventually([&] { return run() == 0 && healthy(); }));
    EXPECT_TRUE(loadProblems().empty());
    EXPECT_NE(log().find("[web] ACTION: switched on in Settings -> starting with launch.sh\n"),
              std::string::npos);
    EXPECT_NE(KestruneTest::readAll(serviceLogPath("web")).find("starting the web server"),
              std::string::npos);

    killServer();
    ASSERT_TRUE(eventually([&] {
        return run() == 0 && occurrences(log(), "] started: healthy after ") == 2 && healthy();
    }));
    EXPECT_NE(log().find("[web] launch.sh exited with status 137\n"), std::string::npos);
    EXPECT_NE(log().find("[web] ACTION: down -> starting with launch.sh\n"), std::string::npos);
    EXPECT_TRUE(loadProblems().empty());

    auto records = startRecords("web");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].trigger, "switched on");
    EXPECT_EQ(records[1].trigger, "down");
    EXPECT_TRUE(records[1].ok());

    // Read back as the tray program does: every start has ended, so even with a
    // problem reported nothing is slow; the subtitle names the host and usual time.
    auto list = load();
    std::vector<Problem> restarting{
        {"web", "not-running-relaunching", Severity::restarting, "", "starting with launch.sh"}};
    EXPECT_TRUE(slowStarts(list, restarting, Clock::now() + std::chrono::hours(1)).empty());
    auto config = ServiceConfig::load(folder).value();
    auto subtitle = serviceSubtitle(list[0], config, loadProblems(), true, tryingSince("web"),
                                    Clock::now(), typicalStartup(records), std::nullopt);
    EXPECT_EQ(subtitle.rfind("Healthy · 127.0.0.1 · launch.sh · usually starts in ~", 0), 0u)
        << subtitle;
}

TEST_F(EngineProcess, SwitchingOffAndOnDuringASlowStartLeavesOneCopy) {
    addService("#!/bin/sh\nsleep 2\n" + foregroundServer().substr(10));
    state().write(".toggled", "");
    ASSERT_EQ(run(), 0);
    ASSERT_TRUE(runnerGroup());
    resetBackoff(load()[0]);
    ASSERT_TRUE(eventually([&] { return run() == 0 && healthy(); }));
    EXPECT_EQ(occurrences(log(), "ACTION: "), 1u);
    EXPECT_EQ(occurrences(KestruneTest::readAll(serviceLogPath("web")), " starting with "), 1u);
    EXPECT_EQ(startRecords("web").size(), 1u);
}

TEST_F(EngineProcess, ServeKeepsTheServiceAliveOnItsOwn) {
    addService(foregroundServer());
    state().write(".toggled", "");
    ASSERT_NO_FATAL_FAILURE(serve());

    ASSERT_TRUE(eventually([&] { return healthy(); }));
    EXPECT_TRUE(engineIsServing()); // what kestrunectl reads as "Agent: loaded"
    killServer();
    // The problems file is written last in a pass.
    ASSERT_TRUE(eventually([&] {
        return occurrences(log(), "] started: healthy after ") == 2 && healthy() &&
               loadProblems().empty();
    }));

    // A start command that fails is backed off with its status as the cause.
    tmp.write("web/scripts/launch.sh", "#!/bin/sh\necho cannot start\nexit 4\n", true);
    killServer();
    ASSERT_TRUE(eventually([&] {
        auto problems = loadProblems();
        return !problems.empty() && problems[0].kind == "retrying";
    }));
    EXPECT_EQ(loadProblems()[0].detail, "launch.sh exited with status 4");
    EXPECT_NE(log().find("[web] start failed: launch.sh exited with status 4\n"),
              std::string::npos);

    ::kill(servePid, SIGTERM);
    int status = -1;
    ASSERT_TRUE(eventually([&] { return ::waitpid(servePid, &status, WNOHANG) == servePid; }));
    servePid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(engineIsServing());
}

TEST_F(EngineProcess, ServeActsOnWatchListEditsWithoutBeingAsked) {
    // Nothing to do at first: serve sleeps (its safety-net wake-up is a minute away).
    save({});
    ASSERT_NO_FATAL_FAILURE(serve());
    ASSERT_TRUE(eventually([&] { return fileExists(problemsPath()); }));

    addService(foregroundServer());
    ASSERT_TRUE(eventually([&] { return healthy(); }, std::chrono::seconds(30)));

    // The master switch off: problems are dropped, the service is left running.
    saveMaster(false);
    killServer();
    ASSERT_TRUE(eventually([&] { return log().find("exited with status") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(occurrences(log(), "ACTION: "), 1u);
    EXPECT_TRUE(loadProblems().empty());
    saveMaster(true);
    ASSERT_TRUE(eventually([&] { return occurrences(log(), "ACTION: ") == 2 && healthy(); },
                           std::chrono::seconds(30)));
}

TEST_F(EngineProcess, StoppingAServiceFreesThePortItsLeftoverChildHolds) {
    addService("#!/bin/sh\npython3 -m http.server --bind 127.0.0.1 " + std::to_string(port) +
               " >/dev/null 2>&1 &\nexit 0\n");
    auto host = KestruneEngine::makeProcessGroupHost(KESTRUNE_ENGINE_PATH);
    auto started = host->start({serviceKey("web"), "web", folder, "launch.sh", tmp.path(), 0, {}});
    ASSERT_TRUE(started.ok()) << started.error;
    state().write(".pid", started.handle);
    ASSERT_TRUE(eventually([&] { return portAcceptsConnections(port); }));
    ASSERT_TRUE(eventually([&] { return state().exists(".exit"); }));
    EXPECT_EQ(state().exitRecord()->status, 0);

    EXPECT_TRUE(host->isAlive(serviceKey("web"), started.handle));
    EXPECT_FALSE(host->isAlive(serviceKey("other"), started.handle));
    host->stop(serviceKey("web"), started.handle);
    EXPECT_FALSE(portAcceptsConnections(port));
    EXPECT_FALSE(host->isAlive(serviceKey("web"), started.handle));
}

TEST_F(EngineProcess, RestartNowStopsTheServiceWholeAndStartsItAtOnce) {
    addService(foregroundServer());
    state().write(".toggled", "");
    ASSERT_NO_FATAL_FAILURE(serve());
    ASSERT_TRUE(eventually([&] { return healthy() && loadProblems().empty(); }));
    auto oldGroup = runnerGroup();
    ASSERT_TRUE(oldGroup);
    auto oldServer = groupChildren(*oldGroup);
    ASSERT_FALSE(oldServer.empty());

    ASSERT_EQ(requestRestart(load()[0], true), RestartRefusal::none);
    ASSERT_TRUE(eventually([&] {
        return occurrences(log(), "] started: healthy after ") == 2 && healthy() &&
               loadProblems().empty();
    }));
    EXPECT_NE(log().find("[web] ACTION: restart requested -> starting with launch.sh\n"),
              std::string::npos);
    EXPECT_EQ(log().find("start failed"), std::string::npos);
    EXPECT_FALSE(state().exists(".restart"));
    auto records = startRecords("web");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].trigger, "restart");
    // The old copy is gone whole; the new one runs in a group of its own.
    EXPECT_NE(runnerGroup(), oldGroup);
    for (pid_t pid : oldServer)
        EXPECT_TRUE(eventually([&] { return ::kill(pid, 0) != 0; }, std::chrono::seconds(10)));
}

// A neighbour whose launch.json is 60 MB of nesting is refused unread, every pass:
// the service beside it is brought back as usual, and serve never holds the file.
TEST_F(EngineProcess, AHugeLaunchJsonBesideItIsNeverRead) {
    addService(foregroundServer());
    constexpr std::size_t depth = 30 * 1000 * 1000;
    tmp.write("huge/scripts/launch.json",
              "{\"healthcheck\":" + std::string(depth, '[') + std::string(depth, ']') + "}");
    auto list = load();
    list.push_back({"huge", tmp / "huge", true, EntryType::service, "launch.sh"});
    save(list);
    state().write(".toggled", "");
    ASSERT_NO_FATAL_FAILURE(serve());
    ASSERT_TRUE(eventually([&] { return healthy(); }));
    killServer();
    ASSERT_TRUE(eventually(
        [&] { return occurrences(log(), "] started: healthy after ") == 2 && healthy(); }));

    EXPECT_EQ(occurrences(log(), "[huge]"), 0u);
#ifndef __SANITIZE_ADDRESS__ // whose own memory would hide the difference
    // Its peak resident memory: about 15 MB here, 2.4 GB when the file was parsed.
    auto status = readFile("/proc/" + std::to_string(servePid) + "/status").value_or("");
    auto peak = status.find("VmHWM:");
    ASSERT_NE(peak, std::string::npos);
    EXPECT_LT(std::atol(status.c_str() + peak + 6), 40 * 1024) << "KiB at the most";
#endif
}
