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
// A loop whose work is too small to pay for a hand-off runs on the calling
// thread instead (after making sure the pool exists): a per-index loop as one
// leaf over [0, n), a reduction with the split tree of a handed-off loop none
// of whose pieces another worker takes, one of the trees the pool may build
// anyway. Work is counted in units of about one coordinate of one distance or
// one sum; a loop that states none always goes to the pool.
//
// An exception thrown by a leaf is carried back and rethrown on the calling
// thread once every piece has stopped; of several, the one from the lowest
// indices wins.
#include <cstddef>
#include <cstdint>
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

// A loop started on a thread that is not a worker runs there when its work is
// below this many units: a hand-off to the pool and back costs more than the
// loop (measured: docs/tuning.md, "Worker pool", kInlineWorkBelow).
inline constexpr std::size_t kInlineWorkBelow = std::size_t{1} << 15;

// The work of a loop that does not state it: always handed to the pool.
inline constexpr std::size_t kUnstatedWork = SIZE_MAX;

// The work of `count` items of `each` units, kUnstatedWork when it overflows.
inline std::size_t work_units(std::size_t count, std::size_t each) {
    std::size_t product = 0;
    return __builtin_mul_overflow(count, each, &product) ? kUnstatedWork : product;
}

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
// For n = 0 this runs the leaf once on the empty range [0, 0). `work` decides
// whether it runs on the calling thread (see kInlineWorkBelow).
void run_loop(std::size_t n, const LoopTask& task, void* result, std::size_t work);

}  // namespace detail

// Per-index form: leaf(begin, end) handles indices begin..end-1 in order and
// writes only its own output slots; `work` is the whole loop's work in units.
template <class Leaf>
void parallel_for(std::size_t n, std::size_t work, Leaf&& leaf) {
    using L = std::remove_reference_t<Leaf>;
    detail::LoopTask task{
        0, [](const detail::LoopTask& t, std::size_t b, std::size_t e, void*) { (*static_cast<L*>(t.context))(b, e); },
        [](const detail::LoopTask&, void*, const void*) {}, const_cast<void*>(static_cast<const void*>(&leaf))};
    detail::run_loop(n, task, nullptr, work);
}

// The same, its work not stated: always on the pool.
template <class Leaf>
void parallel_for(std::size_t n, Leaf&& leaf) {
    parallel_for(n, kUnstatedWork, std::forward<Leaf>(leaf));
}

// Reduction form: leaf(begin, end) -> T over one unsplit range;
// combine(lower, upper) -> T joins neighbouring ranges; `work` is the whole
// loop's work in units.
template <class T, class Leaf, class Combine>
T parallel_reduce(std::size_t n, std::size_t work, Leaf&& leaf, Combine&& combine) {
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
    detail::run_loop(n, task, &result, work);
    return result;
}

// The same, its work not stated: always on the pool.
template <class T, class Leaf, class Combine>
T parallel_reduce(std::size_t n, Leaf&& leaf, Combine&& combine) {
    return parallel_reduce<T>(n, kUnstatedWork, std::forward<Leaf>(leaf), std::forward<Combine>(combine));
}

}  // namespace corvalinth::runtime
