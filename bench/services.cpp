// Service rows and the health probe. The probe's floor is the loopback itself: compare
// BM_ProbeHealthyServer with BM_RawHttpExchange (the same request written by hand on a
// fresh connection to the same server) and BM_LoopbackRoundTrip (one byte there and
// back on an open connection).
#include "HttpTestServer.h"
#include "health/ServiceDetails.h"
#include "health/ServiceSubtitle.h"
#include "services/HealthCheck.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace KestruneCore;
using namespace KestruneTest;

namespace {

int connectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

struct Rows {
    std::vector<AppEntry> entries;
    std::vector<std::optional<ServiceConfig>> configs;
    std::vector<Problem> problems;
    std::vector<std::optional<ServiceCheck>> checks;
};

Rows fiftyServices(Clock::time_point now) {
    Rows rows;
    for (int i = 0; i < 50; ++i) {
        AppEntry e{"Service " + std::to_string(i), "/srv/s" + std::to_string(i), true,
                   EntryType::service, i % 3 ? "pnpm dev" : "launch.sh"};
        ServiceConfig c;
        if (i % 2)
            c.url = "http://127.0.0.1:" + std::to_string(3000 + i) + "/health";
        else
            c.ports = {4000 + i, 5000 + i};
        rows.entries.push_back(e);
        rows.configs.push_back(c);
        if (i % 5 == 0)
            rows.problems.push_back(Problem{e.name, "retrying", Severity::stuck,
                                            "2026-12-07 10:00:00", "No reply within 5s"});
        if (i % 7 == 1)
            rows.problems.push_back(Problem{e.name, "not-running-relaunching", Severity::restarting,
                                            "2026-12-07 10:00:00", "starting with pnpm dev"});
        rows.checks.push_back(ServiceCheck{now - std::chrono::seconds(i), c.url.value_or(""),
                                           i % 5 ? "healthy (200)" : "timeout",
                                           i % 5 ? "" : "No reply within 5s"});
    }
    return rows;
}

void BM_SubtitlesAndDetailsFor50Services(benchmark::State& state) {
    auto now = Clock::now();
    Rows rows = fiftyServices(now);
    for (auto _ : state) {
        for (std::size_t i = 0; i < rows.entries.size(); ++i) {
            std::optional<Clock::time_point> trying;
            if (i % 5 == 0)
                trying = now - std::chrono::hours(30);
            auto subtitle = serviceSubtitle(rows.entries[i], rows.configs[i], rows.problems, true,
                                            trying, now, TypicalStartup{40, 90}, std::nullopt);
            std::optional<Problem> problem;
            for (const auto& p : rows.problems)
                if (p.name == rows.entries[i].name) {
                    problem = p;
                    break;
                }
            auto details = serviceDetails(rows.entries[i], rows.checks[i], problem);
            benchmark::DoNotOptimize(subtitle);
            benchmark::DoNotOptimize(details);
        }
    }
}
BENCHMARK(BM_SubtitlesAndDetailsFor50Services);

void BM_ProbeHealthyServer(benchmark::State& state) {
    HttpTestServer server;
    ServiceConfig config;
    config.url = server.url("/health");
    for (auto _ : state)
        benchmark::DoNotOptimize(probeHealth(config));
}
BENCHMARK(BM_ProbeHealthyServer)->UseRealTime();

void BM_RawHttpExchange(benchmark::State& state) {
    HttpTestServer server;
    const std::string request = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    char buffer[4096];
    for (auto _ : state) {
        int fd = connectLoopback(server.port());
        ::send(fd, request.data(), request.size(), 0);
        while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
        ::close(fd);
    }
}
BENCHMARK(BM_RawHttpExchange)->UseRealTime();

// A loopback listener whose thread hands each accepted connection to a handler (by
// default it closes it at once).
class Acceptor {
public:
    explicit Acceptor(std::function<void(int)> handle = [](int c) { ::close(c); })
        : handle_(std::move(handle)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        ::listen(fd_, 1024);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            for (int c; (c = ::accept(fd_, nullptr, nullptr)) >= 0;)
                handle_(c);
        });
    }
    ~Acceptor() {
        ::shutdown(fd_, SHUT_RDWR); // wakes the blocked accept
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

private:
    std::function<void(int)> handle_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

void BM_PortCheck(benchmark::State& state) {
    Acceptor acceptor;
    for (auto _ : state)
        benchmark::DoNotOptimize(portAcceptsConnections(acceptor.port()));
}
BENCHMARK(BM_PortCheck)->UseRealTime();

void BM_LoopbackRoundTrip(benchmark::State& state) {
    // The one connection is echoed on the acceptor's own thread until it closes.
    Acceptor acceptor([](int c) {
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char byte;
        while (::recv(c, &byte, 1, 0) == 1)
            ::send(c, &byte, 1, 0);
        ::close(c);
    });
    int fd = connectLoopback(acceptor.port());
    char byte = 'x';
    for (auto _ : state) {
        ::send(fd, &byte, 1, 0);
        ::recv(fd, &byte, 1, 0);
    }
    ::close(fd);
}
BENCHMARK(BM_LoopbackRoundTrip)->UseRealTime();

} // namespace
