#pragma once
// The process-wide worker pool and the two loop forms the engine uses.
//
// A loop over [0, n) is cut by a budget rule: the whole range starts with
// budget T (the pool size); a range of length L <= 1 is never split; a range
// run by another thread than the one that created it is split and both halves
// get max(T, B/2); otherwise a range with B > 0 is split and both halves get
// B/2; otherwise it runs as one leaf. The lower half [start, start + L/2) runs
// first on the splitting thread, the upper half may be stolen by an idle
// worker; the result is combine(lower, upper). A loop with n <= 1 runs its one
// leaf on the calling thread (after making sure the pool exists); otherwise the
// caller makes the first split and hands both halves to the pool, blocking
// until they finish.
//
// An exception thrown by a leaf is carried back and rethrown on the calling
// thread once every piece has stopped; of several, the one from the lowest
// indices wins.
#include <cstddef>
#include <type_traits>
#include <utility>

namespace corvalinth::runtime {

class WorkerPool;

// The pool, created on first call. Throws std::bad_alloc when memory (or a
// system resource that comes back, such as threads) ran out while starting
// it: the next call tries again, starting only the workers that do not run.
// Throws InternalFailure if it could not be created otherwise (and on every
// later call after such a failure).
WorkerPool& global_pool();

// Number of workers of the global pool (creates it if needed).
std::size_t pool_thread_count();

// Whether the calling thread is a worker of some pool.
bool on_worker_thread();

namespace detail {

// A loop as the pool sees it. Partial results live in slots of result_size
// bytes (at most kMaxResultSize); per-index loops have result_size 0.
struct LoopTask {
    static constexpr std::size_t kMaxResultSize = 16;
    std::size_t result_size;
    void (*leaf)(const LoopTask& task, std::size_t begin, std::size_t end, void* result);
    // *lower = combine(*lower, *upper)
    void (*combine)(const LoopTask& task, void* lower, const void* upper);
    void* context;
};

// Runs the loop; for a reduction, the combined result is written to `result`.
// For n = 0 this runs the leaf once on the empty range [0, 0).
void run_loop(std::size_t n, const LoopTask& task, void* result);

}  // namespace detail

// Per-index form: leaf(begin, end) handles indices begin..end-1 in order and
// writes only its own output slots.
template <class Leaf>
void parallel_for(std::size_t n, Leaf&& leaf) {
    using L = std::remove_reference_t<Leaf>;
    detail::LoopTask task{
        0, [](const detail::LoopTask& t, std::size_t b, std::size_t e, void*) { (*static_cast<L*>(t.context))(b, e); },
        [](const detail::LoopTask&, void*, const void*) {}, const_cast<void*>(static_cast<const void*>(&leaf))};
    detail::run_loop(n, task, nullptr);
}

// Reduction form: leaf(begin, end) -> T over one unsplit range;
// combine(lower, upper) -> T joins neighbouring ranges.
template <class T, class Leaf, class Combine>
T parallel_reduce(std::size_t n, Leaf&& leaf, Combine&& combine) {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= detail::LoopTask::kMaxResultSize);
    struct Ctx {
        std::remove_reference_t<Leaf>* leaf;
        std::remove_reference_t<Combine>* combine;
    } ctx{&leaf, &combine};
    detail::LoopTask task{sizeof(T),
                          [](const detail::LoopTask& t, std::size_t b, std::size_t e, void* out) {
                              *static_cast<T*>(out) = (*static_cast<Ctx*>(t.context)->leaf)(b, e);
                          },
                          [](const detail::LoopTask& t, void* lower, const void* upper) {
                              T* lo = static_cast<T*>(lower);
                              *lo = (*static_cast<Ctx*>(t.context)->combine)(*lo, *static_cast<const T*>(upper));
                          },
                          &ctx};
    T result{};
    detail::run_loop(n, task, &result);
    return result;
}

}  // namespace corvalinth::runtime
