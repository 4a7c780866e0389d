#pragma once
// The WorkerPool class, its workers and queues: private to the pool's own files (runtime/pool/*.cpp).
//
// Each worker has its own queue of pending pieces; loops submitted from
// outside go to the injection queue. A worker takes from its own queue
// (newest first), then the oldest piece of another worker, then the oldest
// submitted loop; it polls briefly when it finds nothing and then sleeps
// until submitted work wakes it. One mutex guards every queue and the
// sleeper list.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvalinth::runtime {

class WorkerPool;

namespace pool_internal {

struct Worker;

// A unit of pending work in a queue.
struct Job {
    // Runs the job on worker `self`; never throws (failures are stored).
    void (*execute)(Job* job, Worker* self);
};

struct Worker {
    WorkerPool* pool;
    std::size_t index;
    bool running = false;  // its thread set itself up and runs the loop; guarded by the pool's mutex
    std::deque<Job*> local;  // all fields below guarded by the pool's mutex
    std::condition_variable wake;
    bool sleeping = false;
    bool woken = false;
    std::size_t sleeper_slot = 0;
};

// A failure in the pool's own bookkeeping (not in a piece) leaves pieces on
// other threads pointing into frames that are going away; nothing can be
// reported safely, so the process stops.
[[noreturn]] void abort_unexpected() noexcept;

// The worker the calling thread is, or null.
Worker* current_worker();
// The pool that testing::ScopedPool put in place on the calling thread, or
// null; replace_scoped_pool installs another and returns the one it replaces.
WorkerPool* scoped_pool();
WorkerPool* replace_scoped_pool(WorkerPool* pool);
// Forgets both for the calling thread (a forked child is no worker).
void forget_thread_pools();

// The message of a failed creation: "The global thread pool has not been
// initialized.: ThreadPoolBuildError { kind: " + kind + " }".
std::string pool_build_error(const std::string& kind);

// The work below which a loop runs on its calling thread (kInlineWorkBelow
// unless a test changed it), and the number of loops that did so since the
// process started.
extern std::atomic<std::size_t> g_inline_work_below;
extern std::atomic<std::uint64_t> g_inline_loops;

// Keeps a pool whose creation failed, and some of whose workers may still
// run, reachable for the life of the process.
void abandon(WorkerPool* pool);

}  // namespace pool_internal

class WorkerPool {
public:
    using Job = pool_internal::Job;
    using Worker = pool_internal::Worker;

    WorkerPool(std::size_t thread_count, bool runs_on_caller)
        : thread_count_(thread_count), runs_on_caller_(runs_on_caller), caller_(std::this_thread::get_id()) {}

    // A pool of `thread_count` workers, none started yet: everything the
    // workers use is allocated here. Throws std::bad_alloc.
    static WorkerPool* create(std::size_t thread_count);

    // Starts, one after another, the workers that do not run yet and waits
    // until each has set up its thread state. 0 when every worker runs; else
    // the error number of the start that failed, or kSetupFailed when a
    // worker found memory too short for its set-up. Workers that run go on
    // running (asleep): a later call starts only the others.
    int start_workers();
    static constexpr int kSetupFailed = -1;

    // Gives up a pool that will never be used: its running workers finish.
    // Freed at once when no thread was ever started for it, else kept
    // (abandoned), since a worker may still be reading it as it ends.
    static void discard(WorkerPool* pool);

    // A starting worker tells whether its set-up succeeded.
    void report_start(Worker* self, bool ready);

    std::size_t sleeping_count();

    std::size_t thread_count() const { return thread_count_; }
    bool runs_on_caller() const { return runs_on_caller_; }
    bool is_caller(std::thread::id id) const { return id == caller_; }

    void push_local(Worker* self, Job* job);
    void inject(Job* job);

    // Takes `job` back from the bottom of the worker's own queue if nobody
    // has taken it.
    bool reclaim(Worker* self, Job* job);

    // Marks a taken job finished and wakes its waiting owner. `done` is the
    // job's own flag; the job must not be touched after it is set.
    void finish_taken(std::atomic<bool>& done, Worker* owner);

    // Runs other pending jobs, or sleeps, until `done` is set.
    void help_until(Worker* self, const std::atomic<bool>& done);

    void worker_loop(Worker* self);

private:
    bool has_pending() const { return pending_.load(std::memory_order_relaxed) > 0; }
    Job* take_locked(Worker* self);
    void sleep_locked(Worker* self, std::unique_lock<std::mutex>& lock);
    void remove_sleeper_locked(Worker* sleeper);
    void wake_locked(Worker* sleeper);
    void wake_one_locked();
    void terminate();

    const std::size_t thread_count_;
    const bool runs_on_caller_;
    const std::thread::id caller_;
    std::vector<std::unique_ptr<Worker>> workers_;  // fixed before any worker starts
    std::mutex mutex_;
    std::deque<Job*> injected_;
    std::vector<Worker*> sleepers_;  // capacity thread_count_, reserved before any worker starts
    std::atomic<std::size_t> pending_{0};  // jobs in all queues; changed under mutex_
    bool terminate_ = false;
    std::condition_variable started_;  // signalled by each starting worker
    std::size_t reported_ = 0;  // workers that reported their start in this start_workers
    bool setup_failed_ = false;  // in this start_workers
    bool ever_started_ = false;  // a thread was started for this pool; only start_workers touches it
};

}  // namespace corvalinth::runtime
