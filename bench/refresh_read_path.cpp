// What one refresh reads while the master switch is on: the problems file, the live
// problems, and slow starts from the activity log's tail with start records and folder
// configurations of the candidates.
#include "TempDir.h"
#include "core/FileIO.h"
#include "health/AppLiveness.h"
#include "health/Problems.h"
#include "health/SlowStarts.h"

#include <benchmark/benchmark.h>

using namespace KestruneCore;

namespace {

constexpr int entries = 50;

struct Fixture {
    KestruneTest::TempDir tmp;
    std::vector<AppEntry> apps;
    std::string problems;
    std::string logFile;
    std::string times;
    Clock::time_point now = Clock::now();

    // startedAgo: how long before `now` every entry's current start began.
    explicit Fixture(std::chrono::seconds startedAgo) {
        std::string problemLines;
        std::string records;
        for (int i = 0; i < entries; ++i) {
            std::string name = "entry " + std::to_string(i);
            bool service = i % 2 == 0;
            std::string path = service ? tmp.mkdir("svc" + std::to_string(i))
                                       : tmp / ("App" + std::to_string(i) + ".app");
            if (service)
                tmp.write("svc" + std::to_string(i) + "/scripts/launch.json",
                          "{\"healthcheck\": {\"url\": \"http://127.0.0.1:8080/health\"},"
                          " \"start_grace_seconds\": 60}");
            apps.push_back({name, path, true, service ? EntryType::service : EntryType::app,
                            service ? "launch.sh" : ""});
            problemLines += name + "\t" + (i % 3 ? "not-running-relaunching" : "retrying") +
                            "\t\t1765100000\tstarting with launch.sh\n";
            for (int r = 0; r < 10; ++r)
                records += name + "\t2026-12-07 09:00:00\t2026-12-07 09:00:12\t" +
                           std::to_string(5 + r) + "\tretry\thealthy\n";
        }
        problems = tmp.write("problems.tsv", problemLines);
        times = tmp.write("startup-times.tsv", records);

        // A long log of ordinary lines, with a start for every entry near its end.
        std::string log;
        auto at = now - std::chrono::hours(2);
        int i = 0;
        while (log.size() < 2 * slowStartLogTailBytes) {
            const auto& e = apps[static_cast<std::size_t>(i++ % entries)];
            log += logLine(e.name,
                           i % 7 ? "check ok: HTTP 200 in 12 ms" : "started: healthy after 4s", at);
            at += std::chrono::seconds(1);
        }
        for (const auto& e : apps)
            log += logLine(e.name, "ACTION: not running -> open", now - startedAgo);
        logFile = tmp.write("kestrune.log", log);
    }
};

// Every entry has a problem and a start under way; state.range(0) is how many seconds
// ago those starts began: 10 (inside their usual 21-second window) or 600 (all slow,
// so every service folder's configuration is read too).
void refreshReadPath(benchmark::State& state) {
    Fixture f{std::chrono::seconds(state.range(0))};
    auto notRunning = [](const std::string&) { return false; };
    for (auto _ : state) {
        auto problems = liveProblems(loadProblems(f.problems), f.apps, notRunning);
        auto slow = slowStarts(f.apps, problems, f.now, f.logFile, f.times);
        benchmark::DoNotOptimize(slow);
    }
}
BENCHMARK(refreshReadPath)->Arg(10)->Arg(600)->Unit(benchmark::kMicrosecond);

// Its parts: the problems file alone, and the log tail with fixed expectations.
void loadProblemsOnly(benchmark::State& state) {
    Fixture f{std::chrono::seconds(10)};
    for (auto _ : state)
        benchmark::DoNotOptimize(loadProblems(f.problems));
}
BENCHMARK(loadProblemsOnly)->Unit(benchmark::kMicrosecond);

void logTailOnly(benchmark::State& state) {
    Fixture f{std::chrono::seconds(10)};
    auto problems = loadProblems(f.problems);
    for (auto _ : state) {
        auto text = readFileTail(f.logFile, slowStartLogTailBytes);
        benchmark::DoNotOptimize(slowStarts(utf8Replacing(*text), f.apps, problems, f.now,
                                            [](const AppEntry&) { return std::int64_t{60}; }));
    }
}
BENCHMARK(logTailOnly)->Unit(benchmark::kMicrosecond);

// The same cycle's liveness question asked of the real process table, once.
void appIsRunningScan(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(appIsRunning("/nonexistent/Kestrune Bench.app"));
}
BENCHMARK(appIsRunningScan)->Unit(benchmark::kMicrosecond);

} // namespace
