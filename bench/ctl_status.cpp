// `kestrunectl status --no-probe` with 50 services against a peer tool's summary in
// the same run, alternating, as CPU time (user + system) of each child from wait4.
// The peer is `monit summary` beside a private monit daemon watching 50 files when
// monit is installed, else a bare program that links only libc. The target is a
// ratio (ctl/peer) of at most 0.6.
#include "TempDir.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/WatchList.h"
#include "platform/Process.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace KestruneCore;

namespace {

constexpr int services = 50;

// Runs argv with output dropped; its CPU seconds, or a negative number on failure.
double childCpuSeconds(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Home {
    KestruneTest::TempDir tmp;
    Home() {
        KestruneTest::ScopedHome home(tmp.path());
        WatchList list;
        for (int i = 0; i < services; ++i) {
            std::string n = std::to_string(i);
            std::string dir = tmp.mkdir("projects/service-" + n);
            tmp.write("projects/service-" + n + "/scripts/launch.sh", "#!/bin/sh\n", true);
            tmp.write("projects/service-" + n + "/scripts/launch.json",
                      R"({"healthcheck": {"url": "http://127.0.0.1:)" + std::to_string(20000 + i) +
                          R"(/health"}, "start_grace_seconds": 60})");
            // A few names as people write them, so not every count takes the short way.
            std::string name = i % 10 == 0 ? "café " + n : "service-" + n;
            list.push_back({name, dir, i % 3 != 0, EntryType::service, "launch.sh"});
        }
        save(list);
        saveMaster(true);
    }
};

// A monit daemon of its own (control file, port and state in a temporary folder),
// stopped at the end; none when monit is not installed or will not start.
struct Peer {
    KestruneTest::TempDir tmp;
    std::vector<std::string> summary;
    bool monit = false;

    Peer() {
        auto program = findInPath("monit");
        if (!program) {
            summary = {BARE_LIBC_PATH};
            return;
        }
        std::string rc = "set daemon 3600\nset pidfile " + tmp / "monit.pid" + "\nset idfile " +
                         tmp / "monit.id" + "\nset statefile " + tmp / "monit.state" +
                         "\nset httpd port 28127 and use address 127.0.0.1 allow 127.0.0.1\n";
        for (int i = 0; i < services; ++i) {
            std::string f = tmp.write("watched/f" + std::to_string(i), "x");
            rc += "check file f" + std::to_string(i) + " with path " + f + "\n";
        }
        std::string control = tmp.write("monitrc", rc);
        ::chmod(control.c_str(), 0600);
        runProcess({*program, "-c", control});
        summary = {*program, "-c", control, "summary"};
        monit = true;
        for (int i = 0; i < 100 && childCpuSeconds(summary) < 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Peer() {
        // The daemon's own pid file says whom to stop; waits until it has gone.
        pid_t pid =
            monit ? static_cast<pid_t>(std::atol(readFile(tmp / "monit.pid").value_or("").c_str()))
                  : 0;
        if (pid <= 0 || ::kill(pid, SIGTERM) != 0)
            return;
        for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
};

void BM_StatusAgainstPeer(benchmark::State& state) {
    Home home;
    Peer peer;
    const std::vector<std::string> ctl = {KESTRUNECTL_PATH, "--home", home.tmp.path(), "status",
                                          "--no-probe"};
    double ctlTotal = 0, peerTotal = 0;
    for (auto _ : state) {
        double c = childCpuSeconds(ctl);
        double p = childCpuSeconds(peer.summary);
        if (c < 0 || p < 0) {
            state.SkipWithError("a command failed");
            return;
        }
        ctlTotal += c;
        peerTotal += p;
    }
    const double n = double(state.iterations());
    state.counters["ctl_cpu_ms"] = ctlTotal / n * 1e3;
    state.counters["peer_cpu_ms"] = peerTotal / n * 1e3;
    state.counters["ratio"] = peerTotal > 0 ? ctlTotal / peerTotal : 0;
    state.SetLabel(peer.monit ? "peer: monit summary" : "peer: bare libc program");
}
BENCHMARK(BM_StatusAgainstPeer)->Iterations(200)->Unit(benchmark::kMillisecond);

} // namespace
