// Loops on private pools of chosen sizes (same code as the global pool) and
// on the global pool: split shapes, reductions, failures, nesting, stress,
// loops too small for a hand-off.
#include "runtime/pool/worker_pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/internal_failure.hpp"
#include "runtime/pool/pool_testing.hpp"

namespace rt = corvalinth::runtime;

namespace {

rt::WorkerPool& pool_of(std::size_t threads) {
    // One pool per size for the whole test program (pools are never freed).
    static std::mutex mutex;
    static std::vector<std::pair<std::size_t, rt::WorkerPool*>> pools;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : pools)
        if (entry.first == threads) return *entry.second;
    rt::WorkerPool& pool = rt::testing::make_private_pool(threads);
    pools.emplace_back(threads, &pool);
    return pool;
}

// Values whose sum depends on the order of the additions.
std::vector<double> awkward_values(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<double> v(n);
    for (auto& x : v) x = std::ldexp(mantissa(gen), exponent(gen));
    return v;
}

double leaf_sum(const std::vector<double>& v, std::size_t b, std::size_t e) {
    double s = -0.0;
    for (std::size_t i = b; i < e; ++i) s += v[i];
    return s;
}

// The split tree of a loop when no piece is ever taken by another thread:
// the calling thread splits the whole range with budget T, and both halves
// count as moved on the worker that receives them.
struct Reference {
    std::size_t threads;
    const std::vector<double>* values;
    std::vector<std::pair<std::size_t, std::size_t>>* leaves;

    double range(std::size_t b, std::size_t e, std::size_t budget, bool moved) const {
        const std::size_t len = e - b;
        std::size_t next = 0;
        bool split = false;
        if (len >= 2) {
            if (moved) {
                split = true;
                next = std::max(threads, budget / 2);
            } else if (budget > 0) {
                split = true;
                next = budget / 2;
            }
        }
        if (!split) {
            leaves->emplace_back(b, e);
            return leaf_sum(*values, b, e);
        }
        const std::size_t mid = b + len / 2;
        const double lower = range(b, mid, next, false);
        return lower + range(mid, e, next, false);
    }

    double whole(std::size_t n) const {
        if (n <= 1) {
            leaves->emplace_back(0, n);
            return leaf_sum(*values, 0, n);
        }
        const std::size_t next = threads / 2;
        const double lower = range(0, n / 2, next, true);
        return lower + range(n / 2, n, next, true);
    }
};

// Whether [b, e) is a range that repeated halving of [0, n) produces (the
// lower half of [s, t) being [s, s + (t - s) / 2)).
bool is_halving_node(std::size_t n, std::size_t b, std::size_t e) {
    std::size_t s = 0, t = n;
    for (;;) {
        if (s == b && t == e) return true;
        if (t - s < 2) return false;
        const std::size_t mid = s + (t - s) / 2;
        if (e <= mid) {
            t = mid;
        } else if (b >= mid) {
            s = mid;
        } else {
            return false;
        }
    }
}

struct Recorded {
    double sum;
    std::vector<std::pair<std::size_t, std::size_t>> leaves;
};

Recorded pooled_sum(const std::vector<double>& v) {
    Recorded out;
    std::mutex mutex;
    out.sum = rt::parallel_reduce<double>(
        v.size(),
        [&](std::size_t b, std::size_t e) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                out.leaves.emplace_back(b, e);
            }
            return leaf_sum(v, b, e);
        },
        [](double lower, double upper) { return lower + upper; });
    std::sort(out.leaves.begin(), out.leaves.end());
    return out;
}

std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

TEST(WorkerPoolSplit, SingleWorkerFollowsTheReferenceTreeBitForBit) {
    rt::testing::ScopedPool scoped(pool_of(1));
    for (std::size_t n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 100, 1000, 4097, 100003}) {
        const auto v = awkward_values(n, static_cast<unsigned>(n) + 11);
        std::vector<std::pair<std::size_t, std::size_t>> expected_leaves;
        const double expected = Reference{1, &v, &expected_leaves}.whole(n);
        std::sort(expected_leaves.begin(), expected_leaves.end());
        const Recorded got = pooled_sum(v);
        EXPECT_EQ(bits(got.sum), bits(expected)) << "n=" << n;
        EXPECT_EQ(got.leaves, expected_leaves) << "n=" << n;
    }
}

TEST(WorkerPoolSplit, ReferenceTreeShapesForOneWorker) {
    // Known shapes: with T = 1 the calling thread splits (budget 0), each
    // moved half splits again (budget 1), and the quarters split once more.
    const std::vector<double> v(16, 1.0);
    std::vector<std::pair<std::size_t, std::size_t>> leaves;
    Reference{1, &v, &leaves}.whole(16);
    std::sort(leaves.begin(), leaves.end());
    const std::vector<std::pair<std::size_t, std::size_t>> expected = {{0, 2},  {2, 4},   {4, 6},   {6, 8},
                                                                       {8, 10}, {10, 12}, {12, 14}, {14, 16}};
    EXPECT_EQ(leaves, expected);
}

// The tree when the worker that runs the loop is held up in its first leaf
// while the other worker of a two-worker pool takes every upper half it left
// behind (each taken half counts as moved; halves the taker split itself are
// run by it without being taken from it).
double held_up_reference(const std::vector<double>& v, std::size_t b, std::size_t e, std::size_t budget, bool moved,
                         bool leftmost, std::vector<std::pair<std::size_t, std::size_t>>& leaves) {
    constexpr std::size_t kThreads = 2;
    const std::size_t len = e - b;
    if (len < 2 || (!moved && budget == 0)) {
        leaves.emplace_back(b, e);
        return leaf_sum(v, b, e);
    }
    const std::size_t next = moved ? std::max(kThreads, budget / 2) : budget / 2;
    const std::size_t mid = b + len / 2;
    const double lower = held_up_reference(v, b, mid, next, false, leftmost, leaves);
    return lower + held_up_reference(v, mid, e, next, leftmost, false, leaves);
}

TEST(WorkerPoolSplit, TakenHalvesRenewTheirBudget) {
    rt::testing::ScopedPool scoped(pool_of(2));
    for (std::size_t n : {64, 1000, 4099}) {
        const auto v = awkward_values(n, 5);
        std::vector<std::pair<std::size_t, std::size_t>> expected_leaves;
        // The calling thread splits [0, n) with budget 2; both halves move.
        const double lower = held_up_reference(v, 0, n / 2, 1, true, true, expected_leaves);
        const double expected = lower + held_up_reference(v, n / 2, n, 1, true, false, expected_leaves);
        std::sort(expected_leaves.begin(), expected_leaves.end());

        std::mutex mutex;
        std::vector<std::pair<std::size_t, std::size_t>> leaves;
        std::thread::id first_thread;
        std::vector<std::thread::id> others;
        std::atomic<std::size_t> done_elsewhere{0};
        const double got = rt::parallel_reduce<double>(
            n,
            [&](std::size_t b, std::size_t e) {
                if (b == 0) {
                    // Hold the first leaf until every other index is done.
                    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                    while (done_elsewhere.load() < n - e && std::chrono::steady_clock::now() < deadline)
                        std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                std::lock_guard<std::mutex> lock(mutex);
                leaves.emplace_back(b, e);
                if (b == 0) {
                    first_thread = std::this_thread::get_id();
                } else {
                    others.push_back(std::this_thread::get_id());
                    done_elsewhere.fetch_add(e - b);
                }
                return leaf_sum(v, b, e);
            },
            [](double a, double c) { return a + c; });
        std::sort(leaves.begin(), leaves.end());
        EXPECT_EQ(leaves, expected_leaves) << "n=" << n;
        EXPECT_EQ(bits(got), bits(expected)) << "n=" << n;
        for (const auto& id : others) EXPECT_NE(id, first_thread);
    }
}

class WorkerPoolSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WorkerPoolSizes, ReductionCoversEveryIndexOnceAndStaysWithinRounding) {
    const std::size_t threads = GetParam();
    rt::testing::ScopedPool scoped(pool_of(threads));
    EXPECT_EQ(rt::testing::thread_count(pool_of(threads)), threads);
    for (std::size_t n : {2, 3, 10, 1000, 200001}) {
        const auto v = awkward_values(n, 99);
        std::vector<std::pair<std::size_t, std::size_t>> ref_leaves;
        const double reference = Reference{threads, &v, &ref_leaves}.whole(n);
        double magnitude = 0.0;
        for (double x : v) magnitude += std::fabs(x);
        for (int round = 0; round < 5; ++round) {
            const Recorded got = pooled_sum(v);
            ASSERT_FALSE(got.leaves.empty());
            EXPECT_EQ(got.leaves.front().first, 0u);
            EXPECT_EQ(got.leaves.back().second, n);
            for (std::size_t i = 1; i < got.leaves.size(); ++i)
                EXPECT_EQ(got.leaves[i].first, got.leaves[i - 1].second);
            for (const auto& [b, e] : got.leaves) EXPECT_TRUE(is_halving_node(n, b, e)) << b << "-" << e;
            EXPECT_NEAR(got.sum, reference, magnitude * 1e-15 * std::log2(double(n) + 2));
        }
    }
}

std::vector<std::uint64_t> per_index_outputs(std::size_t n) {
    std::vector<std::uint64_t> out(n, 0);
    rt::parallel_for(n, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            std::uint64_t x = i * 0x9E3779B97F4A7C15ull;
            for (int r = 0; r < 8; ++r) x = (x ^ (x >> 29)) * 0xBF58476D1CE4E5B9ull;
            out[i] += x + 1;  // += catches an index visited twice
        }
    });
    return out;
}

TEST_P(WorkerPoolSizes, PerIndexOutputsMatchTheSingleWorkerPool) {
    std::vector<std::vector<std::uint64_t>> expected;
    {
        rt::testing::ScopedPool scoped(pool_of(1));
        for (std::size_t n : {0, 1, 2, 5, 1000, 123457}) expected.push_back(per_index_outputs(n));
    }
    rt::testing::ScopedPool scoped(pool_of(GetParam()));
    std::size_t k = 0;
    for (std::size_t n : {0, 1, 2, 5, 1000, 123457}) EXPECT_EQ(per_index_outputs(n), expected[k++]) << "n=" << n;
}

TEST_P(WorkerPoolSizes, SmallLoopsRunTheirOneLeafOnTheCallingThread) {
    rt::testing::ScopedPool scoped(pool_of(GetParam()));
    for (std::size_t n : {0, 1}) {
        std::vector<std::pair<std::size_t, std::size_t>> calls;
        std::thread::id where;
        rt::parallel_for(n, [&](std::size_t b, std::size_t e) {
            calls.emplace_back(b, e);
            where = std::this_thread::get_id();
        });
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0], std::make_pair(std::size_t{0}, n));
        EXPECT_EQ(where, std::this_thread::get_id());
    }
}

// Leaves that fail for chosen indices; every leaf records when it stops.
struct FailingLoop {
    std::vector<std::size_t> failing;
    std::atomic<int> running{0};
    std::atomic<int> finished{0};
    std::atomic<int> slow_done{0};
    std::size_t slow_index = static_cast<std::size_t>(-1);

    void operator()(std::size_t b, std::size_t e) {
        running.fetch_add(1);
        bool slow = false;
        std::size_t fail_at = static_cast<std::size_t>(-1);
        for (std::size_t i = b; i < e; ++i) {
            if (i == slow_index) slow = true;
            if (fail_at == static_cast<std::size_t>(-1) &&
                std::find(failing.begin(), failing.end(), i) != failing.end())
                fail_at = i;
        }
        if (slow) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            slow_done.store(1);
        }
        running.fetch_sub(1);
        finished.fetch_add(1);
        if (fail_at != static_cast<std::size_t>(-1))
            throw corvalinth::InternalFailure("piece failed at " + std::to_string(fail_at));
    }
};

TEST_P(WorkerPoolSizes, LowestFailureSurfacesOnceAfterEveryPieceStopped) {
    rt::testing::ScopedPool scoped(pool_of(GetParam()));
    struct Case {
        std::size_t n;
        std::vector<std::size_t> failing;
        std::size_t slow;
        std::size_t expected;
    };
    const std::vector<Case> cases = {
        {1000, {999}, 0, 999},  // upper end fails, a slow leaf at the bottom
        {1000, {0, 999}, 999, 0},  // lower fails while a slow upper piece runs
        {1000, {700, 300, 500}, 10, 300},
        {2, {1}, 0, 1},
        {1, {0}, 5, 0},
        {64, {63, 62, 40}, 1, 40},
    };
    for (const auto& c : cases) {
        FailingLoop loop;
        loop.failing = c.failing;
        loop.slow_index = c.slow;
        int caught = 0;
        try {
            rt::parallel_for(c.n, loop);
        } catch (const corvalinth::InternalFailure& failure) {
            ++caught;
            EXPECT_EQ(std::string(failure.what()), "piece failed at " + std::to_string(c.expected));
            EXPECT_EQ(loop.running.load(), 0);
            if (c.slow < c.n) {
                EXPECT_EQ(loop.slow_done.load(), 1);
            }
        }
        EXPECT_EQ(caught, 1) << "n=" << c.n;
    }
}

TEST_P(WorkerPoolSizes, FailuresKeepTheirType) {
    rt::testing::ScopedPool scoped(pool_of(GetParam()));
    EXPECT_THROW(rt::parallel_for(100,
                                  [](std::size_t b, std::size_t) {
                                      if (b > 0) throw std::bad_alloc();
                                  }),
                 std::bad_alloc);
    try {
        rt::parallel_reduce<double>(
            100,
            [](std::size_t b, std::size_t e) -> double {
                if (b <= 50 && 50 < e) throw 50;
                return double(e - b);
            },
            [](double a, double b) { return a + b; });
        ADD_FAILURE() << "no failure surfaced";
    } catch (int value) {
        EXPECT_EQ(value, 50);
    }
    // The pool keeps working after failures.
    const double total = rt::parallel_reduce<double>(
        1000, [](std::size_t b, std::size_t e) { return double(e - b); }, [](double a, double b) { return a + b; });
    EXPECT_EQ(total, 1000.0);
}

TEST_P(WorkerPoolSizes, NestedLoopsFromInsideLeaves) {
    rt::testing::ScopedPool scoped(pool_of(GetParam()));
    constexpr std::size_t kOuter = 16, kInner = 3000;
    std::vector<double> sums(kOuter, 0.0);
    rt::parallel_for(kOuter, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            sums[i] = rt::parallel_reduce<double>(
                kInner,
                [&](std::size_t ib, std::size_t ie) {
                    // A third level: per-index loop inside the inner leaf.
                    std::vector<double> tmp(ie - ib);
                    rt::parallel_for(ie - ib, [&](std::size_t tb, std::size_t te) {
                        for (std::size_t t = tb; t < te; ++t) tmp[t] = double(i * kInner + ib + t);
                    });
                    double s = 0.0;
                    for (double x : tmp) s += x;
                    return s;
                },
                [](double a, double c) { return a + c; });
        }
    });
    for (std::size_t i = 0; i < kOuter; ++i) {
        const double first = double(i * kInner), last = double(i * kInner + kInner - 1);
        EXPECT_EQ(sums[i], (first + last) * kInner / 2) << i;  // exact: integers below 2^53
    }
}

TEST_P(WorkerPoolSizes, NestedFailurePropagatesThroughTheOuterLoop) {
    rt::testing::ScopedPool scoped(pool_of(GetParam()));
    try {
        rt::parallel_for(8, [](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i)
                rt::parallel_for(100, [i](std::size_t ib, std::size_t ie) {
                    if (i >= 3 && ib <= 42 && 42 < ie) throw corvalinth::InternalFailure("inner " + std::to_string(i));
                });
        });
        ADD_FAILURE() << "no failure surfaced";
    } catch (const corvalinth::InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "inner 3");
    }
}

// Where the leaves of a loop ran and which ranges they covered.
struct LeafLog {
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::size_t>> leaves;
    std::size_t on_caller = 0;
    std::size_t elsewhere = 0;
    const std::thread::id caller = std::this_thread::get_id();

    void record(std::size_t b, std::size_t e) {
        std::lock_guard<std::mutex> lock(mutex);
        leaves.emplace_back(b, e);
        (std::this_thread::get_id() == caller ? on_caller : elsewhere) += 1;
    }
};

TEST(WorkerPoolInline, WorkUnitsSaturate) {
    EXPECT_EQ(rt::work_units(342, 16), 5472u);
    EXPECT_EQ(rt::work_units(0, SIZE_MAX), 0u);
    EXPECT_EQ(rt::work_units(std::size_t{1} << 32, std::size_t{1} << 32), rt::kUnstatedWork);
    EXPECT_EQ(rt::work_units(3, SIZE_MAX / 2), rt::kUnstatedWork);
}

TEST(WorkerPoolInline, DefaultThresholdIsTheNamedConstant) {
    const std::size_t previous = rt::testing::set_inline_work_below(7);
    EXPECT_EQ(previous, rt::kInlineWorkBelow);
    EXPECT_EQ(rt::testing::set_inline_work_below(previous), 7u);
}

// Below the threshold a per-index loop is one leaf over [0, n) on the calling
// thread, and a reduction follows, bit for bit, the tree of a handed-off loop
// none of whose pieces is taken from its worker; from the threshold on (or
// with no work stated) the calling thread runs none of the loop.
TEST_P(WorkerPoolSizes, LoopsBelowTheThresholdRunOnTheCallingThread) {
    const std::size_t threads = GetParam();
    rt::testing::ScopedPool scoped(pool_of(threads));
    for (std::size_t n : {2, 3, 7, 64, 1000, 4099}) {
        const auto v = awkward_values(n, static_cast<unsigned>(n) + 3);
        std::vector<std::pair<std::size_t, std::size_t>> expected_leaves;
        const double expected = Reference{threads, &v, &expected_leaves}.whole(n);
        std::sort(expected_leaves.begin(), expected_leaves.end());
        for (std::size_t work : {std::size_t{0}, rt::kInlineWorkBelow - 1}) {
            const std::uint64_t before = rt::testing::inline_loop_count();
            LeafLog each;
            std::vector<std::uint64_t> out(n, 0);
            rt::parallel_for(n, work, [&](std::size_t b, std::size_t e) {
                each.record(b, e);
                for (std::size_t i = b; i < e; ++i) out[i] += i + 1;
            });
            ASSERT_EQ(each.leaves.size(), 1u) << "n=" << n << " T=" << threads;
            EXPECT_EQ(each.leaves[0], std::make_pair(std::size_t{0}, n));
            EXPECT_EQ(each.elsewhere, 0u);
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], i + 1);

            LeafLog sum;
            const double got = rt::parallel_reduce<double>(
                n, work,
                [&](std::size_t b, std::size_t e) {
                    sum.record(b, e);
                    return leaf_sum(v, b, e);
                },
                [](double lower, double upper) { return lower + upper; });
            std::sort(sum.leaves.begin(), sum.leaves.end());
            EXPECT_EQ(sum.leaves, expected_leaves) << "n=" << n << " T=" << threads;
            EXPECT_EQ(bits(got), bits(expected)) << "n=" << n << " T=" << threads;
            EXPECT_EQ(sum.elsewhere, 0u);
            EXPECT_EQ(rt::testing::inline_loop_count(), before + 2);
        }
        for (std::size_t work : {rt::kInlineWorkBelow, rt::kUnstatedWork}) {
            const std::uint64_t before = rt::testing::inline_loop_count();
            LeafLog each;
            rt::parallel_for(n, work, [&](std::size_t b, std::size_t e) { each.record(b, e); });
            LeafLog sum;
            rt::parallel_reduce<double>(
                n, work,
                [&](std::size_t b, std::size_t e) {
                    sum.record(b, e);
                    return leaf_sum(v, b, e);
                },
                [](double lower, double upper) { return lower + upper; });
            EXPECT_EQ(each.on_caller, 0u) << "n=" << n << " T=" << threads;
            EXPECT_EQ(sum.on_caller, 0u) << "n=" << n << " T=" << threads;
            EXPECT_EQ(rt::testing::inline_loop_count(), before);
        }
    }
}

// The threshold knob moves the boundary both ways, and loops of one index
// (always on the calling thread) are not counted as kept back from the pool.
TEST_P(WorkerPoolSizes, ThresholdKnobMovesTheBoundary) {
    rt::testing::ScopedPool scoped(pool_of(GetParam()));
    {
        rt::testing::ScopedInlineWork none(0);
        LeafLog log;
        rt::parallel_for(100, 0, [&](std::size_t b, std::size_t e) { log.record(b, e); });
        EXPECT_EQ(log.on_caller, 0u);
    }
    {
        rt::testing::ScopedInlineWork all(rt::kUnstatedWork);
        LeafLog log;
        rt::parallel_for(100, std::size_t{1} << 40, [&](std::size_t b, std::size_t e) { log.record(b, e); });
        EXPECT_EQ(log.elsewhere, 0u);
        LeafLog unstated;
        rt::parallel_for(100, [&](std::size_t b, std::size_t e) { unstated.record(b, e); });
        EXPECT_EQ(unstated.on_caller, 0u);
        const std::uint64_t before = rt::testing::inline_loop_count();
        rt::parallel_for(1, 0, [&](std::size_t, std::size_t) {});
        EXPECT_EQ(rt::testing::inline_loop_count(), before);
    }
}

// A failure in a loop kept on the calling thread surfaces as in the pool: the
// lowest failing piece wins, after every piece has run.
TEST_P(WorkerPoolSizes, FailuresOfLoopsOnTheCallingThread) {
    rt::testing::ScopedPool scoped(pool_of(GetParam()));
    FailingLoop loop;
    loop.failing = {5, 900};
    try {
        rt::parallel_reduce<double>(
            1000, 1,
            [&](std::size_t b, std::size_t e) {
                loop(b, e);
                return 0.0;
            },
            [](double a, double c) { return a + c; });
        ADD_FAILURE() << "no failure surfaced";
    } catch (const corvalinth::InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "piece failed at 5");
    }
    EXPECT_EQ(loop.running.load(), 0);
    std::vector<std::pair<std::size_t, std::size_t>> leaves;
    const std::vector<double> v(1000, 0.0);
    Reference{GetParam(), &v, &leaves}.whole(1000);
    EXPECT_EQ(loop.finished.load(), static_cast<int>(leaves.size()));
    EXPECT_THROW(rt::parallel_for(1000, 1, [&](std::size_t b, std::size_t e) { loop(b, e); }),
                 corvalinth::InternalFailure);
}

INSTANTIATE_TEST_SUITE_P(Threads, WorkerPoolSizes, ::testing::Values(1, 2, 3, 8));

// Thousands of tiny loops from several calling threads at once: a lost
// wake-up or a deadlock would hang here, so a watchdog ends the process.
void stress(rt::WorkerPool* pool, int loops_per_thread) {
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 600 && !finished.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!finished.load()) {
            std::fprintf(stderr, "stress test hung\n");
            std::abort();
        }
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            std::optional<rt::testing::ScopedPool> scoped;
            if (pool != nullptr) scoped.emplace(*pool);
            std::mt19937 gen(static_cast<unsigned>(t));
            for (int k = 0; k < loops_per_thread; ++k) {
                const std::size_t n = gen() % 40;
                const double s = rt::parallel_reduce<double>(
                    n, [](std::size_t b, std::size_t e) { return double(e - b); },
                    [](double a, double c) { return a + c; });
                std::vector<int> hits(n, 0);
                rt::parallel_for(n, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) ++hits[i];
                });
                if (s != double(n) || std::count(hits.begin(), hits.end(), 1) != std::ptrdiff_t(n)) wrong.fetch_add(1);
            }
        });
    }
    for (auto& c : callers) c.join();
    finished.store(true);
    watchdog.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(WorkerPoolStress, TinyLoopsFromFourCallingThreadsOnPrivatePools) {
    for (std::size_t threads : {1, 2, 3, 8}) stress(&pool_of(threads), 750);
}

TEST(ThreadInvarianceWorkerPool, GlobalPoolTinyLoopsFromFourThreads) { stress(nullptr, 1500); }

TEST(ThreadInvarianceWorkerPool, GlobalPoolPerIndexOutputsMatchSequential) {
    for (std::size_t n : {0, 1, 2, 3, 1000, 300007}) {
        std::vector<std::uint64_t> expected(n);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t x = i * 0x9E3779B97F4A7C15ull;
            for (int r = 0; r < 8; ++r) x = (x ^ (x >> 29)) * 0xBF58476D1CE4E5B9ull;
            expected[i] = x + 1;
        }
        EXPECT_EQ(per_index_outputs(n), expected) << "n=" << n;
    }
}

}  // namespace
