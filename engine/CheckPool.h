// A few long-lived threads that run the health checks of a pass side by side.
// Starting a thread per check costs more than the check itself, and serve runs a
// pass every few seconds for as long as the user is logged in.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace KestruneEngine {

class CheckPool {
public:
    explicit CheckPool(std::size_t threads);
    ~CheckPool();
    CheckPool(const CheckPool&) = delete;
    CheckPool& operator=(const CheckPool&) = delete;

    template <class F> auto submit(F task) -> std::future<decltype(task())> {
        using R = decltype(task());
        auto packaged = std::make_shared<std::packaged_task<R()>>(std::move(task));
        auto future = packaged->get_future();
        {
            std::lock_guard lock(mutex_);
            queue_.emplace_back([packaged] { (*packaged)(); });
        }
        wake_.notify_one();
        return future;
    }

    // The pool passes share: as many checks at once as services time out together
    // in practice, each waiting on the network rather than the CPU.
    static CheckPool& shared();

private:
    void work();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

} // namespace KestruneEngine
