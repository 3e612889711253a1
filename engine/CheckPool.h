// Threads that run health checks beside the engine's loop. A few serve each round of
// checks (starting a thread per check costs more than the check) and go once no check
// has come for a while, so an engine between rounds runs on its loop alone; when
// checks have waited too long because the threads are busy with services that hang,
// more are added, so a hung service can hold up no check but its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace KestruneEngine {

class CheckPool {
public:
    using Steady = std::chrono::steady_clock;
    // How long a thread waits for a check before it goes.
    static constexpr std::chrono::seconds linger{2};

    CheckPool(std::size_t baseThreads, std::size_t maxThreads);
    // Waits for the checks under way; see abandon().
    ~CheckPool();
    CheckPool(const CheckPool&) = delete;
    CheckPool& operator=(const CheckPool&) = delete;

    void post(std::function<void()> task);

    template <class F> auto submit(F task) -> std::future<decltype(task())> {
        using R = decltype(task());
        auto packaged = std::make_shared<std::packaged_task<R()>>(std::move(task));
        auto future = packaged->get_future();
        post([packaged] { (*packaged)(); });
        return future;
    }

    // Adds a thread for every check that has waited longer than `patience` while no
    // thread was free (up to the maximum). Returns when the oldest waiting check
    // should be looked at again; none when nothing waits.
    std::optional<Steady::time_point> unstick(std::chrono::milliseconds patience);

    // Lets the threads go without waiting for them: for a process about to end while
    // a check may still hang.
    void abandon();

    // The pool single passes share (`kestrune-engine run`, tests).
    static CheckPool& shared();

private:
    struct Task {
        std::function<void()> run;
        Steady::time_point queued;
    };
    void work();
    void spawnLocked();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> queue_;
    std::vector<std::thread> threads_;
    std::vector<std::thread> retired_; // ended for want of work, not yet joined
    std::size_t idle_ = 0;
    std::size_t base_;
    std::size_t max_;
    bool stopping_ = false;
};

} // namespace KestruneEngine
