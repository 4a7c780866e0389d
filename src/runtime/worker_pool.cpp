// The worker pool: its workers, queues, sleeping and waking, and the splitting of loops.
#include "runtime/worker_pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "runtime/completion_latch.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/spin_wait.hpp"
#include "runtime/thread_setup.hpp"
#include "runtime/thread_start.hpp"
#include "runtime/worker_pool_testing.hpp"
#include "runtime/worker_settings.hpp"

namespace corvalinth::runtime {
namespace {

// A failure in the pool's own bookkeeping (not in a piece) leaves pieces on
// other threads pointing into frames that are going away; nothing can be
// reported safely, so the process stops.
[[noreturn]] void abort_unexpected() noexcept {
    static const char message[] = "Rayon: detected unexpected panic; aborting\n";
    [[maybe_unused]] ssize_t ignored = ::write(2, message, sizeof message - 1);
    std::abort();
}

// How long an idle worker polls for new pieces before it sleeps.
constexpr std::chrono::microseconds kIdlePolling{50};

struct Worker;

// A unit of pending work in a queue.
struct Job {
    // Runs the job on worker `self`; never throws (failures are stored).
    void (*execute)(Job* job, Worker* self);
};

struct Worker {
    WorkerPool* pool;
    std::size_t index;
    std::deque<Job*> local;  // all fields below guarded by the pool's mutex
    std::condition_variable wake;
    bool sleeping = false;
    bool woken = false;
    std::size_t sleeper_slot = 0;
};

thread_local Worker* tl_worker = nullptr;
thread_local WorkerPool* tl_scoped_pool = nullptr;

const char kNotInitialized[] = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";

}  // namespace

class WorkerPool {
public:
    WorkerPool(std::size_t thread_count, bool runs_on_caller)
        : thread_count_(thread_count), runs_on_caller_(runs_on_caller), caller_(std::this_thread::get_id()) {}

    // Starts `thread_count` workers and waits until each has set up its
    // thread state; 0 with the pool in `out`, the error number of a failed
    // start, or kSetupFailed when a worker found memory too short for its
    // set-up (the workers already started then finish). Throws
    // std::bad_alloc if the pool's own records cannot be allocated.
    static int start(std::size_t thread_count, WorkerPool*& out);
    static constexpr int kSetupFailed = -1;

    // A starting worker tells whether its set-up succeeded.
    void report_start(bool ready) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++reported_;
        if (!ready) setup_failed_ = true;
        started_.notify_one();
    }

    std::size_t sleeping_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sleepers_.size();
    }

    std::size_t thread_count() const { return thread_count_; }
    bool runs_on_caller() const { return runs_on_caller_; }
    bool is_caller(std::thread::id id) const { return id == caller_; }

    void push_local(Worker* self, Job* job) {
        std::lock_guard<std::mutex> lock(mutex_);
        self->local.push_back(job);
        pending_.fetch_add(1, std::memory_order_relaxed);
        wake_one_locked();
    }

    void inject(Job* job) {
        std::lock_guard<std::mutex> lock(mutex_);
        injected_.push_back(job);
        pending_.fetch_add(1, std::memory_order_relaxed);
        wake_one_locked();
    }

    // Takes `job` back from the bottom of the worker's own queue if nobody
    // has taken it.
    bool reclaim(Worker* self, Job* job) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (self->local.empty() || self->local.back() != job) return false;
        self->local.pop_back();
        pending_.fetch_sub(1, std::memory_order_relaxed);
        return true;
    }

    // Marks a taken job finished and wakes its waiting owner. `done` is the
    // job's own flag; the job must not be touched after it is set.
    void finish_taken(std::atomic<bool>& done, Worker* owner) {
        std::lock_guard<std::mutex> lock(mutex_);
        done.store(true, std::memory_order_release);
        wake_locked(owner);
    }

    // Runs other pending jobs, or sleeps, until `done` is set.
    void help_until(Worker* self, const std::atomic<bool>& done) {
        for (;;) {
            if (done.load(std::memory_order_acquire)) return;
            std::unique_lock<std::mutex> lock(mutex_);
            if (done.load(std::memory_order_acquire)) return;
            if (Job* other = take_locked(self)) {
                lock.unlock();
                other->execute(other, self);
                continue;
            }
            lock.unlock();
            if (spin_until(kIdlePolling, [&] { return done.load(std::memory_order_acquire) || has_pending(); })) continue;
            lock.lock();
            if (done.load(std::memory_order_acquire) || has_pending()) continue;
            sleep_locked(self, lock);
        }
    }

    void worker_loop(Worker* self) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (terminate_) return;
            if (Job* job = take_locked(self)) {
                lock.unlock();
                job->execute(job, self);
                lock.lock();
                continue;
            }
            lock.unlock();
            spin_until(kIdlePolling, [&] { return has_pending(); });
            lock.lock();
            if (has_pending() || terminate_) continue;
            sleep_locked(self, lock);
        }
    }

private:
    bool has_pending() const { return pending_.load(std::memory_order_relaxed) > 0; }

    // Own queue (newest first), then the oldest piece of another worker,
    // then the oldest submitted loop.
    Job* take_locked(Worker* self) {
        if (!has_pending()) return nullptr;
        Job* job = nullptr;
        if (!self->local.empty()) {
            job = self->local.back();
            self->local.pop_back();
        } else {
            const std::size_t count = workers_.size();
            for (std::size_t k = 1; k < count && job == nullptr; ++k) {
                Worker* victim = workers_[(self->index + k) % count].get();
                if (!victim->local.empty()) {
                    job = victim->local.front();
                    victim->local.pop_front();
                }
            }
            if (job == nullptr && !injected_.empty()) {
                job = injected_.front();
                injected_.pop_front();
            }
        }
        if (job != nullptr) pending_.fetch_sub(1, std::memory_order_relaxed);
        return job;
    }

    // Never allocates: the sleeper list has room for every worker from the
    // start, and a worker is listed at most once.
    void sleep_locked(Worker* self, std::unique_lock<std::mutex>& lock) {
        self->sleeping = true;
        self->woken = false;
        self->sleeper_slot = sleepers_.size();
        sleepers_.push_back(self);
        while (!self->woken && !terminate_) self->wake.wait(lock);
        if (self->sleeping) remove_sleeper_locked(self);
    }

    void remove_sleeper_locked(Worker* sleeper) {
        Worker* last = sleepers_.back();
        sleepers_[sleeper->sleeper_slot] = last;
        last->sleeper_slot = sleeper->sleeper_slot;
        sleepers_.pop_back();
        sleeper->sleeping = false;
    }

    void wake_locked(Worker* sleeper) {
        if (!sleeper->sleeping) return;
        remove_sleeper_locked(sleeper);
        sleeper->woken = true;
        sleeper->wake.notify_one();
    }

    void wake_one_locked() {
        if (!sleepers_.empty()) wake_locked(sleepers_.back());
    }

    void terminate() {
        std::lock_guard<std::mutex> lock(mutex_);
        terminate_ = true;
        for (auto& worker : workers_) worker->wake.notify_one();
    }

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
    std::size_t reported_ = 0;         // workers that reported their start
    bool setup_failed_ = false;
};

namespace {

void* worker_entry(void* argument) {
    auto* self = static_cast<Worker*>(argument);
    // Before any thread-local variable is touched: on failure the worker
    // ends without having used any.
    const bool ready = prepare_worker_thread();
    self->pool->report_start(ready);
    if (!ready) return nullptr;
    tl_worker = self;
    try {
        self->pool->worker_loop(self);
    } catch (...) {
        abort_unexpected();
    }
    return nullptr;
}

// What every piece of one loop shares.
struct Runner {
    Worker* self;  // null when the loop runs on a calling thread that is the whole pool
    std::size_t threads;
    const detail::LoopTask* task;
};

void run_range(const Runner& runner, std::size_t begin, std::size_t end, std::size_t budget, bool moved,
               void* result);

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
void split_and_join(const Runner& runner, std::size_t begin, std::size_t end, std::size_t budget,
                    bool lower_moved, bool upper_moved_here, void* result) {
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

void run_range(const Runner& runner, std::size_t begin, std::size_t end, std::size_t budget, bool moved,
               void* result) {
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

pthread_mutex_t g_global_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<WorkerPool*> g_global_pool{nullptr};
bool g_global_failed = false;  // guarded by g_global_mutex

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
    tl_worker = nullptr;
    tl_scoped_pool = nullptr;
}
std::mutex g_abandoned_mutex;
// Pools whose creation failed; the list itself is never destroyed either.
auto* const g_abandoned_pools = new std::vector<WorkerPool*>();

}  // namespace

namespace {

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

}  // namespace

int WorkerPool::start(std::size_t thread_count, WorkerPool*& out) {
    // Everything the workers use is allocated before the first one starts.
    auto owned = std::make_unique<WorkerPool>(thread_count, false);
    owned->workers_.reserve(thread_count);
    owned->sleepers_.reserve(thread_count);
    for (std::size_t i = 0; i < thread_count; ++i) {
        owned->workers_.push_back(std::make_unique<Worker>());
        owned->workers_.back()->pool = owned.get();
        owned->workers_.back()->index = i;
    }
    WorkerPool* pool = owned.release();
    const std::size_t stack = requested_worker_stack();
    std::size_t started = 0;
    int rc = 0;
    for (; started < thread_count; ++started) {
        rc = start_detached_thread(&worker_entry, pool->workers_[started].get(), stack);
        if (rc != 0) break;
    }
    bool setup_failed = false;
    {
        std::unique_lock<std::mutex> lock(pool->mutex_);
        while (pool->reported_ < started) pool->started_.wait(lock);
        setup_failed = pool->setup_failed_;
    }
    if (rc == 0 && !setup_failed) {
        out = pool;
        return 0;
    }
    if (started == 0) {
        delete pool;  // no worker ever saw it
    } else {
        pool->terminate();
        abandon(pool);
    }
    return rc != 0 ? rc : kSetupFailed;
}

WorkerPool& global_pool() {
    if (WorkerPool* pool = g_global_pool.load(std::memory_order_acquire)) return *pool;
    GlobalLock lock;
    if (WorkerPool* pool = g_global_pool.load(std::memory_order_relaxed)) return *pool;
    if (g_global_failed) throw InternalFailure(std::string(kNotInitialized) + "GlobalPoolAlreadyInitialized }");
    WorkerPool* pool = nullptr;
    const int rc = WorkerPool::start(worker_count_from_environment(), pool);
    // Memory exhaustion is not remembered: the next loop tries again.
    if (rc == WorkerPool::kSetupFailed) throw std::bad_alloc();
    if (rc != 0) {
        if (!is_unsupported_error(rc) || tl_worker != nullptr) {
            g_global_failed = true;
            throw InternalFailure(std::string(kNotInitialized) + "IOError(" + render_os_error(rc) + ") }");
        }
        // Without thread support the calling thread is the pool's one worker.
        pool = new WorkerPool(1, true);
    }
    static const bool fork_handler_installed = ::pthread_atfork(nullptr, nullptr, &forget_pool_after_fork) == 0;
    (void)fork_handler_installed;
    g_global_pool.store(pool, std::memory_order_release);
    return *pool;
}

std::size_t pool_thread_count() { return global_pool().thread_count(); }

std::size_t thread_count(const WorkerPool& pool) { return pool.thread_count(); }

bool on_worker_thread() { return tl_worker != nullptr; }

namespace detail {

void run_loop(std::size_t n, const LoopTask& task, void* result) {
    Worker* self = tl_worker;
    WorkerPool& pool = self != nullptr ? *self->pool : tl_scoped_pool != nullptr ? *tl_scoped_pool : global_pool();
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

namespace testing {

WorkerPool& make_private_pool(std::size_t thread_count) {
    WorkerPool* pool = nullptr;
    const int rc = WorkerPool::start(thread_count, pool);
    if (rc == WorkerPool::kSetupFailed) throw std::bad_alloc();
    if (rc != 0) throw InternalFailure(std::string(kNotInitialized) + "IOError(" + render_os_error(rc) + ") }");
    return *pool;
}

std::size_t sleeping_workers(WorkerPool& pool) { return pool.sleeping_count(); }

ScopedPool::ScopedPool(WorkerPool& pool) : previous_(tl_scoped_pool) { tl_scoped_pool = &pool; }

ScopedPool::~ScopedPool() { tl_scoped_pool = previous_; }

}  // namespace testing
}  // namespace corvalinth::runtime
