// The worker pool when allocations on its workers fail: sleeping never
// allocates, and std::bad_alloc on a worker reaches the calling thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "runtime/pool/pool_testing.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace rt = corvalinth::runtime;

namespace {

// While set, operator new fails on every worker thread of every pool.
std::atomic<bool> fail_on_workers{false};

bool wait_until(std::size_t asleep, rt::WorkerPool& pool) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (rt::testing::sleeping_workers(pool) != asleep) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class FailingWorkerAllocations {
public:
    FailingWorkerAllocations() { fail_on_workers.store(true); }
    ~FailingWorkerAllocations() { fail_on_workers.store(false); }
};

}  // namespace

void* operator new(std::size_t size) {
    if (fail_on_workers.load(std::memory_order_relaxed) && rt::on_worker_thread()) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

// Without room for every worker in the sleeper list from the start, the
// first workers to fall asleep grow it, and a failure there ends the process.
TEST(PoolMemory, FallingAsleepNeverAllocates) {
    FailingWorkerAllocations failing;
    for (std::size_t threads : {1, 3, 8, 16}) {
        rt::WorkerPool& pool = rt::testing::make_private_pool(threads);
        ASSERT_TRUE(wait_until(threads, pool)) << threads << " workers";
        // Woken by loops and asleep again, over and over.
        rt::testing::ScopedPool scoped(pool);
        for (int round = 0; round < 20; ++round) {
            std::vector<int> seen(257, 0);
            try {
                rt::parallel_for(seen.size(), [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) ++seen[i];
                });
                for (int count : seen) ASSERT_EQ(count, 1);
            } catch (const std::bad_alloc&) {
                // The pool's own queues may need a block on a worker; that
                // failure is the loop's, never the process's.
            }
            ASSERT_TRUE(wait_until(threads, pool)) << threads << " workers, round " << round;
        }
    }
}

// Leaves that allocate on workers: every loop surfaces std::bad_alloc on the
// calling thread once all its pieces have stopped, and the pool goes on.
TEST(PoolMemory, BadAllocOnWorkersReachesTheCaller) {
    rt::WorkerPool& pool = rt::testing::make_private_pool(4);
    rt::testing::ScopedPool scoped(pool);
    std::atomic<int> running{0};
    auto leaf = [&](std::size_t b, std::size_t e) {
        struct Active {
            std::atomic<int>& count;
            explicit Active(std::atomic<int>& c) : count(c) { ++count; }
            ~Active() { --count; }
        } active(running);
        std::vector<double> scratch(e - b + 1);  // on a worker: fails while failing is set
        scratch[0] = 1.0;
    };
    {
        FailingWorkerAllocations failing;
        for (int round = 0; round < 50; ++round) {
            EXPECT_THROW(rt::parallel_for(1000, leaf), std::bad_alloc);
            EXPECT_EQ(running.load(), 0);
            EXPECT_THROW(rt::parallel_reduce<double>(
                             1000,
                             [&](std::size_t b, std::size_t e) {
                                 leaf(b, e);
                                 return double(e - b);
                             },
                             [](double a, double b) { return a + b; }),
                         std::bad_alloc);
            EXPECT_EQ(running.load(), 0);
        }
    }
    EXPECT_NO_THROW(rt::parallel_for(1000, leaf));
    EXPECT_EQ(
        rt::parallel_reduce<double>(
            1000, [](std::size_t b, std::size_t e) { return double(e - b); }, [](double a, double b) { return a + b; }),
        1000.0);
}
