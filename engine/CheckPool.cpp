#include "engine/CheckPool.h"

#include <algorithm>

namespace KestruneEngine {

CheckPool::CheckPool(std::size_t baseThreads, std::size_t maxThreads)
    : base_(baseThreads), max_(std::max(baseThreads, maxThreads)) {}

CheckPool::~CheckPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    // No thread retires once stopping, so both lists are final here.
    for (auto* list : {&threads_, &retired_})
        for (auto& t : *list)
            if (t.joinable())
                t.join();
}

void CheckPool::abandon() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
    wake_.notify_all();
    for (auto* list : {&threads_, &retired_})
        for (auto& t : *list)
            t.detach();
}

void CheckPool::spawnLocked() {
    // Threads that retired have ended or are about to: joined before a new one comes.
    for (auto& t : retired_)
        t.join();
    retired_.clear();
    threads_.emplace_back([this] { work(); });
}

void CheckPool::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({std::move(task), Steady::now()});
        // Threads are made only as checks need them, so an engine with one service
        // keeps one.
        if (idle_ < queue_.size() && threads_.size() < base_)
            spawnLocked();
    }
    wake_.notify_one();
}

std::optional<CheckPool::Steady::time_point>
CheckPool::unstick(std::chrono::milliseconds patience) {
    std::lock_guard lock(mutex_);
    if (queue_.empty())
        return std::nullopt;
    auto now = Steady::now();
    std::size_t late = 0;
    for (const auto& task : queue_)
        late += task.queued + patience <= now;
    late -= std::min(late, idle_);
    for (; late > 0 && threads_.size() < max_; --late)
        spawnLocked();
    if (threads_.size() >= max_)
        return std::nullopt; // nothing more to add: the checks wait their turn
    return queue_.front().queued + patience;
}

void CheckPool::work() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            ++idle_;
            bool woken =
                wake_.wait_for(lock, linger, [this] { return stopping_ || !queue_.empty(); });
            --idle_;
            if (!woken) {
                // Nothing to check for a while: the thread goes, and comes back with
                // the next checks.
                auto self = std::find_if(threads_.begin(), threads_.end(), [](const auto& t) {
                    return t.get_id() == std::this_thread::get_id();
                });
                retired_.push_back(std::move(*self));
                threads_.erase(self);
                return;
            }
            if (queue_.empty())
                return;
            task = std::move(queue_.front().run);
            queue_.pop_front();
        }
        task();
    }
}

CheckPool& CheckPool::shared() {
    static CheckPool pool(16, 16);
    return pool;
}

} // namespace KestruneEngine
