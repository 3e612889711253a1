// How fast the keep-alive engine brings things back: a killed service's server (against
// spawning the same server bare) and a quit app, with `kestrune-engine serve` running
// in a temporary home. Times are manual (wall clock from the kill until it answers).
#include "HangingServer.h"
#include "HttpTestServer.h"
#include "ServeProcess.h"
#include "TempDir.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "engine/ServiceHost.h"
#include "platform/Process.h"
#include "platform/RunningApps.h"
#include "services/HealthCheck.h"
#include "services/ServiceCheck.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <dirent.h>
#include <sys/wait.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool answers(const KestruneCore::ServiceConfig& config) {
    auto check = KestruneCore::checkHealth(config);
    return check && check->ok;
}

// Records iteration times and reports their median as a counter.
struct Median {
    std::vector<double> seconds;
    void add(benchmark::State& state, double s) {
        state.SetIterationTime(s);
        seconds.push_back(s);
    }
    void report(benchmark::State& state) {
        if (seconds.empty())
            return;
        std::sort(seconds.begin(), seconds.end());
        state.counters["median_ms"] = seconds[seconds.size() / 2] * 1000.0;
    }
};

// Polls every `every` until `ready`; returns the seconds from `since`, or -1 after 30 s.
double until(const std::function<bool()>& ready, Clock::time_point since,
             std::chrono::milliseconds every) {
    while (Clock::now() - since < 30s) {
        if (ready())
            return std::chrono::duration<double>(Clock::now() - since).count();
        std::this_thread::sleep_for(every);
    }
    return -1;
}

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

// The serve loop's longest time away from its epoll wait while it runs: its main
// thread's current system call (/proc/PID/syscall), read on a thread of its own about
// every 100 µs. Anything but a wait there is the loop at work, or stalled.
class LoopStallSampler {
public:
    explicit LoopStallSampler(pid_t serve)
        : thread_([this, path = "/proc/" + std::to_string(serve) + "/syscall"] {
              std::optional<Clock::time_point> busySince;
              while (!done_) {
                  auto text = KestruneCore::readFile(path, 256).value_or("");
                  auto number = std::atoi(text.c_str());
                  bool waiting = text.rfind("running", 0) != 0 &&
                                 (number == 232 || number == 281 || number == 441);
                  auto now = Clock::now();
                  if (waiting && busySince)
                      longest_ = std::max(longest_, now - *busySince);
                  if (waiting)
                      busySince.reset();
                  else if (!busySince)
                      busySince = now;
                  std::this_thread::sleep_for(100us);
              }
          }) {}
    // Stops sampling; the longest stall seen, in ms.
    double stop() {
        done_ = true;
        thread_.join();
        return std::chrono::duration<double, std::milli>(longest_).count();
    }

private:
    std::atomic<bool> done_{false};
    Clock::duration longest_{};
    std::thread thread_;
};

// A temporary home with `kestrune-engine serve` running in it.
struct ServeHome {
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home{tmp.path()};
    pid_t serve = -1;

    void start(const char* host = "group") {
        ::setenv("KESTRUNE_SERVICE_HOST", host, 1);
        serve = KestruneTest::spawnServe(KESTRUNE_ENGINE_PATH, tmp.path());
    }
    ~ServeHome() {
        if (serve > 0) {
            ::kill(serve, SIGTERM);
            ::waitpid(serve, nullptr, 0);
        }
        ::unsetenv("KESTRUNE_SERVICE_HOST");
    }
};

std::string serverScript(int port) {
    return "#!/bin/sh\nexec python3 -m http.server --bind 127.0.0.1 " + std::to_string(port) + "\n";
}

void BM_BareSpawnUntilAnswering(benchmark::State& state) {
    int port = KestruneTest::freeClosedPort();
    KestruneTest::TempDir tmp;
    auto script = tmp.write("launch.sh", serverScript(port), true);
    KestruneCore::ServiceConfig config;
    config.url = "http://127.0.0.1:" + std::to_string(port) + "/";
    Median median;
    for (auto _ : state) {
        auto t0 = Clock::now();
        auto spawned = KestruneCore::spawnDetached({script});
        double s =
            until([&] { return answers(config); }, t0, std::chrono::milliseconds(state.range(0)));
        median.add(state, s);
        ::kill(-spawned.pid, SIGKILL);
        until([&] { return !KestruneCore::portAcceptsConnections(port); }, Clock::now(), 10ms);
    }
    median.report(state);
}
BENCHMARK(BM_BareSpawnUntilAnswering)
    ->Arg(50)
    ->Arg(5)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_ServeRestartsAKilledServer(benchmark::State& state) {
    ServeHome h;
    int port = KestruneTest::freeClosedPort();
    h.tmp.write("web/scripts/launch.sh", serverScript(port), true);
    KestruneCore::ServiceConfig config;
    config.url = "http://127.0.0.1:" + std::to_string(port) + "/";
    h.tmp.write("web/scripts/launch.json", R"({"healthcheck":{"url":")" + *config.url + R"("}})");
    std::vector<KestruneCore::AppEntry> list{
        {"web", h.tmp / "web", true, KestruneCore::EntryType::service, "launch.sh"}};
    if (state.range(1) == 1) {
        // A neighbour whose launch.json is 60 MB of nesting.
        constexpr std::size_t depth = 30 * 1000 * 1000;
        h.tmp.write("huge/scripts/launch.json",
                    "{\"healthcheck\":" + std::string(depth, '[') + std::string(depth, ']') + "}");
        list.push_back(
            {"huge", h.tmp / "huge", true, KestruneCore::EntryType::service, "launch.sh"});
    }
    KestruneCore::save(list);
    KestruneCore::makeFolders(KestruneCore::stateFolder());
    KestruneCore::writeFileAtomically(
        KestruneCore::stateFolder() + "/" + KestruneCore::serviceKey("web") + ".toggled", "");
    h.start();
    auto pidFile = KestruneCore::stateFolder() + "/" + KestruneCore::serviceKey("web") + ".pid";
    Median median;
    Median reaction;
    for (auto _ : state) {
        until([&] { return answers(config); }, Clock::now(), 10ms);
        auto handle = KestruneCore::readFile(pidFile).value_or("0");
        auto children = groupChildren(std::atoi(handle.c_str()));
        auto t0 = Clock::now();
        for (pid_t pid : children)
            ::kill(pid, SIGKILL);
        // The engine's own share: from the kill until it has started the new runner.
        reaction.seconds.push_back(until(
            [&] { return KestruneCore::readFile(pidFile).value_or(handle) != handle; }, t0, 1ms));
        double s =
            until([&] { return answers(config); }, t0, std::chrono::milliseconds(state.range(0)));
        median.add(state, s);
        // Not a crash loop: healthy (as the engine sees it, up to one interval later)
        // for longer than 10 s before the next kill.
        std::this_thread::sleep_for(16s);
    }
    median.report(state);
    std::sort(reaction.seconds.begin(), reaction.seconds.end());
    if (!reaction.seconds.empty())
        state.counters["restart_started_median_ms"] =
            reaction.seconds[reaction.seconds.size() / 2] * 1000.0;
    auto group = std::atoi(KestruneCore::readFile(pidFile).value_or("0").c_str());
    if (group > 1)
        ::kill(-group, SIGKILL);
}
// Args: the polling interval in ms; 1 for a neighbour with a 60 MB launch.json.
BENCHMARK(BM_ServeRestartsAKilledServer)
    ->Args({50, 0})
    ->Args({5, 0})
    ->Args({5, 1})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_ServeRelaunchesAQuitApp(benchmark::State& state) {
    ServeHome h;
    // An "app": a .desktop file whose program is a private copy of sleep.
    auto program = h.tmp.path() + "/napper";
    auto copy = KestruneCore::runProcess({"cp", "/bin/sleep", program});
    if (!copy.succeeded()) {
        state.SkipWithError("cannot copy sleep");
        return;
    }
    auto desktop = h.tmp.write("napper.desktop", "[Desktop Entry]\nType=Application\nName=Napper\n"
                                                 "Exec=" +
                                                     program + " 100000\n");
    KestruneCore::save({{"Napper", desktop, true, KestruneCore::EntryType::app, ""}});
    h.start();
    Median median;
    for (auto _ : state) {
        until([&] { return !KestruneCore::processesRunning(desktop).empty(); }, Clock::now(), 10ms);
        // Let serve notice it runs and watch it.
        std::this_thread::sleep_for(1500ms);
        auto pids = KestruneCore::processesRunning(desktop);
        auto t0 = Clock::now();
        for (pid_t pid : pids)
            ::kill(pid, SIGKILL);
        double s = until(
            [&] {
                auto now = KestruneCore::processesRunning(desktop);
                return !now.empty() && now != pids;
            },
            t0, 5ms);
        median.add(state, s);
    }
    median.report(state);
    for (pid_t pid : KestruneCore::processesRunning(desktop))
        ::kill(pid, SIGKILL);
}
BENCHMARK(BM_ServeRelaunchesAQuitApp)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A service deaf to SIGTERM being replaced (its check hangs) while its neighbour is
// killed: how soon the neighbour answers again, and how long the engine's own SIGTERM
// takes meanwhile. Arg 0: process groups; 1: transient units (run the program under
// tests/support/with-user-manager).
void BM_ServeBesideADeafService(benchmark::State& state) {
    bool units = state.range(0) == 1;
    const char* flag = std::getenv("KESTRUNE_TEST_USER_MANAGER");
    if (units && !(flag && std::string(flag) == "1")) {
        state.SkipWithError("needs tests/support/with-user-manager");
        return;
    }
    Median neighbour;
    std::vector<double> stops, stalls;
    for (auto _ : state) {
        ServeHome h;
        int webPort = KestruneTest::freeClosedPort();
        int deafPort = KestruneTest::freeClosedPort();
        KestruneCore::ServiceConfig web;
        web.url = "http://127.0.0.1:" + std::to_string(webPort) + "/";
        web.timeout = 1;
        h.tmp.write("web/scripts/launch.sh", serverScript(webPort), true);
        h.tmp.write("web/scripts/launch.json",
                    R"({"healthcheck":{"url":")" + *web.url + R"(","interval_seconds":60}})");
        h.tmp.write("hang.py", KestruneTest::hangingServer);
        auto marker = h.tmp / "hung";
        h.tmp.write("deaf/scripts/launch.sh",
                    "#!/bin/sh\ntrap '' TERM\nexec python3 " + (h.tmp / "hang.py") + " 2 " +
                        marker + " " + std::to_string(deafPort) + "\n",
                    true);
        h.tmp.write("deaf/scripts/launch.json",
                    R"({"healthcheck":{"url":"http://127.0.0.1:)" + std::to_string(deafPort) +
                        R"(/","interval_seconds":1,"timeout_seconds":1,"retries":0},)"
                        R"("restart":"on-failure"})");
        KestruneCore::save(
            {{"web", h.tmp / "web", true, KestruneCore::EntryType::service, "launch.sh"},
             {"deaf", h.tmp / "deaf", true, KestruneCore::EntryType::service, "launch.sh"}});
        h.start(units ? "systemd" : "group");
        auto pidOf = [](const char* name) {
            return KestruneCore::readFile(KestruneCore::stateFolder() + "/" +
                                          KestruneCore::serviceKey(name) + ".pid")
                .value_or("");
        };
        until([&] { return answers(web) && KestruneCore::fileExists(marker); }, Clock::now(), 10ms);
        auto deaf = pidOf("deaf");
        LoopStallSampler sampler(h.serve);
        until([&] { return pidOf("deaf") != deaf; }, Clock::now(), 5ms); // being replaced
        auto handle = pidOf("web");
        auto t0 = Clock::now();
        if (units)
            KestruneEngine::runCommand({"systemctl", "--user", "kill", "--signal=SIGKILL", handle});
        else
            ::kill(-std::atoi(handle.c_str()), SIGKILL);
        until([&] { return !answers(web); }, t0, 1ms);
        neighbour.add(state, until([&] { return answers(web); }, t0, 5ms));
        stalls.push_back(sampler.stop());
        auto t1 = Clock::now();
        ::kill(h.serve, SIGTERM);
        ::waitpid(h.serve, nullptr, 0);
        h.serve = -1;
        stops.push_back(std::chrono::duration<double>(Clock::now() - t1).count());
        for (const char* name : {"web", "deaf"}) {
            auto left = pidOf(name);
            if (units)
                KestruneEngine::runCommand(
                    {"systemctl", "--user", "kill", "--signal=SIGKILL", left});
            else if (int group = std::atoi(left.c_str()); group > 1)
                ::kill(-group, SIGKILL);
        }
        if (!units)
            ::kill(-std::atoi(deaf.c_str()), SIGKILL);
    }
    neighbour.report(state);
    std::sort(stops.begin(), stops.end());
    if (!stops.empty())
        state.counters["engine_stop_median_ms"] = stops[stops.size() / 2] * 1000.0;
    std::sort(stalls.begin(), stalls.end());
    if (!stalls.empty()) {
        state.counters["loop_longest_stall_median_ms"] = stalls[stalls.size() / 2];
        state.counters["loop_longest_stall_max_ms"] = stalls.back();
    }
}
BENCHMARK(BM_ServeBesideADeafService)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
