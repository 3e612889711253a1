// What `kestrune-engine serve` costs while everything is healthy (30 services checked
// every 5 s: CPU time per minute and resident memory), and how long a pass takes when
// some services time out (their checks run at once, so about one time-out in all).
#include "HttpTestServer.h"
#include "TempDir.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "engine/EnginePass.h"
#include "engine/ServiceHost.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <memory>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

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

void BM_ServeIdleWithThirtyHealthyServices(benchmark::State& state) {
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home(tmp.path());
    std::vector<std::unique_ptr<KestruneTest::HttpTestServer>> servers;
    std::vector<std::string> urls;
    for (int i = 0; i < 30; ++i) {
        servers.push_back(std::make_unique<KestruneTest::HttpTestServer>());
        urls.push_back(servers.back()->url());
    }
    KestruneCore::save(services(tmp, urls));
    std::vector<std::string> args{KESTRUNE_ENGINE_PATH, "serve", "--home", tmp.path()};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t serve = -1;
    ::posix_spawn(&serve, argv[0], nullptr, nullptr, argv.data(), environ);
    std::this_thread::sleep_for(3s); // the first pass and settling
    for (auto _ : state) {
        auto before = usage(serve);
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        auto after = usage(serve);
        state.counters["cpu_ms_per_min"] =
            (after.first - before.first) * 60.0 / static_cast<double>(state.range(0));
        state.counters["rss_kib"] = static_cast<double>(after.second);
        state.counters["pss_kib"] = static_cast<double>(pssKib(serve));
        state.counters["pss_anon_kib"] = static_cast<double>(pssKib(serve, "Pss_Anon"));
        state.counters["checks"] = static_cast<double>(servers[0]->requestCount());
    }
    ::kill(serve, SIGTERM);
    ::waitpid(serve, nullptr, 0);
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
