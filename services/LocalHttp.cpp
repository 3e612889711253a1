#include "services/LocalHttp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace KestruneCore {

namespace {

using Steady = std::chrono::steady_clock;

// Status lines and interim answers are short; a reply whose status line does not end
// within this much is not one a service's health check gives.
constexpr std::size_t longestHead = 16 * 1024;

class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }
    // Once the request is out, the connection ends with a reset rather than the
    // closing handshake: the answer is all we want, and neither side is left
    // holding the connection in TIME_WAIT (360 a minute at 30 services).
    void resetOnClose() const {
        linger now{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }

private:
    int fd_;
};

// Waits for `events` on `fd` until `deadline`: the events seen, 0 when time ran out.
short waitFor(int fd, short events, Steady::time_point deadline) {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now()).count();
        if (left <= 0)
            return 0;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return p.revents;
        if (n == 0)
            return 0;
        if (errno != EINTR)
            return POLLERR;
    }
}

LocalHttpReply failedWith(std::string error) {
    return {LocalHttpReply::End::failed, 0, std::move(error)};
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// "HTTP/1.1 200 OK" (also "HTTP/1.0", "HTTP/2", no reason phrase): the code, else -1.
long statusOf(std::string_view line) {
    if (line.rfind("HTTP/", 0) != 0)
        return -1;
    std::size_t at = 5;
    if (at >= line.size() || !isDigit(line[at]))
        return -1;
    ++at;
    if (at + 1 < line.size() && line[at] == '.' && isDigit(line[at + 1]))
        at += 2;
    if (at + 4 > line.size() || line[at] != ' ' || !isDigit(line[at + 1]) ||
        !isDigit(line[at + 2]) || !isDigit(line[at + 3]) ||
        (at + 4 < line.size() && line[at + 4] != ' ' && line[at + 4] != '\r'))
        return -1;
    return (line[at + 1] - '0') * 100 + (line[at + 2] - '0') * 10 + (line[at + 3] - '0');
}

// Where the head starting the text ends (after its empty line), or npos.
std::size_t headEnd(std::string_view text) {
    for (std::size_t at = text.find('\n'); at != std::string_view::npos;
         at = text.find('\n', at + 1)) {
        std::size_t next = at + 1;
        if (next < text.size() && text[next] == '\n')
            return next + 1;
        if (next + 1 < text.size() && text[next] == '\r' && text[next + 1] == '\n')
            return next + 2;
    }
    return std::string_view::npos;
}

} // namespace

LocalHttpReply localHttpGet(const std::string& ip, int port, const std::string& target,
                            const std::string& hostHeader, std::chrono::milliseconds limit) {
    const auto deadline = Steady::now() + limit;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port < 1 || port > 65535 || ::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1)
        return failedWith("URL using bad/illegal format or missing URL");
    Socket socket;
    if (socket.fd() < 0)
        return failedWith("Couldn't connect to server");
    const int fd = socket.fd();
    // On this computer the handshake is over by the time connect returns, so the
    // request goes out at once; only a send that finds it still under way waits. An
    // error before anything was sent is the connection's own: not accepted.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS)
        return {LocalHttpReply::End::refused, 0, {}};

    std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + hostHeader +
                          "\r\nUser-Agent: Kestrune health check\r\nAccept: */*\r\n"
                          "Connection: close\r\n\r\n";
    for (std::size_t sent = 0; sent < request.size();) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            if (sent == 0)
                return {LocalHttpReply::End::refused, 0, {}};
            return failedWith("Failure when sending data to the peer");
        }
        if (waitFor(fd, POLLOUT, deadline) == 0)
            return {LocalHttpReply::End::timedOut, 0, {}};
    }
    socket.resetOnClose();

    std::string head;
    bool anything = false;
    char buf[2048];
    for (;;) {
        // The final status line decides; interim answers (100 Continue) are passed over.
        if (auto eol = head.find('\n'); eol != std::string::npos) {
            long status = statusOf(std::string_view(head).substr(0, eol));
            if (status < 0)
                return failedWith("Weird server reply");
            if (status >= 200 || status == 101)
                return {LocalHttpReply::End::answered, status, {}};
            if (auto end = headEnd(head); end != std::string::npos) {
                head.erase(0, end);
                continue;
            }
        }
        if (head.size() > longestHead)
            return failedWith("Weird server reply");
        // The answer needs the service's turn first: wait, then read.
        if (waitFor(fd, POLLIN, deadline) == 0)
            return {LocalHttpReply::End::timedOut, 0, {}};
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            anything = true;
            head.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0)
            return failedWith(anything ? "Weird server reply"
                                       : "Server returned nothing (no headers, no data)");
        if (errno != EAGAIN && errno != EINTR)
            return failedWith("Failure when receiving data from the peer");
    }
}

} // namespace KestruneCore
