// Health checks serve asks on its own loop: a plain http:// address of this computer
// with no ports beside it, nearly every check an idle engine makes. Such an exchange
// never blocks (on this computer the connection is made by the time connect returns),
// so a round of them costs the loop one wake where a check thread would sleep and wake
// once per check; a service that hangs holds only its own socket until its limit.
#pragma once

#include "engine/EnginePass.h"
#include "services/LocalHttp.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace KestruneEngine {

class LoopChecks {
public:
    using Steady = std::chrono::steady_clock;
    using Done = std::function<void(const std::string& stem, TimedCheck check)>;

    // Sockets are added to `epollFd` with their own number as the event's data; `now`
    // stamps each check's beginning and end; `done` gets each result, also one that
    // ends at once (a refused connection) from within begin().
    LoopChecks(int epollFd, std::function<double()> now, Done done);

    // Begins `config`'s check if it is one this runs (a local plain http:// address and
    // no ports, as the check threads would run it); false, and nothing begun, if not.
    bool begin(const std::string& stem, const KestruneCore::ServiceConfig& config);
    bool owns(int fd) const { return pending_.count(fd) != 0; }
    // The socket `fd` is ready.
    void advance(int fd);
    // Ends every check whose limit has passed by `now`.
    void expire(Steady::time_point now);
    // When the earliest limit passes; none while nothing is under way.
    std::optional<Steady::time_point> nextLimit() const;

private:
    struct Pending {
        std::string stem;
        KestruneCore::ServiceConfig config;
        std::unique_ptr<KestruneCore::LocalHttpExchange> exchange;
        Steady::time_point limit;
        double began = 0;
        short waitingFor = 0;
    };
    // Registers the exchange's socket for what it waits for, or hands in its result.
    void follow(Pending pending);

    int epollFd_;
    std::function<double()> now_;
    Done done_;
    std::map<int, Pending> pending_; // by socket
};

} // namespace KestruneEngine
