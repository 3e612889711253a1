// The check threads: they go when idle and must come back for the next checks.
#include "engine/CheckPool.h"

#include <gtest/gtest.h>

using KestruneEngine::CheckPool;
using namespace std::chrono_literals;

TEST(CheckPool, ChecksAfterTheThreadsWentStillRun) {
    CheckPool pool(2, 2);
    EXPECT_EQ(pool.submit([] { return 1; }).get(), 1);
    std::this_thread::sleep_for(CheckPool::linger + 500ms); // every thread has gone
    std::vector<std::future<int>> results;
    for (int i = 0; i < 5; ++i)
        results.push_back(pool.submit([i] { return i; }));
    for (int i = 0; i < 5; ++i) {
        // A hang guard, not a speed target.
        ASSERT_EQ(results[i].wait_for(10s), std::future_status::ready) << i;
        EXPECT_EQ(results[i].get(), i);
    }
}
