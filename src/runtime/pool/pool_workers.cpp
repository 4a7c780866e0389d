// The pool's workers: their start, queues, sleeping and waking, and which pool a thread belongs to.
#include "runtime/pool/pool_workers.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "runtime/cpu/float_mode.hpp"
#include "runtime/interface_texts.hpp"
#include "runtime/pool/spin_wait.hpp"
#include "runtime/pool/thread_setup.hpp"
#include "runtime/pool/thread_start.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/pool/worker_settings.hpp"

namespace corvalinth::runtime {
namespace pool_internal {
namespace {

// How long an idle worker polls for new pieces before it sleeps.
constexpr std::chrono::microseconds kIdlePolling{200};

thread_local Worker* tl_worker = nullptr;
thread_local WorkerPool* tl_scoped_pool = nullptr;

void* worker_entry(void* argument) {
    auto* self = static_cast<Worker*>(argument);
    // Before any thread-local variable is touched: on failure the worker
    // ends without having used any.
    const bool ready = prepare_worker_thread();
    self->pool->report_start(self, ready);
    if (!ready) return nullptr;
    // Workers run only the engine's code, which computes with gradual
    // underflow whatever mode the thread that started them had.
    use_gradual_underflow();
    tl_worker = self;
    try {
        self->pool->worker_loop(self);
    } catch (...) {
        abort_unexpected();
    }
    return nullptr;
}

}  // namespace

[[noreturn]] void abort_unexpected() noexcept {
    [[maybe_unused]] ssize_t ignored = ::write(2, texts::kPoolAbort, std::strlen(texts::kPoolAbort));
    std::abort();
}

Worker* current_worker() { return tl_worker; }

WorkerPool* scoped_pool() { return tl_scoped_pool; }

WorkerPool* replace_scoped_pool(WorkerPool* pool) {
    WorkerPool* previous = tl_scoped_pool;
    tl_scoped_pool = pool;
    return previous;
}

void forget_thread_pools() {
    tl_worker = nullptr;
    tl_scoped_pool = nullptr;
}

}  // namespace pool_internal

bool on_worker_thread() { return pool_internal::tl_worker != nullptr; }

void WorkerPool::report_start(Worker* self, bool ready) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++reported_;
    if (ready)
        self->running = true;
    else
        setup_failed_ = true;
    started_.notify_one();
}

std::size_t WorkerPool::sleeping_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sleepers_.size();
}

void WorkerPool::push_local(Worker* self, Job* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    self->local.push_back(job);
    pending_.fetch_add(1, std::memory_order_relaxed);
    wake_one_locked();
}

void WorkerPool::inject(Job* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    injected_.push_back(job);
    pending_.fetch_add(1, std::memory_order_relaxed);
    wake_one_locked();
}

bool WorkerPool::reclaim(Worker* self, Job* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (self->local.empty() || self->local.back() != job) return false;
    self->local.pop_back();
    pending_.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

void WorkerPool::finish_taken(std::atomic<bool>& done, Worker* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    done.store(true, std::memory_order_release);
    wake_locked(owner);
}

void WorkerPool::help_until(Worker* self, const std::atomic<bool>& done) {
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
        if (spin_until(pool_internal::kIdlePolling,
                       [&] { return done.load(std::memory_order_acquire) || has_pending(); }))
            continue;
        lock.lock();
        if (done.load(std::memory_order_acquire) || has_pending()) continue;
        sleep_locked(self, lock);
    }
}

void WorkerPool::worker_loop(Worker* self) {
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
        spin_until(pool_internal::kIdlePolling, [&] { return has_pending(); });
        lock.lock();
        if (has_pending() || terminate_) continue;
        sleep_locked(self, lock);
    }
}

// Own queue (newest first), then the oldest piece of another worker, then
// the oldest submitted loop.
WorkerPool::Job* WorkerPool::take_locked(Worker* self) {
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
void WorkerPool::sleep_locked(Worker* self, std::unique_lock<std::mutex>& lock) {
    self->sleeping = true;
    self->woken = false;
    self->sleeper_slot = sleepers_.size();
    sleepers_.push_back(self);
    while (!self->woken && !terminate_) self->wake.wait(lock);
    if (self->sleeping) remove_sleeper_locked(self);
}

void WorkerPool::remove_sleeper_locked(Worker* sleeper) {
    Worker* last = sleepers_.back();
    sleepers_[sleeper->sleeper_slot] = last;
    last->sleeper_slot = sleeper->sleeper_slot;
    sleepers_.pop_back();
    sleeper->sleeping = false;
}

void WorkerPool::wake_locked(Worker* sleeper) {
    if (!sleeper->sleeping) return;
    remove_sleeper_locked(sleeper);
    sleeper->woken = true;
    sleeper->wake.notify_one();
}

void WorkerPool::wake_one_locked() {
    if (!sleepers_.empty()) wake_locked(sleepers_.back());
}

void WorkerPool::terminate() {
    std::lock_guard<std::mutex> lock(mutex_);
    terminate_ = true;
    for (auto& worker : workers_) worker->wake.notify_one();
}

WorkerPool* WorkerPool::create(std::size_t thread_count) {
    auto owned = std::make_unique<WorkerPool>(thread_count, false);
    owned->workers_.reserve(thread_count);
    owned->sleepers_.reserve(thread_count);
    for (std::size_t i = 0; i < thread_count; ++i) {
        owned->workers_.push_back(std::make_unique<Worker>());
        owned->workers_.back()->pool = owned.get();
        owned->workers_.back()->index = i;
    }
    return owned.release();
}

int WorkerPool::start_workers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reported_ = 0;
        setup_failed_ = false;
    }
    const std::size_t stack = requested_worker_stack();
    std::size_t launched = 0;
    int rc = 0;
    for (auto& worker : workers_) {
        {
            // Every report of an earlier call is in: nobody writes `running` now.
            std::lock_guard<std::mutex> lock(mutex_);
            if (worker->running) continue;
        }
        rc = start_detached_thread(&pool_internal::worker_entry, worker.get(), stack);
        if (rc != 0) break;
        ever_started_ = true;
        ++launched;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (reported_ < launched) started_.wait(lock);
    if (rc != 0) return rc;
    return setup_failed_ ? kSetupFailed : 0;
}

void WorkerPool::discard(WorkerPool* pool) {
    if (!pool->ever_started_) {
        delete pool;  // no worker ever saw it
        return;
    }
    pool->terminate();
    pool_internal::abandon(pool);
}

}  // namespace corvalinth::runtime
