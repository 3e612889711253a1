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

LocalHttpExchange::LocalHttpExchange(const std::string& ip, int port, const std::string& target,
                                     const std::string& hostHeader) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port < 1 || port > 65535 || ::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
        finish(LocalHttpReply::End::failed, 0, "URL using bad/illegal format or missing URL");
        return;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        finish(LocalHttpReply::End::failed, 0, "Couldn't connect to server");
        return;
    }
    // On this computer the handshake is over by the time connect returns, so the
    // request goes out at once; only a send that finds it still under way waits. An
    // error before anything was sent is the connection's own: not accepted.
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS) {
        finish(LocalHttpReply::End::refused);
        return;
    }
    request_ = "GET " + target + " HTTP/1.1\r\nHost: " + hostHeader +
               "\r\nUser-Agent: Kestrune health check\r\nAccept: */*\r\n"
               "Connection: close\r\n\r\n";
    send();
}

LocalHttpExchange::~LocalHttpExchange() {
    if (fd_ >= 0)
        ::close(fd_);
}

short LocalHttpExchange::wants() const {
    return sent_ < request_.size() ? POLLOUT : POLLIN;
}

void LocalHttpExchange::advance() {
    if (done_)
        return;
    if (sent_ < request_.size())
        send();
    else
        receive();
}

void LocalHttpExchange::expire() {
    if (!done_)
        finish(LocalHttpReply::End::timedOut);
}

void LocalHttpExchange::finish(LocalHttpReply::End end, long status, std::string error) {
    done_ = true;
    reply_ = {end, status, std::move(error)};
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void LocalHttpExchange::send() {
    while (sent_ < request_.size()) {
        ssize_t n = ::send(fd_, request_.data() + sent_, request_.size() - sent_, MSG_NOSIGNAL);
        if (n > 0) {
            sent_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            if (sent_ == 0)
                finish(LocalHttpReply::End::refused);
            else
                finish(LocalHttpReply::End::failed, 0, "Failure when sending data to the peer");
        }
        return; // the rest when the socket takes more
    }
    // Once the request is out, the connection ends with a reset rather than the
    // closing handshake: the answer is all we want, and neither side is left
    // holding the connection in TIME_WAIT (360 a minute at 30 services).
    linger now{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    // The answer needs the service's turn first: it is read once the socket says so.
}

void LocalHttpExchange::receive() {
    char buf[2048];
    for (;;) {
        // The final status line decides; interim answers (100 Continue) are passed over.
        if (auto eol = head_.find('\n'); eol != std::string::npos) {
            long status = statusOf(std::string_view(head_).substr(0, eol));
            if (status < 0)
                return finish(LocalHttpReply::End::failed, 0, "Weird server reply");
            if (status >= 200 || status == 101)
                return finish(LocalHttpReply::End::answered, status);
            if (auto end = headEnd(head_); end != std::string::npos) {
                head_.erase(0, end);
                continue;
            }
        }
        if (head_.size() > longestHead)
            return finish(LocalHttpReply::End::failed, 0, "Weird server reply");
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            anything_ = true;
            head_.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0)
            return finish(LocalHttpReply::End::failed, 0,
                          anything_ ? "Weird server reply"
                                    : "Server returned nothing (no headers, no data)");
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return finish(LocalHttpReply::End::failed, 0,
                          "Failure when receiving data from the peer");
        return; // more when the socket has it
    }
}

LocalHttpReply localHttpGet(const std::string& ip, int port, const std::string& target,
                            const std::string& hostHeader, std::chrono::milliseconds limit) {
    const auto deadline = Steady::now() + limit;
    LocalHttpExchange exchange(ip, port, target, hostHeader);
    while (!exchange.done()) {
        if (waitFor(exchange.fd(), exchange.wants(), deadline) == 0)
            exchange.expire();
        else
            exchange.advance();
    }
    return exchange.reply();
}

} // namespace KestruneCore
