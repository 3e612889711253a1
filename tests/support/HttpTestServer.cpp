#include "HttpTestServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace KestruneTest {

using namespace std::chrono_literals;

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::string trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return std::string(s);
}

// Binds a TCP socket to 127.0.0.1 on a free port; returns the fd and fills `port`.
int bindLoopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("bind to 127.0.0.1 failed");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

const char* reasonPhrase(int status) {
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(std::size_t(n));
    }
    return true;
}

} // namespace

std::string HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name))
            return value;
    return {};
}

HttpResponse HttpResponse::withStatus(int status, std::string body, HttpHeaders headers) {
    HttpResponse r;
    r.status = status;
    r.body = std::move(body);
    r.headers = std::move(headers);
    return r;
}

HttpResponse HttpResponse::redirect(int status, std::string location) {
    return withStatus(status, {}, {{"Location", std::move(location)}});
}

HttpResponse HttpResponse::slow(std::chrono::milliseconds delay, int status) {
    HttpResponse r = withStatus(status);
    r.delay = delay;
    return r;
}

HttpResponse HttpResponse::neverAnswer() {
    HttpResponse r;
    r.action = Action::NeverAnswer;
    return r;
}

HttpResponse HttpResponse::drop() {
    HttpResponse r;
    r.action = Action::Drop;
    return r;
}

HttpTestServer::HttpTestServer() : HttpTestServer(HttpResponse{}) {}

HttpTestServer::HttpTestServer(HttpResponse response)
    : HttpTestServer(Handler([response](const HttpRequest&) { return response; })) {}

HttpTestServer::HttpTestServer(Handler handler) : fallback_(std::move(handler)) {
    listenFd_ = bindLoopback(port_);
    if (::listen(listenFd_, 64) != 0 || ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("listen failed");
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    char byte = 1;
    while (::write(wakeFds_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    acceptThread_.join();
    for (auto& c : connections_)
        c->thread.join();
    ::close(listenFd_);
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
}

std::string HttpTestServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void HttpTestServer::respond(HttpResponse response) {
    handle([response](const HttpRequest&) { return response; });
}

void HttpTestServer::handle(Handler handler) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(handler);
}

void HttpTestServer::route(std::string path, Handler handler) {
    std::lock_guard lock(mutex_);
    routes_[std::move(path)] = std::move(handler);
}

void HttpTestServer::route(std::string path, HttpResponse response) {
    route(std::move(path), [response](const HttpRequest&) { return response; });
}

std::vector<HttpRequest> HttpTestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t HttpTestServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool HttpTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void HttpTestServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

void HttpTestServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++accepted_;
        // Reap connections that have finished so long runs do not pile up threads.
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        auto connection = std::make_unique<Connection>();
        Connection* raw = connection.get();
        connection->thread = std::thread([this, fd, raw] {
            serve(fd);
            ::close(fd);
            raw->done = true;
        });
        connections_.push_back(std::move(connection));
    }
}

bool HttpTestServer::waitOrStop(std::chrono::milliseconds delay) const {
    const bool forever = delay == std::chrono::milliseconds::max();
    const auto deadline = std::chrono::steady_clock::now() + (forever ? 0ms : delay);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!forever && left.count() <= 0)
            return true;
        pollfd fd{wakeFds_[0], POLLIN, 0};
        int n = ::poll(&fd, 1, forever ? -1 : int(std::min<long long>(left.count(), 1 << 30)));
        if (n > 0)
            return false;
    }
}

HttpResponse HttpTestServer::responseFor(const HttpRequest& request) const {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        std::string path = request.path.substr(0, request.path.find('?'));
        auto it = routes_.find(path);
        handler = it != routes_.end() ? it->second : fallback_;
    }
    return handler ? handler(request) : HttpResponse{};
}

void HttpTestServer::serve(int fd) {
    std::string buffer;
    // Reads more into `buffer`; false on end, error or stop.
    auto readMore = [&]() {
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            if (fds[1].revents)
                return false;
            char chunk[16384];
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            buffer.append(chunk, std::size_t(n));
            return true;
        }
    };

    std::size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos)
        if (!readMore())
            return;

    HttpRequest request;
    std::string_view head(buffer.data(), headerEnd);
    std::size_t lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    std::size_t sp1 = requestLine.find(' ');
    std::size_t sp2 = requestLine.find(' ', sp1 == std::string_view::npos ? 0 : sp1 + 1);
    if (sp1 == std::string_view::npos)
        return;
    request.method = std::string(requestLine.substr(0, sp1));
    request.path = std::string(requestLine.substr(
        sp1 + 1, sp2 == std::string_view::npos ? std::string_view::npos : sp2 - sp1 - 1));
    while (lineEnd != std::string_view::npos) {
        std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::string_view line = head.substr(
            start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            request.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    buffer.erase(0, headerEnd + 4);

    if (equalsIgnoringCase(request.header("Expect"), "100-continue") &&
        !sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n"))
        return;

    if (equalsIgnoringCase(request.header("Transfer-Encoding"), "chunked")) {
        for (;;) {
            std::size_t eol;
            while ((eol = buffer.find("\r\n")) == std::string::npos)
                if (!readMore())
                    return;
            std::size_t size = std::strtoull(buffer.substr(0, eol).c_str(), nullptr, 16);
            while (buffer.size() < eol + 2 + size + 2)
                if (!readMore())
                    return;
            request.body.append(buffer, eol + 2, size);
            buffer.erase(0, eol + 2 + size + 2);
            if (size == 0)
                break; // trailers, if any, are ignored
        }
    } else if (std::string length = request.header("Content-Length"); !length.empty()) {
        std::size_t wanted = std::strtoull(length.c_str(), nullptr, 10);
        while (buffer.size() < wanted)
            if (!readMore())
                return;
        request.body = buffer.substr(0, wanted);
    }

    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    arrived_.notify_all();

    HttpResponse response = responseFor(request);
    if (response.delay.count() > 0 && !waitOrStop(response.delay))
        return;
    switch (response.action) {
    case HttpResponse::Action::NeverAnswer:
        waitOrStop(std::chrono::milliseconds::max());
        return;
    case HttpResponse::Action::Drop:
        return;
    case HttpResponse::Action::Answer:
        break;
    }

    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                      reasonPhrase(response.status) + "\r\n";
    bool hasLength = false, hasConnection = false;
    for (const auto& [key, value] : response.headers) {
        hasLength = hasLength || equalsIgnoringCase(key, "Content-Length");
        hasConnection = hasConnection || equalsIgnoringCase(key, "Connection");
        out += key + ": " + value + "\r\n";
    }
    if (!hasLength)
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    if (!hasConnection)
        out += "Connection: close\r\n";
    out += "\r\n";
    if (request.method != "HEAD")
        out += response.body;
    sendAll(fd, out);
    ::shutdown(fd, SHUT_WR);
    // Let the client read everything before the close; stop reading at its end or on stop.
    while (readMore())
        buffer.clear();
}

std::uint16_t freeClosedPort() {
    std::uint16_t port = 0;
    ::close(bindLoopback(port));
    return port;
}

ListeningSocket::ListeningSocket() {
    fd_ = bindLoopback(port_);
    if (::listen(fd_, 64) != 0) {
        ::close(fd_);
        throw std::runtime_error("listen failed");
    }
}

ListeningSocket::~ListeningSocket() {
    ::close(fd_);
}

void AnswerGate::open() {
    if (!isOpen_.exchange(true))
        promise_.set_value();
}

HttpTestServer::Handler AnswerGate::holding(HttpResponse response) const {
    return [opened = opened_, response = std::move(response)](const HttpRequest&) {
        opened.wait();
        return response;
    };
}

} // namespace KestruneTest
