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

// Sends "GET target" with `hostHeader` to the IPv4 address `ip` (dotted quad) on `port`
// and reads no further than the final status line (interim 1xx answers are skipped).
// The whole exchange is limited to `limit`. Safe to call from any thread.
LocalHttpReply localHttpGet(const std::string& ip, int port, const std::string& target,
                            const std::string& hostHeader, std::chrono::milliseconds limit);

} // namespace KestruneCore
