// The lowering pass of a seeding step, on the worker pool, skipping certified samples.
#include "kmeans/seeding_lowering.hpp"

#include <array>
#include <limits>

#include "kmeans/buffer_size.hpp"
#include "kmeans/distance.hpp"
#include "kmeans/nearest_kernels.hpp"
#include "kmeans/row_copy.hpp"
#include "kmeans/seeding_bound.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/float_mode.hpp"
#include "runtime/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

// Samples tested together; the rows of a block that must be read are either
// read in place (when many are) or gathered into a dense tile (when few are).
constexpr std::size_t kBlock = 512;
// Largest tile of gathered rows, and the most coordinates it holds.
constexpr std::size_t kTileRows = 32;
constexpr std::size_t kTileValues = 8192;
// Below this much work (coordinates to read plus samples to test) the pool's
// hand-off costs more than it saves, and rows narrower than kPoolMinDims are
// measured faster than their total is summed: the calling thread does the
// pass and sums the total on the way.
constexpr std::size_t kPoolWork = std::size_t{1} << 17;
constexpr std::size_t kPoolMinDims = 8;
// Testing a sample costs about as much as measuring a row this narrow: owners
// are tracked, and the certificate tried, only for wider rows.
constexpr std::size_t kGapMinDims = 16;


// Samples are measured from a copy laid out in panels of kPanelRows rows
// stored feature by feature (each feature's kPanelRows values adjacent): the
// kernels sweep such a panel several times faster than rows of adjacent
// features. The copy is made for rows of at least kPoolMinDims features when
// the seeding has at least kPanelMinCentres centres and the copy takes at
// most kPanelMaxValues values; otherwise the samples are read in place. The
// kernels give bit-identical distances for every layout.
constexpr std::size_t kPanelRows = 32;
constexpr std::size_t kPanelMinCentres = 24;
constexpr std::size_t kPanelMaxValues = std::size_t{1} << 27;
static_assert(kBlock % kPanelRows == 0 && kBlock / kPanelRows <= 32);

constexpr double kInf = std::numeric_limits<double>::infinity();

// Rows [begin, begin + count) of x as a view of their own.
SampleMatrix row_block(const SampleMatrix& x, std::size_t begin, std::size_t count) {
    SampleMatrix block = x;
    block.data = x.row(begin);
    block.n_rows = count;
    return block;
}

// Panel p of the copy (rows [p * kPanelRows, ...) of x) as a sample view.
SampleMatrix panel_view(const std::vector<double>& panel, std::size_t n, std::size_t d, std::size_t p) {
    const std::size_t begin = p * kPanelRows;
    const std::size_t rows = n - begin < kPanelRows ? n - begin : kPanelRows;
    return SampleMatrix{panel.data() + begin * d, rows, d, 1, static_cast<std::ptrdiff_t>(rows)};
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
    // With k <= 2 no step can skip (only centre 0 owns samples when centre 1
    // is the newest, and it is never measured against itself).
    return n > 0 && k > 2 && k - 1 <= std::numeric_limits<std::uint32_t>::max() && d >= kGapMinDims &&
           d <= kGapMaxDims;
}

}  // namespace

SeedingDistances::SeedingDistances(std::size_t n, std::size_t k) : k_(k) {
    closest_ = make_buffer<double>(n, kInf);
    // The row width is not known yet; owners are allocated on the first pass
    // that can use them.
    owned_max_ = make_buffer<double>(k, 0.0);
    gap_ = make_buffer<double>(k, -1.0);
}

double SeedingDistances::lower(const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest,
                               std::vector<double>& ends) {
    if (ends.size() != (closest_.size() + kSeedingChunk - 1) / kSeedingChunk)
        throw InternalFailure("chunk sums do not match the samples");
    const std::size_t n = x.n_rows;
    const std::size_t d = centres.cols;
    const std::size_t k = centres.rows;
    const double* centre = centres.row(newest);
    const bool tracked = owners_tracked(n, k, d);
    if (tracked && owner_.size() != n) owner_ = make_buffer<std::uint32_t>(n, 0);
    if (newest == 0 && d >= kPoolMinDims && k_ >= kPanelMinCentres && n <= kPanelMaxValues / d) {
        panel_ = make_buffer<double>(n * d, 0.0);
        auto fill = [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p) {
                const SampleMatrix to = panel_view(panel_, n, d, p);
                double* out = panel_.data() + p * kPanelRows * d;
                for (std::size_t r = 0; r < to.n_rows; ++r) {
                    const std::size_t i = p * kPanelRows + r;
                    for (std::size_t j = 0; j < d; ++j) out[j * to.n_rows + r] = x.at(i, j);
                }
            }
        };
        const std::size_t panels = (n + kPanelRows - 1) / kPanelRows;
        if (n < kPoolWork / d) {
            fill(0, panels);
        } else {
            runtime::parallel_for(panels, fill);
        }
    }
    const bool use_panel = !panel_.empty();
    // Distances of rows [b, b + count) (b a multiple of kBlock) to the newest
    // centre into dist; with the copy, only the panels whose bit is set in
    // `wanted`.
    auto measure = [&](std::size_t b, std::size_t count, double* dist, std::uint32_t wanted) {
        if (!use_panel) {
            distances_to_centre(row_block(x, b, count), centre, d, dist);
            return;
        }
        for (std::size_t q = 0; q * kPanelRows < count; ++q) {
            if ((wanted >> q & 1u) == 0) continue;
            distances_to_centre(panel_view(panel_, n, d, b / kPanelRows + q), centre, d, dist + q * kPanelRows);
        }
    };
    // Nothing is known on the first pass (centre 0 then owns every sample);
    // the certificate assumes gradual underflow.
    const bool certify = tracked && newest > 0 && !runtime::subnormals_flushed();

    if (certify) {
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

    // Every row of the block: the plain lowering, or on the first pass of a
    // tracked seeding also the largest distance (centre 0 owns every sample,
    // +infinity ones included).
    auto read_block = [&](std::size_t b, std::size_t count, double* entries, PassResult& out, double* dist) {
        measure(b, count, dist, ~0u);
        out.computed += count;
        for (std::size_t i = 0; i < count; ++i) {
            // Select, not branch: which samples move closer is unpredictable.
            const double lowered = dist[i] < entries[i] ? dist[i] : entries[i];
            entries[i] = lowered;
            if (tracked) out.owned_max = out.owned_max < lowered ? lowered : out.owned_max;
        }
    };

    // Only the rows the certificate cannot rule out (a NaN or infinite
    // distance never passes it).
    auto certified_block = [&](std::size_t b, std::size_t count, double* entries, PassResult& out, double* dist,
                               std::vector<double>& tile) {
        std::array<std::uint32_t, kBlock> pick;
        std::size_t m = 0;
        for (std::size_t i = 0; i < count; ++i) {
            pick[m] = static_cast<std::uint32_t>(i);
            m += gap[owner[b + i]] >= gap_needed(entries[i]) ? 0 : 1;
        }
        if (m == 0) return;
        out.computed += m;
        auto lower_one = [&](std::size_t i, double dv) {
            if (dv < entries[i]) {
                entries[i] = dv;
                owner[b + i] = newest_id;
                if (out.owned_max < dv) out.owned_max = dv;
            }
        };
        if (use_panel || x.col_stride != 1 || 2 * m > count) {
            // Many rows, rows whose coordinates are not adjacent, or the
            // copy: the whole block (with the copy, the panels holding picked
            // rows); the others cannot move, so only the picked ones are
            // looked at.
            std::uint32_t wanted = 0;
            for (std::size_t p = 0; p < m; ++p) wanted |= 1u << (pick[p] / kPanelRows);
            measure(b, count, dist, wanted);
            for (std::size_t p = 0; p < m; ++p) lower_one(pick[p], dist[pick[p]]);
            return;
        }
        // Few rows: gathered into a dense tile, measured with the same
        // arithmetic as in place.
        if (tile.empty()) tile = make_buffer<double>(tile_rows * d, 0.0);
        for (std::size_t p = 0; p < m; p += tile_rows) {
            const std::size_t rows = m - p < tile_rows ? m - p : tile_rows;
            for (std::size_t r = 0; r < rows; ++r) copy_sample_row(x, b + pick[p + r], tile.data() + r * d, d);
            const SampleMatrix dense{tile.data(), rows, d, static_cast<std::ptrdiff_t>(d), 1};
            distances_to_centre(dense, centre, d, dist);
            for (std::size_t r = 0; r < rows; ++r) lower_one(pick[p + r], dist[r]);
        }
    };

    // `total`, when given, receives the left-to-right sum of the updated
    // entries block by block while they are still in cache (the calling
    // thread running the whole range), with ends[c] its value after chunk c.
    auto pass = [&](std::size_t begin, std::size_t end, double* total) -> PassResult {
        PassResult out;
        std::array<double, kBlock> dist;
        std::vector<double> tile;
        for (std::size_t b = begin; b < end; b += kBlock) {
            // Every block starts at a multiple of kBlock (panels are aligned).
            const std::size_t count = end - b < kBlock ? end - b : kBlock;
            double* entries = closest + b;
            if (certify) {
                certified_block(b, count, entries, out, dist.data(), tile);
            } else {
                read_block(b, count, entries, out, dist.data());
            }
            if (total != nullptr) {
                double t = *total;
                for (std::size_t i = 0; i < count; ++i) t = t + entries[i];
                *total = t;
                if ((b + count) % kSeedingChunk == 0 || b + count == n) ends[(b + count - 1) / kSeedingChunk] = t;
            }
        }
        return out;
    };

    // The rows this pass is expected to read: as many as the last certified
    // pass read (the first one reads all).
    const std::size_t width = d == 0 ? 1 : d;
    const double share = certify && newest > 1 ? certified_share_ : 1.0;
    const double work = static_cast<double>(n) * (share * static_cast<double>(width) + 1.0);
    double total = -0.0;
    PassResult result;
    if (n < 2 || d < kPoolMinDims || work < static_cast<double>(kPoolWork)) {
        result = pass(0, n, &total);
    } else {
        // Split over whole blocks, so every block starts at a multiple of kBlock.
        const std::size_t blocks = (n + kBlock - 1) / kBlock;
        result = runtime::parallel_reduce<PassResult>(
            blocks,
            [&](std::size_t first, std::size_t last) {
                return pass(first * kBlock, last * kBlock < n ? last * kBlock : n, nullptr);
            },
            join);
        for (std::size_t begin = 0; begin < n; begin += kSeedingChunk) {
            const std::size_t stop = n - begin < kSeedingChunk ? n : begin + kSeedingChunk;
            for (std::size_t i = begin; i < stop; ++i) total = total + closest[i];
            ends[begin / kSeedingChunk] = total;
        }
    }
    owned_max_[newest] = result.owned_max;
    computed_last_ = result.computed;
    if (certify) certified_share_ = static_cast<double>(result.computed) / static_cast<double>(n);
    return total;
}

}  // namespace corvalinth::kmeans
