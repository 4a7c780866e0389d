#pragma once
// Test access to the runtime's worker pool: private pools, the pool a thread's loops use, failing thread starts.
//
// Private pools have a chosen size and run the same code as the global one;
// they are never torn down.
#include <pthread.h>

#include <cstddef>

#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::runtime::testing {

// A new pool of `thread_count` workers, never torn down. Throws
// InternalFailure (the creation message) if a worker cannot be started.
WorkerPool& make_private_pool(std::size_t thread_count);

// Number of workers of a pool.
std::size_t thread_count(const WorkerPool& pool);

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

using ThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Replaces pthread_create for every later worker start (null restores it),
// so that thread creation can be made to fail.
void set_thread_create(ThreadCreateFn create);

}  // namespace corvalinth::runtime::testing
