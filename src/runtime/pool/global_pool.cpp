// The process-wide pool: its creation (retried after resource exhaustion), the fork handler, the abandoned pools.
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "runtime/interface_texts.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/pool/pool_workers.hpp"
#include "runtime/pool/thread_start.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/pool/worker_settings.hpp"

namespace corvalinth::runtime {
namespace {

pthread_mutex_t g_global_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<WorkerPool*> g_global_pool{nullptr};
bool g_global_failed = false;  // guarded by g_global_mutex
// A pool whose start ran out of memory or of threads: its workers that run
// wait, asleep, for the next attempt, which starts only the others. Guarded
// by g_global_mutex.
WorkerPool* g_starting_pool = nullptr;
bool g_fork_handler_installed = false;  // guarded by g_global_mutex; the child inherits it with the handler

class GlobalLock {
public:
    GlobalLock() { ::pthread_mutex_lock(&g_global_mutex); }
    ~GlobalLock() { ::pthread_mutex_unlock(&g_global_mutex); }
    GlobalLock(const GlobalLock&) = delete;
    GlobalLock& operator=(const GlobalLock&) = delete;
};

// A child created by fork() has only the thread that forked: the workers of
// the parent's pool did not come along, and a loop handed to that pool would
// wait for ever. The child forgets it (without touching it, its locks may be
// held by threads that no longer exist) and creates its own on first use.
void forget_pool_after_fork() {
    const pthread_mutex_t unlocked = PTHREAD_MUTEX_INITIALIZER;
    g_global_mutex = unlocked;
    g_global_pool.store(nullptr, std::memory_order_relaxed);
    g_starting_pool = nullptr;
    pool_internal::forget_thread_pools();
}

std::mutex g_abandoned_mutex;
// Pools whose creation failed; the list itself is never destroyed either.
auto* const g_abandoned_pools = new std::vector<WorkerPool*>();

}  // namespace

namespace pool_internal {

std::string pool_build_error(const std::string& kind) {
    return texts::kPoolBuildErrorBefore + kind + texts::kPoolBuildErrorAfter;
}

// A pool some of whose workers run is never freed (they still read it while
// they finish); it stays listed as abandoned.
void abandon(WorkerPool* pool) {
    std::lock_guard<std::mutex> lock(g_abandoned_mutex);
    try {
        g_abandoned_pools->push_back(pool);
    } catch (const std::bad_alloc&) {
        // Unlisted, it is merely unreachable; it was never to be freed.
    }
}

}  // namespace pool_internal

WorkerPool& global_pool() {
    if (WorkerPool* pool = g_global_pool.load(std::memory_order_acquire)) return *pool;
    GlobalLock lock;
    if (WorkerPool* pool = g_global_pool.load(std::memory_order_relaxed)) return *pool;
    if (g_global_failed) throw InternalFailure(pool_internal::pool_build_error(texts::kPoolAlreadyInitialized));
    // Before any worker starts: a child forked while a start is pending
    // must not take the parent's workers for its own.
    if (!g_fork_handler_installed) {
        if (::pthread_atfork(nullptr, nullptr, &forget_pool_after_fork) != 0) throw std::bad_alloc();
        g_fork_handler_installed = true;
    }
    if (g_starting_pool == nullptr) g_starting_pool = WorkerPool::create(worker_count_from_environment());
    WorkerPool* pool = g_starting_pool;
    const int rc = pool->start_workers();
    // Memory exhaustion (a worker's set-up, or a thread that could not be
    // created for lack of memory or of a resource that comes back) is not
    // remembered: the next loop tries again with the workers that run.
    if (rc == WorkerPool::kSetupFailed || is_resource_exhaustion(rc)) throw std::bad_alloc();
    g_starting_pool = nullptr;
    if (rc != 0) {
        WorkerPool::discard(pool);
        if (!is_unsupported_error(rc) || on_worker_thread()) {
            g_global_failed = true;
            throw InternalFailure(pool_internal::pool_build_error("IOError(" + render_os_error(rc) + ")"));
        }
        // Without thread support the calling thread is the pool's one worker.
        pool = new WorkerPool(1, true);
    }
    g_global_pool.store(pool, std::memory_order_release);
    return *pool;
}

std::size_t pool_thread_count() { return global_pool().thread_count(); }

}  // namespace corvalinth::runtime
