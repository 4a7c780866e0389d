// The lowering of narrow rows shared with one worker while the calling thread sums.
#include "kmeans/seeding/narrow_pipeline.hpp"

#include <chrono>
#include <new>

#include "kmeans/seeding/fused_lowering.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/pool/spin_wait.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

// The calling thread keeps for itself about this share of the chunks left
// when the worker arrives: fused, a chunk costs it about as much as the
// lowering alone costs the worker, and summing a lowered chunk about half of
// that, so both finish together near one third (docs/tuning.md, "Seeding:
// narrow rows beside a worker").
constexpr std::size_t kCallerShareDivisor = 3;

// Who owns which chunk of a piece (chunk indices relative to the piece's
// first). The calling thread claims chunk r below `limit` by moving `front`
// from r to r + 1; the worker, on arrival, moves `limit` from the piece's
// end down to a chunk m >= front, and from then on chunks at or above m are
// claimed by moving `tail` from r to r + 1, by either thread. Every chunk is
// claimed exactly once, and the calling thread reaches a chunk only after
// every earlier one has been claimed.
struct Claims {
    // front in the low 32 bits, limit in the high 32 bits.
    std::atomic<std::uint64_t> front_limit;
    std::atomic<std::size_t> tail;
};

std::uint64_t pack(std::uint64_t front, std::uint64_t limit) { return front | limit << 32; }
std::size_t front_of(std::uint64_t w) { return static_cast<std::size_t>(w & 0xffffffffu); }
std::size_t limit_of(std::uint64_t w) { return static_cast<std::size_t>(w >> 32); }

}  // namespace

NarrowPipeline::NarrowPipeline(std::size_t n, std::size_t chunk) : n_(n), chunk_(chunk) {
    const std::size_t chunks = chunk == 0 ? 0 : (n + chunk - 1) / chunk;
    if (chunks == 0 || chunks >= (std::size_t{1} << 32)) return;
    done_.reset(new (std::nothrow) std::atomic<std::uint8_t>[chunks]);
    if (done_)
        for (std::size_t c = 0; c < chunks; ++c) done_[c].store(0, std::memory_order_relaxed);
}

double NarrowPipeline::lower_and_sum(const SampleMatrix& x, const double* centre, std::size_t d, std::size_t begin,
                                     std::size_t end, double* closest, double total, double* ends) {
    if (!done_ || begin % chunk_ != 0 || end > n_ || begin > end || d >= kFusedMaxDims)
        throw InternalFailure("narrow pipeline out of range");
    const std::size_t first = begin / chunk_;
    const std::size_t count = (end - begin + chunk_ - 1) / chunk_;
    auto chunk_begin = [&](std::size_t r) { return begin + r * chunk_; };
    auto chunk_end = [&](std::size_t r) { return r + 1 == count ? end : begin + (r + 1) * chunk_; };

    Claims claims;
    claims.front_limit.store(pack(0, count), std::memory_order_relaxed);
    claims.tail.store(count, std::memory_order_relaxed);
    std::size_t lowered_by_worker = 0;
    // Set when the worker stopped on a failure (rethrown by run_beside).
    std::atomic<bool> failed{false};

    auto worker = [&] {
        std::uint64_t w = claims.front_limit.load(std::memory_order_acquire);
        for (;;) {
            const std::size_t front = front_of(w);
            if (front >= count) return;
            const std::size_t m = front + (count - front + kCallerShareDivisor - 1) / kCallerShareDivisor;
            // Published before the limit, so the calling thread sees it with the limit.
            claims.tail.store(m, std::memory_order_relaxed);
            if (claims.front_limit.compare_exchange_weak(w, pack(front, m), std::memory_order_acq_rel,
                                                         std::memory_order_acquire))
                break;
        }
        try {
            for (;;) {
                const std::size_t r = claims.tail.fetch_add(1, std::memory_order_acq_rel);
                if (r >= count) return;
                lower_narrow(x, centre, d, chunk_begin(r), chunk_end(r), closest);
                ++lowered_by_worker;
                done_[first + r].store(1, std::memory_order_release);
            }
        } catch (...) {
            failed.store(true, std::memory_order_release);
            throw;
        }
    };

    auto caller = [&] {
        for (std::size_t r = 0; r < count; ++r) {
            bool own = false;
            std::uint64_t w = claims.front_limit.load(std::memory_order_acquire);
            for (;;) {
                if (r >= limit_of(w)) break;
                if (claims.front_limit.compare_exchange_weak(w, pack(r + 1, limit_of(w)), std::memory_order_acq_rel,
                                                             std::memory_order_acquire)) {
                    own = true;
                    break;
                }
            }
            if (!own) {
                std::size_t expected = r;
                own = claims.tail.compare_exchange_strong(expected, r + 1, std::memory_order_acq_rel,
                                                          std::memory_order_acquire);
            }
            if (own) {
                total = fused_lower_and_sum(x, centre, d, chunk_begin(r), chunk_end(r), n_, chunk_, closest, total,
                                            ends);
                continue;
            }
            // The worker claimed it and is lowering it (or has).
            std::atomic<std::uint8_t>& flag = done_[first + r];
            while (!runtime::spin_until(std::chrono::microseconds(200), [&] {
                return flag.load(std::memory_order_acquire) != 0 || failed.load(std::memory_order_acquire);
            })) {
            }
            if (flag.load(std::memory_order_acquire) == 0) return;  // the worker failed
            flag.store(0, std::memory_order_relaxed);
            total = sum_entries(closest, chunk_begin(r), chunk_end(r), n_, chunk_, total, ends);
        }
    };

    runtime::run_beside(worker, caller);
    worker_chunks_ = lowered_by_worker;
    return total;
}

}  // namespace corvalinth::kmeans
