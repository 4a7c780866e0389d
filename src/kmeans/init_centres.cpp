#include "kmeans/init_centres.hpp"

#include <array>
#include <limits>
#include <vector>

#include "kmeans/buffer_size.hpp"
#include "kmeans/nearest_kernels.hpp"
#include "kmeans/row_copy.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {
namespace {

// Distances to the newest centre are computed this many samples at a time, so
// seeding needs only one working vector of n entries (and one running total
// per chunk).
constexpr std::size_t kChunk = 1024;

// Rows [begin, begin + count) of x as a view of their own.
SampleMatrix row_block(const SampleMatrix& x, std::size_t begin, std::size_t count) {
    SampleMatrix block = x;
    block.data = x.row(begin);
    block.n_rows = count;
    return block;
}

// Lowers closest[i] to the squared distance between sample i and `centre` when
// that is strictly smaller (a NaN distance never lowers an entry) and returns
// -0.0 plus the left-to-right sum of the updated entries. ends[c] receives
// that sum as it stands after chunk c.
double lower_and_total(const SampleMatrix& x, const double* centre, std::size_t d, std::vector<double>& closest,
                       std::vector<double>& ends) {
    std::array<double, kChunk> dist;
    double total = -0.0;
    const std::size_t n = x.n_rows;
    for (std::size_t begin = 0, c = 0; begin < n; begin += kChunk, ++c) {
        const std::size_t count = n - begin < kChunk ? n - begin : kChunk;
        distances_to_centre(row_block(x, begin, count), centre, d, dist.data());
        double* entries = closest.data() + begin;
        for (std::size_t i = 0; i < count; ++i) {
            // Select, not branch: which samples move closer is unpredictable.
            const double lowered = dist[i] < entries[i] ? dist[i] : entries[i];
            entries[i] = lowered;
            total = total + lowered;
        }
        ends[c] = total;
    }
    return total;
}

// The first sample whose running sum of closest[] reaches `target` (ordered
// comparison), or n when there is none. Entries are never negative or NaN, so
// the running sum never decreases and the scan can start in the first chunk
// whose end sum reaches the target. The running sum from that chunk's start
// equals the one from sample 0 (they can differ only in the sign of an
// all-zero prefix, which no comparison sees).
std::size_t weighted_pick(const std::vector<double>& closest, const std::vector<double>& ends, double target) {
    std::size_t c = 0;
    while (c < ends.size() && !(ends[c] >= target)) ++c;
    if (c == ends.size()) return closest.size();
    double running = c == 0 ? +0.0 : ends[c - 1];
    const std::size_t end = c * kChunk + kChunk < closest.size() ? c * kChunk + kChunk : closest.size();
    for (std::size_t i = c * kChunk; i < end; ++i) {
        running = running + closest[i];
        if (running >= target) return i;
    }
    return closest.size();  // not reached: the chunk's end sum reaches the target
}

}  // namespace

void init_centres(const SampleMatrix& x, CentreMatrix& centres, runtime::RandomSource& rng) {
    const std::size_t n = x.n_rows;
    const std::size_t k = centres.rows;
    const std::size_t d = centres.cols;
    if (d != x.n_cols || centres.values.size() != checked_product(k, d)) {
        throw InternalFailure("centre matrix does not match the samples");
    }

    // First centre: uniform over the samples; nothing is drawn for n = 0.
    if (n == 0) throw InternalFailure("cannot sample empty range");
    const std::uint64_t first = rng.uniform_index(n);
    if (k == 0) throw InternalFailure("assertion failed: index < dim");
    copy_sample_row(x, first, centres.row(0), d);
    if (k == 1) return;

    std::vector<double> closest = make_buffer<double>(n, std::numeric_limits<double>::infinity());
    std::vector<double> ends = make_buffer<double>((n + kChunk - 1) / kChunk, 0.0);
    for (std::size_t c = 1; c < k; ++c) {
        const double total = lower_and_total(x, centres.row(c - 1), d, closest, ends);
        if (total == 0.0) {
            // Every sample coincides with a chosen centre.
            const std::uint64_t r = rng.uniform_index(n);
            copy_sample_row(x, r, centres.row(c), d);
            continue;
        }
        // Weighted pick; a NaN target (an infinite total times a zero draw)
        // picks nothing and the row keeps its values.
        const std::size_t i = weighted_pick(closest, ends, total * rng.uniform_unit());
        if (i < n) copy_sample_row(x, i, centres.row(c), d);
    }
}

}  // namespace corvalinth::kmeans
