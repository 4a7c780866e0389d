// The lowering pass of a seeding step, on the worker pool, skipping certified samples.
#include "kmeans/seeding_lowering.hpp"

#include <array>
#include <limits>

#include "kmeans/buffer_size.hpp"
#include "kmeans/distance.hpp"
#include "kmeans/nearest_kernels.hpp"
#include "kmeans/row_copy.hpp"
#include "kmeans/seeding_bound.hpp"
#include "runtime/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

// Samples tested together; the rows of a block that must be read are either
// read in place (when many are) or gathered into a dense tile (when few are).
constexpr std::size_t kBlock = 512;
// Largest tile of gathered rows, and the most coordinates it holds.
constexpr std::size_t kTileRows = 32;
constexpr std::size_t kTileValues = 8192;
// Below this many coordinates in a pass the pool's hand-off costs more than
// the pass itself: the calling thread does it.
constexpr std::size_t kPoolWork = std::size_t{1} << 15;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Rows [begin, begin + count) of x as a view of their own.
SampleMatrix row_block(const SampleMatrix& x, std::size_t begin, std::size_t count) {
    SampleMatrix block = x;
    block.data = x.row(begin);
    block.n_rows = count;
    return block;
}

// What a piece of the pass reports: the largest distance it gave to the
// newest centre, and how many rows it read. max and + are exact and
// order-free on these values, so the combined result is the same for any
// split.
struct PassResult {
    double owned_max = 0.0;
    std::uint64_t computed = 0;
};

PassResult join(PassResult lower, PassResult upper) {
    return {lower.owned_max < upper.owned_max ? upper.owned_max : lower.owned_max, lower.computed + upper.computed};
}

bool owners_tracked(std::size_t n, std::size_t k, std::size_t d) {
    // With k <= 2 no step can skip (only centre 0 owns samples while centre 1
    // is the newest, and it is never measured against itself).
    return n > 0 && k > 2 && k - 1 <= std::numeric_limits<std::uint32_t>::max() && d > 0 && d <= kGapMaxDims;
}

}  // namespace

SeedingDistances::SeedingDistances(std::size_t n, std::size_t k) {
    closest_ = make_buffer<double>(n, kInf);
    // The row width is not known yet; owners are allocated on the first pass
    // that can use them.
    owned_max_ = make_buffer<double>(k, 0.0);
    gap_ = make_buffer<double>(k, -1.0);
}

void SeedingDistances::lower(const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest) {
    const std::size_t n = x.n_rows;
    const std::size_t d = centres.cols;
    const std::size_t k = centres.rows;
    const double* centre = centres.row(newest);
    const bool tracked = owners_tracked(n, k, d);
    // Every sample is read on the first pass (nothing is known yet) and when
    // owners are not tracked.
    const bool read_all = !tracked || newest == 0;
    if (tracked && owner_.size() != n) owner_ = make_buffer<std::uint32_t>(n, 0);

    if (!read_all) {
        // Gaps from every chosen centre to the newest one; a centre whose
        // largest owned distance is certified marks all its samples skipped.
        auto gaps = [&](std::size_t begin, std::size_t end) {
            for (std::size_t a = begin; a < end; ++a) {
                const double g = squared_distance(centres.row(a), 1, d, centre, d);
                if (!(g < kInf)) {
                    gap_[a] = -1.0;  // overflow or NaN: certifies nothing
                } else {
                    gap_[a] = g >= gap_needed(owned_max_[a]) ? kInf : g;
                }
            }
        };
        if (newest < kPoolWork / d) {
            gaps(0, newest);
        } else {
            runtime::parallel_for(newest, gaps);
        }
    }

    double* closest = closest_.data();
    std::uint32_t* owner = owner_.data();
    const double* gap = gap_.data();
    const std::size_t tile_rows =
        d == 0 || d >= kTileValues ? 1 : (kTileValues / d < kTileRows ? kTileValues / d : kTileRows);
    const auto newest_id = static_cast<std::uint32_t>(tracked ? newest : 0);

    auto leaf = [&](std::size_t begin, std::size_t end) -> PassResult {
        PassResult out;
        std::array<double, kBlock> dist;
        std::array<std::uint32_t, kBlock> pick;
        std::vector<double> tile;
        for (std::size_t b = begin; b < end; b += kBlock) {
            const std::size_t count = end - b < kBlock ? end - b : kBlock;
            double* entries = closest + b;
            if (read_all) {
                distances_to_centre(row_block(x, b, count), centre, d, dist.data());
                out.computed += count;
                for (std::size_t i = 0; i < count; ++i) {
                    // Select, not branch: which samples move closer is unpredictable.
                    const double lowered = dist[i] < entries[i] ? dist[i] : entries[i];
                    entries[i] = lowered;
                    // On the first pass centre 0 owns every sample, +infinity
                    // ones included.
                    if (newest == 0 && out.owned_max < lowered) out.owned_max = lowered;
                }
                continue;
            }
            // Samples the certificate cannot rule out (a NaN or infinite
            // distance never passes it).
            std::size_t m = 0;
            for (std::size_t i = 0; i < count; ++i) {
                pick[m] = static_cast<std::uint32_t>(i);
                m += gap[owner[b + i]] >= gap_needed(entries[i]) ? 0 : 1;
            }
            if (m == 0) continue;
            out.computed += m;
            auto lower_one = [&](std::size_t i, double dv) {
                if (dv < entries[i]) {
                    entries[i] = dv;
                    owner[b + i] = newest_id;
                    if (out.owned_max < dv) out.owned_max = dv;
                }
            };
            if (x.col_stride != 1 || 2 * m > count) {
                // Many rows (or rows whose coordinates are not adjacent): the
                // whole block in place; the others cannot move, so only the
                // picked ones are looked at.
                distances_to_centre(row_block(x, b, count), centre, d, dist.data());
                for (std::size_t p = 0; p < m; ++p) lower_one(pick[p], dist[pick[p]]);
                continue;
            }
            // Few rows: gathered into a dense tile, measured with the same
            // arithmetic as in place.
            if (tile.empty()) tile = make_buffer<double>(tile_rows * d, 0.0);
            for (std::size_t p = 0; p < m; p += tile_rows) {
                const std::size_t rows = m - p < tile_rows ? m - p : tile_rows;
                for (std::size_t r = 0; r < rows; ++r) copy_sample_row(x, b + pick[p + r], tile.data() + r * d, d);
                const SampleMatrix dense{tile.data(), rows, d, static_cast<std::ptrdiff_t>(d), 1};
                distances_to_centre(dense, centre, d, dist.data());
                for (std::size_t r = 0; r < rows; ++r) lower_one(pick[p + r], dist[r]);
            }
        }
        return out;
    };

    PassResult result;
    if (n < 2 || n < kPoolWork / (d == 0 ? 1 : d)) {
        result = leaf(0, n);
    } else {
        result = runtime::parallel_reduce<PassResult>(n, leaf, join);
    }
    owned_max_[newest] = result.owned_max;
    computed_last_ = result.computed;
}

}  // namespace corvalinth::kmeans
