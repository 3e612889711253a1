// Checks serve runs on its own loop: each must come out exactly as a check thread's
// would, and one service that hangs must hold up none of the others.
#include "engine/LoopChecks.h"
#include "HttpTestServer.h"

#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <unistd.h>

using namespace std::chrono_literals;
using KestruneEngine::HealthOutcome;
using KestruneTest::HttpResponse;
using KestruneTest::HttpTestServer;

namespace {

std::string text(const HealthOutcome& o) {
    return std::to_string(o.ok) + std::to_string(o.down) + " " + o.result + " | " + o.cause;
}

} // namespace

TEST(LoopChecks, JudgeAsTheCheckThreadsDoAndAHangHoldsUpOnlyItself) {
    HttpTestServer fine, failing(HttpResponse::withStatus(503)),
        silent(HttpResponse::neverAnswer()), dropping(HttpResponse::drop());
    auto config = [](std::string url, int timeout = 5) {
        KestruneCore::ServiceConfig c;
        c.url = std::move(url);
        c.timeout = timeout;
        return c;
    };
    auto unexpected = config(fine.url("/x"));
    unexpected.expected = std::vector<int>{201};
    std::vector<std::pair<std::string, KestruneCore::ServiceConfig>> cases{
        {"fine", config("http://localhost:" + std::to_string(fine.port()) + "/health?a=1")},
        {"unexpected", unexpected},
        {"failing", config(failing.url())},
        {"refused", config("http://127.0.0.1:" + std::to_string(KestruneTest::freeClosedPort()))},
        {"dropping", config(dropping.url())},
        {"silent", config(silent.url(), 1)},
    };

    int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(epollFd, 0);
    std::map<std::string, KestruneEngine::TimedCheck> got;
    auto clock = [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    KestruneEngine::LoopChecks checks(
        epollFd, clock, [&](const std::string& stem, auto check) { got[stem] = check; });
    double began = clock();
    for (const auto& [stem, c] : cases)
        ASSERT_TRUE(checks.begin(stem, c)) << stem;
    while (got.size() < cases.size() && clock() < began + 10) {
        epoll_event events[16];
        int n = ::epoll_wait(epollFd, events, 16, 50);
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(checks.owns(events[i].data.fd));
            checks.advance(events[i].data.fd);
        }
        checks.expire(std::chrono::steady_clock::now());
    }
    ::close(epollFd);
    ASSERT_EQ(got.size(), cases.size());
    EXPECT_FALSE(checks.nextLimit());
    for (const auto& [stem, c] : cases) {
        EXPECT_EQ(text(got[stem].outcome), text(KestruneEngine::checkService(c))) << stem;
        if (stem != "silent") {
            EXPECT_LT(got[stem].ended, began + 0.5) << stem << " waited for the silent one";
        }
    }
    EXPECT_GE(got["silent"].ended, began + 1);

    // Ports are checked on the threads, and so is anything not of this computer.
    auto withPort = config(fine.url());
    withPort.ports = {fine.port()};
    for (const auto& c : {withPort, config("https://127.0.0.1/"), config("http://example.com/")})
        EXPECT_FALSE(checks.begin("other", c)) << *c.url;
}
