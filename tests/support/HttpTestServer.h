// A small HTTP/1.1 server on a free 127.0.0.1 port for tests, running on its own threads.
//
// It answers every request with a chosen response (status, headers, body), optionally after a
// delay, or accepts and never answers, or drops the connection. Per-path handlers decide the
// response from the request. Every request is recorded (method, path, headers, whole body).
// Each answer closes its connection ("Connection: close").
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace KestruneTest {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string path; // the request target as sent, query included
    HttpHeaders headers;
    std::string body; // de-chunked when sent chunked

    // The first header of that name (case-insensitive), or "".
    std::string header(std::string_view name) const;
};

struct HttpResponse {
    enum class Action {
        Answer,      // send the response
        NeverAnswer, // keep the connection open, send nothing, until the server stops
        Drop,        // close the connection without a response
    };

    int status = 200;
    HttpHeaders headers; // Content-Length and Connection are added unless given
    std::string body;
    std::chrono::milliseconds delay{0}; // wait this long before acting
    Action action = Action::Answer;

    static HttpResponse withStatus(int status, std::string body = {}, HttpHeaders headers = {});
    static HttpResponse redirect(int status, std::string location);
    static HttpResponse slow(std::chrono::milliseconds delay, int status = 200);
    static HttpResponse neverAnswer();
    static HttpResponse drop();
};

class HttpTestServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // Starts listening at once; answers 200 with an empty body until told otherwise.
    HttpTestServer();
    explicit HttpTestServer(HttpResponse response);
    explicit HttpTestServer(Handler handler);
    ~HttpTestServer(); // stops, closes every connection, joins every thread
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" + path
    std::string url(std::string_view path = "/") const;

    // The response for paths without their own handler.
    void respond(HttpResponse response);
    void handle(Handler handler);
    // A handler for one exact path (query excluded from the match).
    void route(std::string path, Handler handler);
    void route(std::string path, HttpResponse response);

    // Connections accepted so far, including those that never sent a request.
    std::size_t connectionCount() const { return accepted_; }

    std::vector<HttpRequest> requests() const;
    std::size_t requestCount() const;
    // Waits until at least `count` requests have arrived; false after `timeout`.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void clearRequests();

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void serve(int fd);
    HttpResponse responseFor(const HttpRequest& request) const;
    bool waitOrStop(std::chrono::milliseconds delay) const; // false when stopping

    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1}; // written to on stop, wakes every poll
    std::uint16_t port_ = 0;
    std::atomic<std::size_t> accepted_{0};
    std::thread acceptThread_;
    std::list<std::unique_ptr<Connection>> connections_; // accept thread only until stop

    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    Handler fallback_;
    std::map<std::string, Handler> routes_;
    std::vector<HttpRequest> requests_;
};

// Holds the answers of the handlers it makes until it is opened, at the latest when it
// goes: declared after the servers that use it, it never keeps them from stopping.
// For tests whose client must not see an answer before the test has looked twice.
class AnswerGate {
public:
    ~AnswerGate() { open(); }
    void open();
    HttpTestServer::Handler holding(HttpResponse response) const;

private:
    std::promise<void> promise_;
    std::shared_future<void> opened_ = promise_.get_future().share();
    std::atomic<bool> isOpen_{false};
};

// A 127.0.0.1 port that nothing listens on (bound for a moment to find it, then closed).
std::uint16_t freeClosedPort();

// A socket listening on a free 127.0.0.1 port that never accepts; connects to it succeed.
class ListeningSocket {
public:
    ListeningSocket();
    ~ListeningSocket();
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;

    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace KestruneTest
