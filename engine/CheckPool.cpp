#include "engine/CheckPool.h"

namespace KestruneEngine {

CheckPool::CheckPool(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i)
        threads_.emplace_back([this] { work(); });
}

CheckPool::~CheckPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_)
        t.join();
}

void CheckPool::work() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

CheckPool& CheckPool::shared() {
    static CheckPool pool(16);
    return pool;
}

} // namespace KestruneEngine
