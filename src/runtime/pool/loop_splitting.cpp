// Loops on the pool: splitting index ranges, joining their halves, the hand-off from a calling thread.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>

#include "runtime/pool/completion_latch.hpp"
#include "runtime/pool/pool_workers.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::runtime {
namespace {

using pool_internal::abort_unexpected;
using pool_internal::Job;
using pool_internal::Worker;

// What every piece of one loop shares.
struct Runner {
    Worker* self;  // null when the loop runs on a calling thread that is the whole pool
    std::size_t threads;
    const detail::LoopTask* task;
};

void run_range(const Runner& runner, std::size_t begin, std::size_t end, std::size_t budget, bool moved, void* result);

// The upper half of a split, waiting in its creator's queue.
struct RangeJob : Job {
    const Runner* runner;
    std::size_t begin;
    std::size_t end;
    std::size_t budget;
    Worker* owner;
    std::exception_ptr failure;
    std::atomic<bool> done{false};
    alignas(16) unsigned char result[detail::LoopTask::kMaxResultSize];

    void run(Worker* self, bool moved) {
        try {
            run_range(Runner{self, runner->threads, runner->task}, begin, end, budget, moved, result);
        } catch (...) {
            failure = std::current_exception();
        }
    }

    static void execute_taken(Job* job, Worker* self) {
        auto* range = static_cast<RangeJob*>(job);
        Worker* owner = range->owner;
        range->run(self, true);
        owner->pool->finish_taken(range->done, owner);
    }
};

// Splits [begin, end) at its middle with both halves given `budget`: the
// lower half runs here (counting as moved when `lower_moved`), the upper half
// waits for an idle worker; if none took it, it runs here afterwards
// (counting as moved when `upper_moved_here`). Every piece has stopped when
// this returns or throws; a failure of the lower half wins over one of the
// upper half.
void split_and_join(const Runner& runner, std::size_t begin, std::size_t end, std::size_t budget, bool lower_moved,
                    bool upper_moved_here, void* result) {
    const std::size_t middle = begin + (end - begin) / 2;
    RangeJob upper;
    upper.execute = &RangeJob::execute_taken;
    upper.runner = &runner;
    upper.begin = middle;
    upper.end = end;
    upper.budget = budget;
    upper.owner = runner.self;
    if (runner.self != nullptr) runner.self->pool->push_local(runner.self, &upper);

    std::exception_ptr lower_failure;
    try {
        run_range(runner, begin, middle, budget, lower_moved, result);
    } catch (...) {
        lower_failure = std::current_exception();
    }
    try {
        if (runner.self == nullptr || runner.self->pool->reclaim(runner.self, &upper)) {
            upper.run(runner.self, upper_moved_here);
        } else {
            runner.self->pool->help_until(runner.self, upper.done);
        }
    } catch (...) {
        abort_unexpected();
    }
    if (lower_failure) std::rethrow_exception(lower_failure);
    if (upper.failure) std::rethrow_exception(upper.failure);
    if (runner.task->result_size > 0) runner.task->combine(*runner.task, result, upper.result);
}

void run_range(const Runner& runner, std::size_t begin, std::size_t end, std::size_t budget, bool moved, void* result) {
    const std::size_t length = end - begin;
    if (length / 2 >= 1) {
        if (moved) {
            split_and_join(runner, begin, end, std::max(runner.threads, budget / 2), false, false, result);
            return;
        }
        if (budget > 0) {
            split_and_join(runner, begin, end, budget / 2, false, false, result);
            return;
        }
    }
    runner.task->leaf(*runner.task, begin, end, result);
}

// A loop handed over by a calling thread: it has already split the whole
// range once, and both halves run away from it.
struct LoopJob : Job {
    const detail::LoopTask* task;
    std::size_t threads;
    std::size_t n;
    std::size_t budget;
    void* result;
    CompletionLatch* latch;
    std::exception_ptr failure;

    static void execute_on(Job* job, Worker* self) {
        auto* loop = static_cast<LoopJob*>(job);
        try {
            const Runner runner{self, loop->threads, loop->task};
            split_and_join(runner, 0, loop->n, loop->budget, true, true, loop->result);
        } catch (...) {
            loop->failure = std::current_exception();
        }
        loop->latch->set();
    }
};

}  // namespace

namespace pool_internal {

std::atomic<std::size_t> g_inline_work_below{kInlineWorkBelow};
std::atomic<std::uint64_t> g_inline_loops{0};

}  // namespace pool_internal

namespace detail {

void run_loop(std::size_t n, const LoopTask& task, void* result, std::size_t work) {
    Worker* self = pool_internal::current_worker();
    WorkerPool* scoped = pool_internal::scoped_pool();
    WorkerPool& pool = self != nullptr ? *self->pool : scoped != nullptr ? *scoped : global_pool();
    if (n <= 1) {
        task.leaf(task, 0, n, result);
        return;
    }
    const std::size_t threads = pool.thread_count();
    if (self != nullptr) {
        run_range(Runner{self, threads, &task}, 0, n, threads, false, result);
        return;
    }
    if (pool.runs_on_caller()) {
        const Runner runner{nullptr, threads, &task};
        if (pool.is_caller(std::this_thread::get_id())) {
            run_range(runner, 0, n, threads, false, result);
        } else {
            split_and_join(runner, 0, n, threads / 2, true, true, result);
        }
        return;
    }
    if (work < pool_internal::g_inline_work_below.load(std::memory_order_relaxed)) {
        // Too small for a hand-off: the calling thread runs the loop as the
        // worker receiving it would when nobody takes a piece from it.
        pool_internal::g_inline_loops.fetch_add(1, std::memory_order_relaxed);
        if (task.result_size == 0)
            task.leaf(task, 0, n, result);
        else
            split_and_join(Runner{nullptr, threads, &task}, 0, n, threads / 2, true, true, result);
        return;
    }
    // The whole range (budget T, not moved) is split here; both halves go to
    // the pool as one job and count as moved there.
    LoopJob job;
    job.execute = &LoopJob::execute_on;
    job.task = &task;
    job.threads = threads;
    job.n = n;
    job.budget = threads / 2;
    job.result = result;
    job.latch = &CompletionLatch::for_this_thread();
    pool.inject(&job);
    try {
        job.latch->wait_and_reset();
    } catch (...) {
        abort_unexpected();
    }
    if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace detail
}  // namespace corvalinth::runtime
