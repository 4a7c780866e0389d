// Test access to the worker pool: private pools, their sleeping workers, the pool a thread's loops use, inline loops.
#include "runtime/pool/pool_testing.hpp"

#include <new>

#include "runtime/internal_failure.hpp"
#include "runtime/pool/pool_workers.hpp"
#include "runtime/pool/thread_start.hpp"

namespace corvalinth::runtime::testing {

WorkerPool& make_private_pool(std::size_t thread_count) {
    WorkerPool* pool = WorkerPool::create(thread_count);
    const int rc = pool->start_workers();
    if (rc == 0) return *pool;
    WorkerPool::discard(pool);
    if (rc == WorkerPool::kSetupFailed) throw std::bad_alloc();
    throw InternalFailure(pool_internal::pool_build_error("IOError(" + render_os_error(rc) + ")"));
}

std::size_t thread_count(const WorkerPool& pool) { return pool.thread_count(); }

std::size_t sleeping_workers(WorkerPool& pool) { return pool.sleeping_count(); }

std::size_t set_inline_work_below(std::size_t units) {
    return pool_internal::g_inline_work_below.exchange(units, std::memory_order_relaxed);
}

std::uint64_t inline_loop_count() { return pool_internal::g_inline_loops.load(std::memory_order_relaxed); }

ScopedPool::ScopedPool(WorkerPool& pool) : previous_(pool_internal::replace_scoped_pool(&pool)) {}

ScopedPool::~ScopedPool() { pool_internal::replace_scoped_pool(previous_); }

}  // namespace corvalinth::runtime::testing
