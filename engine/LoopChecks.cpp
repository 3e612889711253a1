#include "engine/LoopChecks.h"

#include <poll.h>
#include <sys/epoll.h>

namespace KestruneEngine {

LoopChecks::LoopChecks(int epollFd, std::function<double()> now, Done done)
    : epollFd_(epollFd), now_(std::move(now)), done_(std::move(done)) {}

bool LoopChecks::begin(const std::string& stem, const KestruneCore::ServiceConfig& config) {
    // Ports are checked one after the other with blocking connects; those stay on the
    // check threads.
    if (!config.url || !config.ports.empty())
        return false;
    auto target = KestruneCore::localHttpTarget(*config.url);
    if (!target)
        return false;
    Pending p;
    p.stem = stem;
    p.config = config;
    p.began = now_();
    p.limit = Steady::now() + KestruneCore::addressCheckLimit(config);
    p.exchange = std::make_unique<KestruneCore::LocalHttpExchange>(
        target->ip, target->port, target->target, target->hostHeader);
    follow(std::move(p));
    return true;
}

void LoopChecks::follow(Pending p) {
    const auto& exchange = *p.exchange;
    if (exchange.done()) {
        TimedCheck check;
        check.config = p.config;
        check.began = p.began;
        check.outcome = classifyCheck(p.config, addressVerdict(p.config, exchange.reply()));
        check.ended = now_();
        done_(p.stem, std::move(check));
        return;
    }
    short wants = exchange.wants();
    if (wants != p.waitingFor) {
        epoll_event ev{};
        ev.events = wants == POLLOUT ? EPOLLOUT : EPOLLIN;
        ev.data.fd = exchange.fd();
        ::epoll_ctl(epollFd_, p.waitingFor ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, exchange.fd(), &ev);
        p.waitingFor = wants;
    }
    int fd = exchange.fd();
    pending_[fd] = std::move(p);
}

void LoopChecks::advance(int fd) {
    auto it = pending_.find(fd);
    if (it == pending_.end())
        return;
    Pending p = std::move(it->second);
    pending_.erase(it);
    // A finished exchange closes its socket, which leaves the epoll set with it.
    p.exchange->advance();
    follow(std::move(p));
}

void LoopChecks::expire(Steady::time_point now) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second.limit > now) {
            ++it;
            continue;
        }
        Pending p = std::move(it->second);
        it = pending_.erase(it);
        p.exchange->expire();
        follow(std::move(p));
    }
}

std::optional<LoopChecks::Steady::time_point> LoopChecks::nextLimit() const {
    std::optional<Steady::time_point> earliest;
    for (const auto& [fd, p] : pending_)
        if (!earliest || p.limit < *earliest)
            earliest = p.limit;
    return earliest;
}

} // namespace KestruneEngine
