#pragma once
// Test access to the worker pool: private pools of a chosen size that run
// the same code as the global one, and the pool's creation from settings.
#include <cstddef>

#include "runtime/worker_pool.hpp"

namespace corvalinth::runtime {

// Number of workers of a pool.
std::size_t thread_count(const WorkerPool& pool);

// Whether the calling thread is a worker of some pool.
bool on_worker_thread();

namespace testing {

// A new pool of `thread_count` workers, never torn down. Throws
// InternalFailure (the creation message) if a worker cannot be started.
WorkerPool& make_private_pool(std::size_t thread_count);

// Number of workers of `pool` asleep right now.
std::size_t sleeping_workers(WorkerPool& pool);

// While alive, loops started on this (non-worker) thread run on `pool`
// instead of the global pool.
class ScopedPool {
public:
    explicit ScopedPool(WorkerPool& pool);
    ~ScopedPool();
    ScopedPool(const ScopedPool&) = delete;
    ScopedPool& operator=(const ScopedPool&) = delete;

private:
    WorkerPool* previous_;
};

}  // namespace testing
}  // namespace corvalinth::runtime
