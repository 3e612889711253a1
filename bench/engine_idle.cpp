// What `kestrune-engine serve` costs while everything is healthy (30 services checked
// every 5 s: CPU time per minute and resident memory), and how long a pass takes when
// some services time out (their checks run at once, so about one time-out in all).
#include "HttpTestServer.h"
#include "ServeProcess.h"
#include "TempDir.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "engine/EnginePass.h"
#include "engine/ServiceHost.h"
#include "engine/StateCache.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::vector<KestruneCore::AppEntry> services(KestruneTest::TempDir& tmp,
                                             const std::vector<std::string>& urls,
                                             const std::string& extra = "") {
    std::vector<KestruneCore::AppEntry> list;
    for (std::size_t i = 0; i < urls.size(); ++i) {
        auto dir = "svc" + std::to_string(i);
        tmp.write(dir + "/scripts/launch.sh", "#!/bin/sh\nexit 0\n", true);
        tmp.write(dir + "/scripts/launch.json",
                  R"({"healthcheck":{"url":")" + urls[i] + "\"" + extra + "}}");
        list.push_back({dir, tmp / dir, true, KestruneCore::EntryType::service, "launch.sh"});
    }
    return list;
}

// CPU time of a process in milliseconds, to the nanosecond (its CPU clock; /proc's
// utime and stime count whole clock ticks, 10 ms, too coarse for a few ms a minute).
double cpuMs(pid_t pid) {
    clockid_t clock{};
    timespec t{};
    if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &t) != 0)
        return -1;
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// utime + stime in milliseconds, and resident set in KiB, of a process.
std::pair<double, long> usage(pid_t pid) {
    auto stat = KestruneCore::readFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
    auto fields = stat.substr(stat.rfind(')') + 2);
    std::vector<std::string> f;
    for (std::size_t s = 0, e; s < fields.size(); s = e + 1) {
        e = fields.find(' ', s);
        if (e == std::string::npos)
            e = fields.size();
        f.push_back(fields.substr(s, e - s));
    }
    double ticks = std::stod(f.at(11)) + std::stod(f.at(12));
    long rssPages = std::stol(f.at(21));
    return {ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)),
            rssPages * ::sysconf(_SC_PAGESIZE) / 1024};
}

// Proportional set size in KiB: the process's share of the memory it maps. `field`
// "Pss_Anon" is the share no other process can take (heap, stacks); the rest depends
// on how many other processes map the same libraries.
long pssKib(pid_t pid, const std::string& field = "Pss") {
    auto text =
        KestruneCore::readFile("/proc/" + std::to_string(pid) + "/smaps_rollup").value_or("");
    auto at = text.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + field.size() + 2);
}

// One `serve` with its own home, 30 healthy services and their servers.
class IdleServe {
public:
    explicit IdleServe(const std::string& engine) : home_(tmp_.path()) {
        std::vector<std::string> urls;
        for (int i = 0; i < 30; ++i) {
            servers_.push_back(std::make_unique<KestruneTest::HttpTestServer>());
            urls.push_back(servers_.back()->url());
        }
        KestruneCore::save(services(tmp_, urls));
        pid_ = KestruneTest::spawnServe(engine, tmp_.path());
    }
    ~IdleServe() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    std::size_t checks() const { return servers_[0]->requestCount(); }

private:
    KestruneTest::TempDir tmp_;
    KestruneTest::ScopedHome home_;
    std::vector<std::unique_ptr<KestruneTest::HttpTestServer>> servers_;
    pid_t pid_ = -1;
};

int threadCount(pid_t pid) {
    auto status = KestruneCore::readFile("/proc/" + std::to_string(pid) + "/status").value_or("");
    auto at = status.find("\nThreads:");
    return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + 9);
}

// With KESTRUNE_BASELINE_ENGINE naming another build of kestrune-engine, that one idles
// beside this build's over the same window (counters prefixed "base_"), so both see the
// same machine load.
void BM_ServeIdleWithThirtyHealthyServices(benchmark::State& state) {
    std::vector<std::pair<std::string, std::unique_ptr<IdleServe>>> engines;
    engines.emplace_back("", std::make_unique<IdleServe>(KESTRUNE_ENGINE_PATH));
    if (const char* baseline = std::getenv("KESTRUNE_BASELINE_ENGINE"))
        engines.emplace_back("base_", std::make_unique<IdleServe>(baseline));
    std::this_thread::sleep_for(3s); // the first pass and settling
    for (auto _ : state) {
        std::vector<double> before;
        for (auto& [prefix, e] : engines)
            before.push_back(cpuMs(e->pid()));
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        for (std::size_t i = 0; i < engines.size(); ++i) {
            const auto& [prefix, e] = engines[i];
            auto after = usage(e->pid());
            state.counters[prefix + "cpu_ms_per_min"] =
                (cpuMs(e->pid()) - before[i]) * 60.0 / static_cast<double>(state.range(0));
            state.counters[prefix + "rss_kib"] = static_cast<double>(after.second);
            state.counters[prefix + "pss_kib"] = static_cast<double>(pssKib(e->pid()));
            state.counters[prefix + "pss_anon_kib"] =
                static_cast<double>(pssKib(e->pid(), "Pss_Anon"));
            state.counters[prefix + "threads"] = threadCount(e->pid());
            state.counters[prefix + "checks"] = static_cast<double>(e->checks());
        }
    }
}
BENCHMARK(BM_ServeIdleWithThirtyHealthyServices)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond);

class NoHost : public KestruneEngine::ServiceHost {
public:
    KestruneEngine::StartOutcome start(const KestruneEngine::StartRequest&) override {
        return {"0:0", {}};
    }
    bool isAlive(const std::string&, const std::string&) override { return false; }
    void stop(const std::string&, const std::string&) override {}
};

void BM_PassWithTimingOutServices(benchmark::State& state) {
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home(tmp.path());
    std::vector<std::unique_ptr<KestruneTest::HttpTestServer>> servers;
    std::vector<std::unique_ptr<KestruneTest::ListeningSocket>> silent;
    std::vector<std::string> urls;
    for (int i = 0; i < 10; ++i) {
        servers.push_back(std::make_unique<KestruneTest::HttpTestServer>());
        urls.push_back(servers.back()->url());
    }
    for (int i = 0; i < state.range(0); ++i) {
        silent.push_back(std::make_unique<KestruneTest::ListeningSocket>());
        urls.push_back("http://127.0.0.1:" + std::to_string(silent.back()->port()) + "/");
    }
    KestruneCore::save(services(tmp, urls, R"(,"interval_seconds":1)"));
    NoHost host;
    auto env = KestruneEngine::realEnvironment(host, tmp.path());
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(1100ms); // every check is due again
        state.ResumeTiming();
        KestruneEngine::runPass(env);
    }
}
BENCHMARK(BM_PassWithTimingOutServices)->Arg(1)->Arg(5)->Iterations(2)->Unit(benchmark::kSecond);

} // namespace

namespace {

// The share of the idle cost that is the health check itself (CPU of this thread).
void BM_OneHealthCheck(benchmark::State& state) {
    KestruneTest::HttpTestServer server;
    KestruneCore::ServiceConfig config;
    config.url = server.url();
    for (auto _ : state)
        benchmark::DoNotOptimize(KestruneEngine::checkService(config));
}
BENCHMARK(BM_OneHealthCheck)->Unit(benchmark::kMicrosecond);

} // namespace

namespace {

// The engine's own share of a pass over 30 healthy services: checks answer at once.
void BM_PassOverThirtyHealthyServices(benchmark::State& state) {
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home(tmp.path());
    std::vector<std::string> urls;
    for (int i = 0; i < 30; ++i)
        urls.push_back("http://127.0.0.1:" + std::to_string(1000 + i) + "/");
    KestruneCore::save(services(tmp, urls));
    NoHost host;
    auto env = KestruneEngine::realEnvironment(host, tmp.path());
    // As serve keeps its state files.
    KestruneEngine::StateCache::activate(KestruneCore::stateFolder());
    double now = 1800000000;
    env.now = [&] { return now; };
    env.check = [](const KestruneCore::ServiceConfig& c) {
        return KestruneEngine::HealthOutcome{true, false, *c.url, "healthy (200)", ""};
    };
    for (auto _ : state) {
        now += 5;
        KestruneEngine::runPass(env);
    }
}
BENCHMARK(BM_PassOverThirtyHealthyServices)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

} // namespace
