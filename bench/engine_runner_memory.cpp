// What each start runner costs in memory while its service runs: `kestrune-engine
// serve` with 30 services whose start commands keep running (a long sleep, still in
// its start grace), and the proportional set size of each runner (the process that
// leads the group named in stem.pid), from /proc/PID/smaps_rollup.
#include "HttpTestServer.h"
#include "ServeProcess.h"
#include "TempDir.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "services/ServiceCheck.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

long smapsKib(pid_t pid, const std::string& field) {
    auto text =
        KestruneCore::readFile("/proc/" + std::to_string(pid) + "/smaps_rollup").value_or("");
    auto at = text.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + field.size() + 2);
}

void BM_RunnerMemoryWithThirtyServices(benchmark::State& state) {
    constexpr int count = 30;
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home(tmp.path());
    ::setenv("KESTRUNE_SERVICE_HOST", "group", 1);
    std::vector<KestruneCore::AppEntry> list;
    for (int i = 0; i < count; ++i) {
        auto dir = "svc" + std::to_string(i);
        tmp.write(dir + "/scripts/launch.sh", "#!/bin/sh\nexec sleep 3600\n", true);
        // Nothing answers, so the engine starts it; the long grace keeps it starting.
        tmp.write(dir + "/scripts/launch.json",
                  R"({"healthcheck":{"url":"http://127.0.0.1:)" +
                      std::to_string(KestruneTest::freeClosedPort()) +
                      R"(/","interval_seconds":60},"start_grace_seconds":3600})");
        list.push_back({dir, tmp / dir, true, KestruneCore::EntryType::service, "launch.sh"});
    }
    KestruneCore::save(list);
    pid_t serve = KestruneTest::spawnServe(KESTRUNE_ENGINE_PATH, tmp.path());

    auto runners = [&] {
        std::vector<pid_t> pids;
        for (const auto& entry : list) {
            auto handle = KestruneCore::readFile(KestruneCore::stateFolder() + "/" +
                                                 KestruneCore::serviceKey(entry.name) + ".pid")
                              .value_or("");
            if (pid_t pid = std::atoi(handle.c_str()); pid > 1 && ::kill(pid, 0) == 0)
                pids.push_back(pid);
        }
        return pids;
    };
    for (int i = 0; i < 100 && runners().size() < count; ++i)
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(2s); // every runner waiting on its command
    for (auto _ : state) {
        auto pids = runners();
        std::vector<double> pss, priv, anon;
        for (pid_t pid : pids) {
            pss.push_back(static_cast<double>(smapsKib(pid, "Pss")));
            priv.push_back(static_cast<double>(smapsKib(pid, "Private_Clean") +
                                               smapsKib(pid, "Private_Dirty")));
            anon.push_back(static_cast<double>(smapsKib(pid, "Pss_Anon")));
        }
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v.empty() ? -1.0 : v[v.size() / 2];
        };
        double total = 0;
        for (double v : pss)
            total += v;
        state.counters["runners"] = static_cast<double>(pids.size());
        state.counters["pss_kib_median"] = median(pss);
        state.counters["pss_kib_mean"] =
            pids.empty() ? -1 : total / static_cast<double>(pids.size());
        state.counters["private_kib_median"] = median(priv);
        state.counters["pss_anon_kib_median"] = median(anon);
        state.counters["engine_pss_kib"] = static_cast<double>(smapsKib(serve, "Pss"));
    }
    auto pids = runners();
    ::kill(serve, SIGTERM);
    ::waitpid(serve, nullptr, 0);
    for (pid_t pid : pids)
        ::kill(-pid, SIGKILL);
    ::unsetenv("KESTRUNE_SERVICE_HOST");
}
BENCHMARK(BM_RunnerMemoryWithThirtyServices)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
