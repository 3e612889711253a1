// The keep-alive engine at scale, each figure beside the bare spawn of the same
// servers in the same run: recovery after kill -9 of one server among 1, 10 or 30,
// with and without a neighbour whose check hangs; and `kestrune-engine serve` start
// until every service answers. Times are wall clock, polled every 2 ms.
#include "HangingServer.h"
#include "HttpTestServer.h"
#include "ServeProcess.h"
#include "TempDir.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "health/Problems.h"
#include "platform/Process.h"
#include "services/HealthCheck.h"
#include "services/ServiceCheck.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <functional>
#include <sys/wait.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double median(std::vector<double> v) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds from `since` until `ready`, polled every 2 ms; -1 after 60 s.
double until(const std::function<bool()>& ready, Clock::time_point since) {
    while (Clock::now() - since < 60s) {
        if (ready())
            return std::chrono::duration<double>(Clock::now() - since).count();
        std::this_thread::sleep_for(2ms);
    }
    return -1;
}

bool answers(const std::string& url) {
    KestruneCore::ServiceConfig config;
    config.url = url;
    config.timeout = 1;
    auto check = KestruneCore::checkHealth(config);
    return check && check->ok;
}

std::vector<pid_t> groupMembers(pid_t pgid, bool withLeader) {
    std::vector<pid_t> out;
    DIR* proc = ::opendir("/proc");
    while (auto* ent = proc ? ::readdir(proc) : nullptr) {
        pid_t pid = static_cast<pid_t>(std::atoi(ent->d_name));
        if (pid > 0 && (withLeader || pid != pgid) && ::getpgid(pid) == pgid)
            out.push_back(pid);
    }
    if (proc)
        ::closedir(proc);
    return out;
}

using KestruneTest::hangingServer;

std::string serverScript(int port) {
    return "#!/bin/sh\nexec python3 -m http.server --bind 127.0.0.1 " + std::to_string(port) + "\n";
}

// A temporary home with `services` small HTTP services and `hung` neighbours whose
// checks hang, and `kestrune-engine serve` (process groups) keeping them.
struct Fleet {
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home{tmp.path()};
    pid_t serve = -1;
    std::vector<std::string> names, urls;
    std::string marker = tmp / "hung";

    Fleet(int services, int hung) {
        ::setenv("KESTRUNE_SERVICE_HOST", "group", 1);
        std::vector<KestruneCore::AppEntry> list;
        for (int i = 0; i < services; ++i) {
            int port = KestruneTest::freeClosedPort();
            std::string name = "web" + std::to_string(i);
            urls.push_back("http://127.0.0.1:" + std::to_string(port) + "/");
            tmp.write(name + "/scripts/launch.sh", serverScript(port), true);
            tmp.write(name + "/scripts/launch.json",
                      R"({"healthcheck":{"url":")" + urls.back() + "\"}}");
            names.push_back(name);
            list.push_back({name, tmp / name, true, KestruneCore::EntryType::service, "launch.sh"});
        }
        tmp.write("hang.py", hangingServer);
        for (int i = 0; i < hung; ++i) {
            int port = KestruneTest::freeClosedPort();
            std::string name = "stuck" + std::to_string(i);
            tmp.write(name + "/scripts/launch.sh",
                      "#!/bin/sh\nexec python3 " + (tmp / "hang.py") + " 2 " + marker + " " +
                          std::to_string(port) + "\n",
                      true);
            tmp.write(name + "/scripts/launch.json",
                      R"({"healthcheck":{"url":"http://127.0.0.1:)" + std::to_string(port) +
                          R"(/","interval_seconds":1,"timeout_seconds":60,"retries":0}})");
            list.push_back({name, tmp / name, true, KestruneCore::EntryType::service, "launch.sh"});
        }
        KestruneCore::save(list);
    }

    void start() { serve = KestruneTest::spawnServe(KESTRUNE_ENGINE_PATH, tmp.path()); }

    bool allAnswer() const {
        return std::all_of(urls.begin(), urls.end(), [](const auto& u) { return answers(u); });
    }

    std::string stateFile(const std::string& name, const char* suffix) const {
        return KestruneCore::stateFolder() + "/" + KestruneCore::serviceKey(name) + suffix;
    }

    ~Fleet() {
        if (serve > 0) {
            ::kill(serve, SIGTERM);
            ::waitpid(serve, nullptr, 0);
        }
        DIR* dir = ::opendir(KestruneCore::stateFolder().c_str());
        while (auto* ent = dir ? ::readdir(dir) : nullptr) {
            std::string file = ent->d_name;
            if (file.size() > 4 && file.substr(file.size() - 4) == ".pid") {
                int pgid =
                    std::atoi(KestruneCore::readFile(KestruneCore::stateFolder() + "/" + file)
                                  .value_or("0")
                                  .c_str());
                if (pgid > 1)
                    ::kill(-pgid, SIGKILL);
            }
        }
        if (dir)
            ::closedir(dir);
        ::unsetenv("KESTRUNE_SERVICE_HOST");
    }
};

// Seconds until `count` bare copies of the server, started at once, all answer.
double bareSpawn(KestruneTest::TempDir& tmp, int count) {
    std::vector<std::string> urls;
    std::vector<std::string> scripts;
    for (int i = 0; i < count; ++i) {
        int port = KestruneTest::freeClosedPort();
        urls.push_back("http://127.0.0.1:" + std::to_string(port) + "/");
        scripts.push_back(tmp.write("bare" + std::to_string(i) + ".sh", serverScript(port), true));
    }
    std::vector<pid_t> groups;
    auto t0 = Clock::now();
    for (const auto& script : scripts)
        groups.push_back(KestruneCore::spawnDetached({script}).pid);
    double s = until(
        [&] { return std::all_of(urls.begin(), urls.end(), [](auto& u) { return answers(u); }); },
        t0);
    for (pid_t g : groups)
        if (g > 1)
            ::kill(-g, SIGKILL);
    for (pid_t g : groups)
        if (g > 1)
            ::waitpid(g, nullptr, 0);
    return s;
}

void BM_RecoveryAfterKill(benchmark::State& state) {
    int services = static_cast<int>(state.range(0));
    int hung = static_cast<int>(state.range(1));
    Fleet fleet(services, hung);
    fleet.start();
    if (until(
            [&] { return fleet.allAnswer() && (!hung || KestruneCore::fileExists(fleet.marker)); },
            Clock::now()) < 0) {
        state.SkipWithError("the services never came up");
        return;
    }
    std::vector<double> engine, bare, overhead, reaction;
    int victim = 0;
    for (auto _ : state) {
        double b = bareSpawn(fleet.tmp, 1);
        const auto& name = fleet.names[victim % services];
        const auto& url = fleet.urls[victim % services];
        ++victim;
        // Each kill an ordinary restart, not the third crash of a loop.
        ::unlink(fleet.stateFile(name, ".crashes").c_str());
        int pgid =
            std::atoi(KestruneCore::readFile(fleet.stateFile(name, ".pid")).value_or("0").c_str());
        auto children = groupMembers(pgid, false);
        auto t0 = Clock::now();
        for (pid_t pid : children)
            ::kill(pid, SIGKILL);
        auto handle = KestruneCore::readFile(fleet.stateFile(name, ".pid"));
        // The engine's own share: from the kill until its new runner has begun.
        reaction.push_back(until(
            [&] { return KestruneCore::readFile(fleet.stateFile(name, ".pid")) != handle; }, t0));
        double s = until([&] { return answers(url); }, t0);
        state.SetIterationTime(s);
        engine.push_back(s);
        bare.push_back(b);
        overhead.push_back(s - b);
        // Settle: the engine has seen it healthy again.
        until([&] { return KestruneCore::loadProblems().size() == static_cast<std::size_t>(hung); },
              Clock::now());
    }
    state.counters["median_ms"] = median(engine) * 1000;
    state.counters["bare_median_ms"] = median(bare) * 1000;
    state.counters["over_bare_median_ms"] = median(overhead) * 1000;
    state.counters["restart_begun_median_ms"] = median(reaction) * 1000;
}
BENCHMARK(BM_RecoveryAfterKill)
    ->ArgNames({"services", "hung"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({10, 0})
    ->Args({10, 1})
    ->Args({30, 0})
    ->Iterations(7)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_ServeStartUntilAllAnswer(benchmark::State& state) {
    int services = static_cast<int>(state.range(0));
    std::vector<double> engine, bare;
    for (auto _ : state) {
        double b = 0;
        {
            KestruneTest::TempDir tmp;
            b = bareSpawn(tmp, services);
        }
        Fleet fleet(services, 0);
        auto t0 = Clock::now();
        fleet.start();
        double s = until([&] { return fleet.allAnswer(); }, t0);
        state.SetIterationTime(s);
        engine.push_back(s);
        bare.push_back(b);
    }
    state.counters["median_ms"] = median(engine) * 1000;
    state.counters["bare_median_ms"] = median(bare) * 1000;
}
BENCHMARK(BM_ServeStartUntilAllAnswer)
    ->Arg(1)
    ->Arg(10)
    ->Arg(30)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
