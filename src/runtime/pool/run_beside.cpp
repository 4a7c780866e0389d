// One job on a worker while the calling thread runs its own part beside it.
#include <exception>

#include "runtime/pool/completion_latch.hpp"
#include "runtime/pool/pool_workers.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::runtime {
namespace {

using pool_internal::Job;
using pool_internal::Worker;

struct BesideJob : Job {
    const detail::BesideTask* task;
    CompletionLatch* latch;
    std::exception_ptr failure;

    static void execute_on(Job* job, Worker*) {
        auto* beside = static_cast<BesideJob*>(job);
        try {
            beside->task->run(beside->task->context);
        } catch (...) {
            beside->failure = std::current_exception();
        }
        beside->latch->set();
    }
};

}  // namespace

namespace detail {

void run_beside(const BesideTask& job, const BesideTask& beside) {
    Worker* self = pool_internal::current_worker();
    WorkerPool* scoped = pool_internal::scoped_pool();
    WorkerPool& pool = self != nullptr ? *self->pool : scoped != nullptr ? *scoped : global_pool();
    std::exception_ptr beside_failure;
    if (self != nullptr || pool.runs_on_caller()) {
        try {
            beside.run(beside.context);
        } catch (...) {
            beside_failure = std::current_exception();
        }
        try {
            job.run(job.context);
        } catch (...) {
            if (!beside_failure) throw;
        }
        if (beside_failure) std::rethrow_exception(beside_failure);
        return;
    }
    BesideJob handed;
    handed.execute = &BesideJob::execute_on;
    handed.task = &job;
    handed.latch = &CompletionLatch::for_this_thread();
    pool.inject(&handed);
    try {
        beside.run(beside.context);
    } catch (...) {
        beside_failure = std::current_exception();
    }
    try {
        handed.latch->wait_and_reset();
    } catch (...) {
        pool_internal::abort_unexpected();
    }
    if (beside_failure) std::rethrow_exception(beside_failure);
    if (handed.failure) std::rethrow_exception(handed.failure);
}

}  // namespace detail
}  // namespace corvalinth::runtime
