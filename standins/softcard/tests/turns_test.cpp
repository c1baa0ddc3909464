// The library's callers served in arrival order.
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "turns.h"

using softcard::FairQueue;

namespace {

// Until the queue holds n turns; false after a minute (a hung thread).
bool waitForTurns(FairQueue &queue, uint64_t n)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (queue.taken() < n) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// Callers queued behind a long call run after it in the order they came,
// whatever order the system would wake them in.
TEST(FairQueue, ServesCallersInArrivalOrder)
{
    FairQueue queue;
    std::mutex orderLock;
    std::vector<int> order;
    auto running = std::make_unique<FairQueue::Turn>(queue);
    std::vector<std::thread> callers;
    const int kCallers = 6;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] {
            FairQueue::Turn turn(queue);
            std::lock_guard<std::mutex> lock(orderLock);
            order.push_back(i);
        });
        ASSERT_TRUE(waitForTurns(queue, uint64_t(i) + 2)) << "caller " << i << " never queued";
    }
    running.reset();
    for (std::thread &t : callers)
        t.join();
    EXPECT_EQ(std::vector<int>({0, 1, 2, 3, 4, 5}), order);
    EXPECT_EQ(0u, queue.taken());
}

} // namespace
