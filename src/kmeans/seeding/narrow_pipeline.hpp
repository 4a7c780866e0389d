#pragma once
// The lowering of narrow rows shared with one worker while the calling thread sums.
//
// The calling thread walks the chunks of a piece in order and keeps the
// running total; a worker (runtime::run_beside) lowers a tail of the chunks
// meanwhile, so the total's dependent additions over the worker's chunks do
// not wait for their distances. Which thread lowers a chunk never changes a
// value: both run the same per-sample arithmetic (fused_lowering.hpp) with
// gradual underflow, and the total is the calling thread's left-to-right sum.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kmeans/base/sample_matrix.hpp"

namespace corvalinth::kmeans {

class NarrowPipeline {
public:
    // For n samples in chunks of `chunk` (the chunks the ends are recorded at).
    // Allocation failure leaves it unavailable (the fused pass runs instead).
    NarrowPipeline(std::size_t n, std::size_t chunk);

    bool available() const { return static_cast<bool>(done_); }

    // fused_lower_and_sum over [begin, end) (begin a multiple of the chunk),
    // with the same results, the worker lowering some of the chunks. The
    // calling thread must have gradual underflow and must not be a worker.
    double lower_and_sum(const SampleMatrix& x, const double* centre, std::size_t d, std::size_t begin,
                         std::size_t end, double* closest, double total, double* ends);

    // Chunks the worker lowered in the last call (for tests and benchmarks).
    std::size_t worker_chunks() const { return worker_chunks_; }

private:
    std::size_t n_;
    std::size_t chunk_;
    // Per chunk: set by the worker once it lowered the chunk, cleared by the
    // calling thread once it summed it (all clear between calls).
    std::unique_ptr<std::atomic<std::uint8_t>[]> done_;
    std::size_t worker_chunks_ = 0;
};

}  // namespace corvalinth::kmeans
