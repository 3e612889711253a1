// A GET of a plain http:// address on this computer, made over a socket of our own.
// Such checks are nearly all the engine does while everything is healthy, and doing
// them without libcurl keeps libcurl and its thirty libraries out of the engine.
#pragma once

#include <chrono>
#include <string>

namespace KestruneCore {

struct LocalHttpReply {
    enum class End {
        answered, // a final status line arrived
        refused,  // the connection was not accepted
        timedOut, // the limit passed first
        failed    // anything else; `error` says what
    };
    End end = End::failed;
    long status = 0;   // when answered
    std::string error; // when failed, in the words libcurl uses for the same failure
};

// One exchange that never blocks, for a caller that waits on many at once: made with
// the request already on its way (or already ended: refused, a bad address), it is
// advanced each time its socket is ready for what `wants()` names, until it is done.
// It sends "GET target" with `hostHeader` to the IPv4 address `ip` (dotted quad) on
// `port` and reads no further than the final status line (interim 1xx answers are
// skipped). The caller keeps the time limit and calls expire() when it passes.
class LocalHttpExchange {
public:
    LocalHttpExchange(const std::string& ip, int port, const std::string& target,
                      const std::string& hostHeader);
    ~LocalHttpExchange();
    LocalHttpExchange(const LocalHttpExchange&) = delete;
    LocalHttpExchange& operator=(const LocalHttpExchange&) = delete;

    bool done() const { return done_; }
    // The socket to wait on while not done, and for what: POLLOUT while the request
    // is still going out, else POLLIN.
    int fd() const { return fd_; }
    short wants() const;
    // Goes as far as the socket allows now.
    void advance();
    // The limit passed first.
    void expire();
    const LocalHttpReply& reply() const { return reply_; }

private:
    void finish(LocalHttpReply::End end, long status = 0, std::string error = {});
    void send();
    void receive();

    int fd_ = -1;
    bool done_ = false;
    std::string request_;
    std::size_t sent_ = 0;
    std::string head_;
    bool anything_ = false; // any byte of the reply arrived
    LocalHttpReply reply_;
};

// One exchange as above, waited for here: the whole of it limited to `limit`. Safe to
// call from any thread.
LocalHttpReply localHttpGet(const std::string& ip, int port, const std::string& target,
                            const std::string& hostHeader, std::chrono::milliseconds limit);

} // namespace KestruneCore
