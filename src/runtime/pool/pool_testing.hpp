#pragma once
// Test access to the runtime's worker pool: private pools, the pool a thread's loops use, failing starts, inline loops.
//
// Private pools have a chosen size and run the same code as the global one;
// they are never torn down.
#include <pthread.h>

#include <cstddef>
#include <cstdint>

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

// The work (in units, see kInlineWorkBelow) below which a loop started on a
// thread that is not a worker runs on that thread, for every later loop of
// the process: 0 sends every loop to the pool, kUnstatedWork runs every loop
// that states its work on the calling thread. Returns the value it replaces.
std::size_t set_inline_work_below(std::size_t units);

// Loops that ran on their calling thread for want of work, since the process
// started.
std::uint64_t inline_loop_count();

// While alive, loops below `units` of work run on their calling thread (see
// set_inline_work_below); the previous value comes back at the end.
class ScopedInlineWork {
public:
    explicit ScopedInlineWork(std::size_t units) : previous_(set_inline_work_below(units)) {}
    ~ScopedInlineWork() { set_inline_work_below(previous_); }
    ScopedInlineWork(const ScopedInlineWork&) = delete;
    ScopedInlineWork& operator=(const ScopedInlineWork&) = delete;

private:
    std::size_t previous_;
};

using ThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Replaces pthread_create for every later worker start (null restores it),
// so that thread creation can be made to fail.
void set_thread_create(ThreadCreateFn create);

}  // namespace corvalinth::runtime::testing
