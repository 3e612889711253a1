// The health check against real servers and sockets on 127.0.0.1.
#include "services/HealthCheck.h"
#include "HttpTestServer.h"
#include "platform/CurlLibrary.h"

#include <curl/curl.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace KestruneCore;
using namespace KestruneTest;
using namespace std::chrono_literals;

namespace {

ServiceConfig withUrl(std::string url, std::optional<std::vector<int>> expected = std::nullopt,
                      std::vector<int> ports = {}) {
    ServiceConfig c;
    c.url = std::move(url);
    c.expected = std::move(expected);
    c.ports = std::move(ports);
    return c;
}

ServiceConfig withPorts(std::vector<int> ports) {
    ServiceConfig c;
    c.ports = std::move(ports);
    return c;
}

bool waitForConnections(const HttpTestServer& server, std::size_t count) {
    for (int i = 0; i < 500 && server.connectionCount() < count; ++i)
        std::this_thread::sleep_for(10ms);
    return server.connectionCount() >= count;
}

// Answers the first connection's request with exactly `reply`, sent in pieces of
// `piece` bytes, then keeps the connection open until it goes.
class RawReplyServer {
public:
    RawReplyServer(std::string reply, std::size_t piece) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
        ::listen(fd_, 4);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, reply = std::move(reply), piece] {
            client_ = ::accept(fd_, nullptr, nullptr);
            std::string request;
            char buf[1024];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::recv(client_, buf, sizeof buf, 0);
                if (n <= 0)
                    return;
                request.append(buf, static_cast<std::size_t>(n));
            }
            for (std::size_t at = 0; at < reply.size(); at += piece) {
                ::send(client_, reply.data() + at, std::min(piece, reply.size() - at),
                       MSG_NOSIGNAL);
                std::this_thread::sleep_for(2ms);
            }
        });
    }
    ~RawReplyServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(client_);
        ::close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int fd_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace

// Addresses on this computer are asked without libcurl: the answers it must still read
// as libcurl did, and those it reads only as far as the check needs.
TEST(HealthCheck, LocalAddressesReadOnlyAsFarAsTheStatusLine) {
    struct Row {
        std::string reply;
        std::size_t piece;
        std::string result;
    };
    const std::vector<Row> rows{
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n", 64, "healthy (204)"},
        {"HTTP/1.0 503 Service Unavailable\r\n\r\n", 64, "HTTP 503"},
        {"HTTP/1.1 200\r\n\r\n", 64, "healthy (200)"},
        // Trickled a byte at a time, and no body ever follows the head.
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", 1, "healthy (200)"},
        {"SSH-2.0-OpenSSH_9.2\r\n", 64, "no reply"},
        {"HTTP/1.1 2", 64, "timeout"},
    };
    for (const auto& row : rows) {
        RawReplyServer server(row.reply, row.piece);
        ServiceConfig c = withUrl(server.url());
        c.timeout = 1;
        auto check = checkHealth(c);
        ASSERT_TRUE(check) << row.reply;
        EXPECT_EQ(check->result, row.result) << row.reply;
        if (row.result == "no reply") {
            EXPECT_EQ(check->cause,
                      "Got no usable reply from " + server.url() + " (Weird server reply)");
        }
    }

    // What is sent: the path and query, never the fragment; the host as written.
    HttpTestServer site;
    std::string port = std::to_string(site.port());
    auto check = checkHealth(withUrl("http://localhost:" + port + "/health?deep=1#top"));
    EXPECT_EQ(check->result, "healthy (200)");
    ASSERT_EQ(site.requestCount(), 1u);
    EXPECT_EQ(site.requests()[0].path, "/health?deep=1");
    EXPECT_EQ(site.requests()[0].header("Host"), "localhost:" + port);
    EXPECT_EQ(checkHealth(withUrl("http://127.0.0.1:" + port + "?q"))->result, "healthy (200)");
    EXPECT_EQ(site.requests()[1].path, "/?q");
}

TEST(HealthCheck, StatusIsJudgedAgainstExpectedCodesWithoutFollowingRedirects) {
    HttpTestServer server(HttpResponse::redirect(301, "/elsewhere"));
    server.route("/missing", HttpResponse::withStatus(404));
    server.route("/ok", HttpResponse::withStatus(200, "a body that is not kept"));

    auto moved = checkHealth(withUrl(server.url("/")));
    ASSERT_TRUE(moved);
    EXPECT_EQ(*moved, (HealthCheck{true, "healthy (301)", "", HealthFailure::none}));
    EXPECT_EQ(server.requestCount(), 1u); // the redirect was the answer

    std::string url = server.url("/");
    EXPECT_EQ(checkHealth(withUrl(url, std::vector<int>{200})),
              (HealthCheck{false, "HTTP 301", "Got 301 from " + url, HealthFailure::status}));
    EXPECT_EQ(probeHealth(withUrl(url, std::vector<int>{200})), false);

    // An empty list of accepted codes passes nothing, not even 200.
    EXPECT_EQ(probeHealth(withUrl(server.url("/ok"), std::vector<int>{})), false);
    EXPECT_EQ(probeHealth(withUrl(server.url("/ok"))), true);

    // Codes outside 200–399 fail by default but pass when listed.
    EXPECT_EQ(probeHealth(withUrl(server.url("/missing"))), false);
    EXPECT_EQ(probeHealth(withUrl(server.url("/missing"), std::vector<int>{404})), true);
    EXPECT_EQ(server.requests().back().method, "GET");
}

TEST(HealthCheck, AddressFirstThenPortsInOrderStoppingAtTheFirstFailure) {
    HttpTestServer site;
    HttpTestServer firstPort, lastPort;
    int closed = freeClosedPort();

    // Address passes, first port open, second closed, third never reached.
    auto check =
        checkHealth(withUrl(site.url(), std::nullopt, {firstPort.port(), closed, lastPort.port()}));
    ASSERT_TRUE(check);
    EXPECT_EQ(*check,
              (HealthCheck{false, "port " + std::to_string(closed) + " closed",
                           "Port " + std::to_string(closed) + " is not accepting connections",
                           HealthFailure::port}));
    EXPECT_TRUE(waitForConnections(firstPort, 1));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(lastPort.connectionCount(), 0u);

    // A failing address ends the check before any port is tried.
    EXPECT_EQ(probeHealth(withUrl(site.url(), std::vector<int>{}, {lastPort.port()})), false);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(lastPort.connectionCount(), 0u);

    // Ports alone: healthy when every one accepts.
    ListeningSocket a, b;
    EXPECT_EQ(checkHealth(withPorts({a.port(), b.port()})),
              (HealthCheck{true, "healthy (ports)", "", HealthFailure::none}));
    EXPECT_EQ(probeHealth(withPorts({a.port(), closed})), false);
    // Address and ports passing: the address's verdict stands.
    EXPECT_EQ(checkHealth(withUrl(site.url(), std::nullopt, {a.port()}))->result, "healthy (200)");
}

TEST(HealthCheck, NothingDeclaredMeansNothingToCheck) {
    ServiceConfig empty;
    empty.expected = std::vector<int>{200};
    empty.timeout = 0;
    EXPECT_FALSE(checkHealth(empty));
    EXPECT_FALSE(probeHealth(empty));
}

TEST(HealthCheck, SlowOrSilentServersTimeOutAtTheLimit) {
    HttpTestServer server(HttpResponse::slow(20s));
    server.route("/silent", HttpResponse::neverAnswer());

    for (int timeout : {0, -5, 1}) {
        ServiceConfig c = withUrl(server.url());
        c.timeout = timeout;
        auto started = std::chrono::steady_clock::now();
        auto check = checkHealth(c);
        // A hang guard, not a speed target: the limit is one second.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << timeout;
        ASSERT_TRUE(check);
        EXPECT_EQ(*check,
                  (HealthCheck{false, "timeout", "No reply within 1s", HealthFailure::timeout}));
    }
    ServiceConfig silent = withUrl(server.url("/silent"));
    silent.timeout = 2;
    EXPECT_EQ(checkHealth(silent)->cause, "No reply within 2s");
}

TEST(HealthCheck, UnreachableAndMalformedAddressesFail) {
    std::string refused = "http://127.0.0.1:" + std::to_string(freeClosedPort()) + "/health";
    EXPECT_EQ(
        checkHealth(withUrl(refused)),
        (HealthCheck{false, "refused", "Nothing answering at " + refused, HealthFailure::refused}));

    auto unresolved = checkHealth(withUrl("http://kestrune-test.invalid:8080/"));
    EXPECT_EQ(unresolved, (HealthCheck{false, "unresolved", "kestrune-test.invalid doesn't resolve",
                                       HealthFailure::unresolved}));

    // Nothing on the default web port names the local proxy instead of the address.
    if (!portAcceptsConnections(80)) {
        auto proxy = checkHealth(withUrl("http://127.0.0.1/"));
        EXPECT_EQ(proxy->cause, "Nothing answering on port 80 (local proxy)");
    }

    HttpTestServer dropping(HttpResponse::drop());
    auto dropped = checkHealth(withUrl(dropping.url()));
    EXPECT_EQ(dropped->failure, HealthFailure::noReply);
    EXPECT_EQ(dropped->cause.rfind("Got no usable reply from " + dropping.url(), 0), 0u);

    for (std::string bad : {"", "not a url", "http://", "http:// spaced/", "file:///etc/hostname",
                            "ftp://127.0.0.1/"}) {
        auto check = checkHealth(withUrl(bad));
        ASSERT_TRUE(check) << bad;
        EXPECT_FALSE(check->ok) << bad;
        EXPECT_NE(check->failure, HealthFailure::none) << bad;
    }
}

TEST(HealthCheck, PortsOutsideTheValidRangeNeverWrapAround) {
    ListeningSocket socket;
    for (int port : {socket.port() + 65536, socket.port() - 65536, 0, -1, 65536}) {
        EXPECT_FALSE(portAcceptsConnections(port)) << port;
        auto check = checkHealth(withPorts({port}));
        EXPECT_EQ(check->result, "port " + std::to_string(port) + " closed");
    }
    EXPECT_TRUE(portAcceptsConnections(socket.port()));
}

TEST(HealthCheck, ConcurrentChecksAreIndependent) {
    HttpTestServer good;
    HttpTestServer bad(HttpResponse::withStatus(500));
    std::vector<std::future<std::optional<bool>>> results;
    for (int i = 0; i < 8; ++i)
        results.push_back(std::async(std::launch::async, [&, i] {
            return probeHealth(withUrl(i % 2 ? bad.url() : good.url()));
        }));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(results[i].get(), i % 2 == 0) << i;
}

TEST(HealthCheck, AMissingLibcurlIsAFailureWithItsCause) {
    auto missing = KestruneCore::loadCurlLibrary("libcurl-absent.so.0");
    ASSERT_TRUE(std::holds_alternative<std::string>(missing));
    EXPECT_NE(std::get<std::string>(missing).find("libcurl is not available (libcurl-absent.so.0"),
              std::string::npos)
        << std::get<std::string>(missing);
    EXPECT_NE(KestruneCore::curlLibrary(), nullptr) << KestruneCore::curlLibraryError();
}

TEST(HealthCheck, AddressPartsReadWithoutLibcurlAgreeWithIt) {
    // What libcurl itself makes of each (the reading every address once had).
    auto byLibcurl = [](const std::string& url, bool guess) {
        KestruneCore::UrlParts parts;
        CURLU* h = curl_url();
        unsigned flags = CURLU_NON_SUPPORT_SCHEME | (guess ? CURLU_GUESS_SCHEME : 0);
        char* text = nullptr;
        if (curl_url_set(h, CURLUPART_URL, url.c_str(), flags) == CURLUE_OK) {
            if (curl_url_get(h, CURLUPART_HOST, &text, 0) == CURLUE_OK)
                parts.host = text;
            curl_free(text);
            text = nullptr;
            if (curl_url_get(h, CURLUPART_PORT, &text, CURLU_DEFAULT_PORT) == CURLUE_OK)
                parts.port = std::strtol(text, nullptr, 10);
            curl_free(text);
        }
        curl_url_cleanup(h);
        if (parts.host.size() >= 2 && parts.host.front() == '[')
            parts.host = parts.host.substr(1, parts.host.size() - 2);
        return parts;
    };
    for (const std::string url : {"http://127.0.0.1:3000/health",
                                  "https://app.localhost/",
                                  "http://localhost",
                                  "http://my-app.test:8080?x=1#y",
                                  "http://127.1/",
                                  "http://2130706433/",
                                  "http://0x7f.0.0.1/",
                                  "http://010.0.0.1/",
                                  "http://256.0.0.1/",
                                  "http://Example.COM/",
                                  "http://[::1]:5000/",
                                  "http://user:pw@host/",
                                  "http://host:0/",
                                  "http://host:65536/",
                                  "http://host:080/",
                                  "http://host:/",
                                  "http://a..b/",
                                  "http://host/a b",
                                  "http://host/\x1b[2J",
                                  "HTTP://host/",
                                  "localhost:3000",
                                  "ftp://files/",
                                  "",
                                  "http://",
                                  "http://h\xc3\xa9/"}) {
        for (bool guess : {false, true}) {
            auto mine = KestruneCore::urlParts(url, guess);
            auto theirs = byLibcurl(url, guess);
            EXPECT_EQ(mine.host, theirs.host) << url << " " << guess;
            EXPECT_EQ(mine.port, theirs.port) << url << " " << guess;
        }
    }
}
