// The centre update of a Lloyd iteration, split over the worker pool by ownership.
#include <algorithm>
#include <vector>

#include "kmeans/buffer_size.hpp"
#include "kmeans/lloyd.hpp"
#include "kmeans/row_copy.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

// Below this many coordinates the pool's hand-off costs more than the sums.
constexpr std::size_t kPoolWork = std::size_t{1} << 16;
// Rows at least this wide may be split by features; rows of adjacent
// features only while narrower than kAdjacentSplitBelow.
constexpr std::size_t kSplitFeaturesFrom = 32;
constexpr std::size_t kAdjacentSplitBelow = 64;

// The part of the sums one piece of work owns: features [j_lo, j_hi) of every
// cluster. Exactly one block counts the samples of each cluster.
struct Block {
    std::size_t j_lo, j_hi;
    bool counts;
};

// Scans every sample in order and adds the owned features of each sample into
// its cluster's sum row: sums[c * stride + j - j_lo], counts[c]. D is the block's width when fixed at compile time
// (0: run time); Unit says features are adjacent. Each sum is its own chain,
// added to in sample order only, so the result does not depend on how the
// sums are split into blocks.
template <std::size_t D, bool Unit>
void accumulate_block(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                      std::size_t stride, std::uint64_t* counts, const Block& b) {
    const std::size_t n = x.n_rows;
    const std::size_t w = D != 0 ? D : b.j_hi - b.j_lo;
    const std::ptrdiff_t rs = x.row_stride;
    const std::ptrdiff_t cs = Unit ? 1 : x.col_stride;
    const double* row = x.data + static_cast<std::ptrdiff_t>(b.j_lo) * cs;
    for (std::size_t i = 0; i < n; ++i, row += rs) {
        const std::uint64_t c = labels[i];
        if (c >= k) label_out_of_range();
        double* __restrict sum = sums + c * stride;
        if constexpr (D != 0) {
            double v[D];
            for (std::size_t j = 0; j < D; ++j) v[j] = row[static_cast<std::ptrdiff_t>(j) * cs];
            for (std::size_t j = 0; j < D; ++j) sum[j] = sum[j] + v[j];
        } else {
            const double* __restrict r = row;
            for (std::size_t j = 0; j < w; ++j) sum[j] = sum[j] + r[static_cast<std::ptrdiff_t>(j) * cs];
        }
        if (b.counts) counts[c] += 1;
    }
}

template <bool Unit>
void accumulate_any_width(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                          std::size_t stride, std::uint64_t* counts, const Block& b) {
    switch (b.j_hi - b.j_lo) {
        case 1: return accumulate_block<1, Unit>(x, labels, k, sums, stride, counts, b);
        case 2: return accumulate_block<2, Unit>(x, labels, k, sums, stride, counts, b);
        case 3: return accumulate_block<3, Unit>(x, labels, k, sums, stride, counts, b);
        case 4: return accumulate_block<4, Unit>(x, labels, k, sums, stride, counts, b);
        case 8: return accumulate_block<8, Unit>(x, labels, k, sums, stride, counts, b);
        case 16: return accumulate_block<16, Unit>(x, labels, k, sums, stride, counts, b);
        default: return accumulate_block<0, Unit>(x, labels, k, sums, stride, counts, b);
    }
}

void accumulate(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                std::size_t stride, std::uint64_t* counts, const Block& b) {
    if (b.j_lo == b.j_hi) {
        // No features (d = 0): counts only.
        for (std::size_t i = 0; i < x.n_rows; ++i) {
            if (labels[i] >= k) label_out_of_range();
            if (b.counts) counts[labels[i]] += 1;
        }
    } else if (x.col_stride == 1) {
        accumulate_any_width<true>(x, labels, k, sums, stride, counts, b);
    } else {
        accumulate_any_width<false>(x, labels, k, sums, stride, counts, b);
    }
}

// One block of a split update: its sums and counts in buffers of its own (no
// cache line is written by two workers), copied out when the scan ends.
void accumulate_private(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, const Block& b,
                        CentreMatrix& out, std::uint64_t* counts) {
    const std::size_t w = b.j_hi - b.j_lo;
    std::vector<double> sums = make_buffer<double>(checked_product(k, w), 0.0);
    std::vector<std::uint64_t> own_counts = make_buffer<std::uint64_t>(k, 0);
    accumulate(x, labels, k, sums.data(), w, own_counts.data(), b);
    for (std::size_t c = 0; c < k; ++c) {
        double* to = out.row(c) + b.j_lo;
        for (std::size_t j = 0; j < w; ++j) to[j] = sums[c * w + j];
        if (b.counts) counts[c] = own_counts[c];
    }
}

// How the sums are shared out: one block per worker, each owning a range of
// features (whole cache lines of a row each), when that can pay; else one
// block. Measured on a 2-core AMD EPYC with AVX-512 (bench_update and ad hoc
// runs), two blocks against one:
//  - features not adjacent in a row (column-major views): 1.9x faster when
//    both workers take a block, each streaming only its own columns; the
//    pool does not always hand the second of two pieces to an idle worker,
//    and then the time is that of one block;
//  - adjacent features, 32 to 48 per row: up to 1.3x faster;
//  - adjacent features, 128 or more per row: about 2x slower even on one
//    worker, because the hardware prefetcher pulls the other half of every
//    row too;
//  - splitting narrow rows by clusters (every worker scanning every sample
//    and skipping the others' labels): 2x to 3x slower, from mispredicted
//    branches. Narrow rows stay on the calling thread.
std::vector<Block> plan_blocks(const SampleMatrix& x, std::size_t k) {
    const std::size_t n = x.n_rows;
    const std::size_t d = x.n_cols;
    const bool adjacent = x.col_stride == 1;
    if (k == 0 || d < kSplitFeaturesFrom || (adjacent && d >= kAdjacentSplitBelow) || n < kPoolWork / d)
        return {Block{0, d, true}};
    const std::size_t parts = std::min(runtime::pool_thread_count(), d / 16);
    if (parts < 2) return {Block{0, d, true}};
    std::vector<Block> blocks;
    for (std::size_t p = 0; p < parts; ++p) {
        const std::size_t lo = p == 0 ? 0 : (d * p / parts) / 8 * 8;
        const std::size_t hi = p + 1 == parts ? d : (d * (p + 1) / parts) / 8 * 8;
        blocks.push_back(Block{lo, hi, p == 0});
    }
    return blocks;
}

}  // namespace

void update_centres(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                    runtime::RandomSource& rng, CentreMatrix& out, std::vector<std::uint64_t>& counts) {
    const std::size_t n = x.n_rows;
    const std::size_t d = x.n_cols;
    if (labels.size() != n) throw InternalFailure("label count differs from sample count");
    const std::size_t size = checked_product(k, d);
    if (out.values.size() != size) out.values = make_buffer<double>(size, 0.0);
    std::fill(out.values.begin(), out.values.end(), 0.0);
    out.rows = k;
    out.cols = d;
    if (counts.size() != k) counts = make_buffer<std::uint64_t>(k, 0);
    std::fill(counts.begin(), counts.end(), 0);

    // Every sums[c][j] is the left-to-right sum over the cluster's samples in
    // sample order, starting from +0.0, whichever block owns it.
    const std::vector<Block> blocks = plan_blocks(x, k);
    double* sums = out.values.data();
    if (blocks.size() == 1) {
        accumulate(x, labels.data(), k, sums, d, counts.data(), blocks[0]);
    } else {
        runtime::parallel_for(blocks.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t b = begin; b < end; ++b) accumulate_private(x, labels.data(), k, blocks[b], out, counts.data());
        });
    }

    for (std::size_t c = 0; c < k; ++c) {
        double* centre = out.row(c);
        if (counts[c] == 0) {
            // Empty cluster: re-seed from a random sample (draws in cluster
            // order, on the calling thread).
            const std::uint64_t r = rng.uniform_index(n);
            copy_sample_row(x, r, centre, d);
        } else {
            const double count = static_cast<double>(counts[c]);
            for (std::size_t j = 0; j < d; ++j) centre[j] = centre[j] / count;
        }
    }
}

CentreMatrix update_centres(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                            runtime::RandomSource& rng) {
    CentreMatrix out;
    std::vector<std::uint64_t> counts;
    update_centres(x, labels, k, rng, out, counts);
    return out;
}

}  // namespace corvalinth::kmeans
