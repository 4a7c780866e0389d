// The lowering pass of a seeding step, on the worker pool, skipping certified samples.
#include "kmeans/seeding/seeding_distances.hpp"

#include <array>
#include <limits>

#include "kmeans/base/buffers.hpp"
#include "kmeans/base/row_copy.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/reference.hpp"
#include "kmeans/seeding/gap_certificate.hpp"
#include "runtime/cpu/float_mode.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/pool/worker_pool.hpp"

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
constexpr std::size_t kSeedingPoolMinWork = std::size_t{1} << 17;
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
    return n > 0 && k > 2 && k - 1 <= std::numeric_limits<std::uint32_t>::max() && d >= kGapMinDims && d <= kGapMaxDims;
}

}  // namespace

SeedingDistances::SeedingDistances(std::size_t n, std::size_t k) : k_(k) {
    closest_ = make_buffer<double>(n, kInf);
    // The row width is not known yet; owners are allocated on the first pass
    // that can use them.
    owned_max_ = make_buffer<double>(k, 0.0);
    gap_ = make_buffer<double>(k, -1.0);
}

// One lowering pass: everything a pass reads, and the per-sample state it
// updates, for the pieces that run on the workers.
class SeedingDistances::Pass {
public:
    Pass(SeedingDistances& state, const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest,
         std::vector<double>& ends)
        : state_(state),
          x_(x),
          centres_(centres),
          newest_(newest),
          ends_(ends),
          n_(x.n_rows),
          d_(centres.cols),
          centre_(centres.row(newest)),
          tracked_(owners_tracked(n_, centres.rows, d_)) {}

    double run() {
        if (tracked_ && state_.owner_.size() != n_) state_.owner_ = make_buffer<std::uint32_t>(n_, 0);
        if (newest_ == 0 && d_ >= kPoolMinDims && state_.k_ >= kPanelMinCentres && n_ <= kPanelMaxValues / d_)
            copy_samples();
        use_panel_ = !state_.panel_.empty();
        // Nothing is known on the first pass (centre 0 then owns every
        // sample); the certificate assumes gradual underflow.
        certify_ = tracked_ && newest_ > 0 && !runtime::subnormals_flushed();
        if (certify_) find_gaps();
        closest_ = state_.closest_.data();
        owner_ = state_.owner_.data();
        gap_ = state_.gap_.data();
        tile_rows_ = d_ == 0 || d_ >= kTileValues ? 1 : (kTileValues / d_ < kTileRows ? kTileValues / d_ : kTileRows);
        newest_id_ = static_cast<std::uint32_t>(tracked_ ? newest_ : 0);

        // The rows this pass is expected to read: as many as the last
        // certified pass read (the first one reads all).
        const std::size_t width = d_ == 0 ? 1 : d_;
        const double share = certify_ && newest_ > 1 ? state_.certified_share_ : 1.0;
        const double work = static_cast<double>(n_) * (share * static_cast<double>(width) + 1.0);
        double total = -0.0;
        PassResult result;
        if (n_ < 2 || d_ < kPoolMinDims || work < static_cast<double>(kSeedingPoolMinWork)) {
            result = range(0, n_, &total);
        } else {
            // Split over whole blocks, so every block starts at a multiple of kBlock.
            const std::size_t blocks = (n_ + kBlock - 1) / kBlock;
            result = runtime::parallel_reduce<PassResult>(
                blocks,
                [&](std::size_t first, std::size_t last) {
                    return range(first * kBlock, last * kBlock < n_ ? last * kBlock : n_, nullptr);
                },
                join);
            for (std::size_t begin = 0; begin < n_; begin += kSeedingChunk) {
                const std::size_t stop = n_ - begin < kSeedingChunk ? n_ : begin + kSeedingChunk;
                for (std::size_t i = begin; i < stop; ++i) total = total + closest_[i];
                ends_[begin / kSeedingChunk] = total;
            }
        }
        state_.owned_max_[newest_] = result.owned_max;
        state_.computed_last_ = result.computed;
        if (certify_) state_.certified_share_ = static_cast<double>(result.computed) / static_cast<double>(n_);
        return total;
    }

private:
    // The samples copied panel by panel (before the first pass).
    void copy_samples() {
        state_.panel_ = make_buffer<double>(n_ * d_, 0.0);
        auto fill = [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p) {
                const SampleMatrix to = panel_view(state_.panel_, n_, d_, p);
                double* out = state_.panel_.data() + p * kPanelRows * d_;
                for (std::size_t r = 0; r < to.n_rows; ++r) {
                    const std::size_t i = p * kPanelRows + r;
                    for (std::size_t j = 0; j < d_; ++j) out[j * to.n_rows + r] = x_.at(i, j);
                }
            }
        };
        const std::size_t panels = (n_ + kPanelRows - 1) / kPanelRows;
        if (n_ < kSeedingPoolMinWork / d_) {
            fill(0, panels);
        } else {
            runtime::parallel_for(panels, fill);
        }
    }

    // Gaps from every chosen centre to the newest one; a centre whose largest
    // owned distance is certified marks all its samples skipped.
    void find_gaps() {
        auto gaps = [&](std::size_t begin, std::size_t end) {
            for (std::size_t a = begin; a < end; ++a) {
                const double g = squared_distance(centres_.row(a), 1, d_, centre_, d_);
                if (!(g < kInf)) {
                    state_.gap_[a] = -1.0;  // overflow or NaN: certifies nothing
                } else {
                    state_.gap_[a] = g >= gap_needed(state_.owned_max_[a]) ? kInf : g;
                }
            }
        };
        if (newest_ < kSeedingPoolMinWork / d_) {
            gaps(0, newest_);
        } else {
            runtime::parallel_for(newest_, gaps);
        }
    }

    // Distances of rows [b, b + count) (b a multiple of kBlock) to the newest
    // centre into dist; with the copy, only the panels whose bit is set in
    // `wanted`.
    void measure(std::size_t b, std::size_t count, double* dist, std::uint32_t wanted) const {
        if (!use_panel_) {
            distances_to_centre(row_block(x_, b, count), centre_, d_, dist);
            return;
        }
        for (std::size_t q = 0; q * kPanelRows < count; ++q) {
            if ((wanted >> q & 1u) == 0) continue;
            distances_to_centre(panel_view(state_.panel_, n_, d_, b / kPanelRows + q), centre_, d_,
                                dist + q * kPanelRows);
        }
    }

    // Every row of the block: the plain lowering, or on the first pass of a
    // tracked seeding also the largest distance (centre 0 owns every sample,
    // +infinity ones included).
    void read_block(std::size_t b, std::size_t count, double* entries, PassResult& out, double* dist) const {
        measure(b, count, dist, ~0u);
        out.computed += count;
        for (std::size_t i = 0; i < count; ++i) {
            // Select, not branch: which samples move closer is unpredictable.
            const double lowered = dist[i] < entries[i] ? dist[i] : entries[i];
            entries[i] = lowered;
            if (tracked_) out.owned_max = out.owned_max < lowered ? lowered : out.owned_max;
        }
    }

    // Only the rows the certificate cannot rule out (a NaN or infinite
    // distance never passes it).
    void certified_block(std::size_t b, std::size_t count, double* entries, PassResult& out, double* dist,
                         std::vector<double>& tile) const {
        std::array<std::uint32_t, kBlock> pick;
        std::size_t m = 0;
        for (std::size_t i = 0; i < count; ++i) {
            pick[m] = static_cast<std::uint32_t>(i);
            m += gap_[owner_[b + i]] >= gap_needed(entries[i]) ? 0 : 1;
        }
        if (m == 0) return;
        out.computed += m;
        auto lower_one = [&](std::size_t i, double dv) {
            if (dv < entries[i]) {
                entries[i] = dv;
                owner_[b + i] = newest_id_;
                if (out.owned_max < dv) out.owned_max = dv;
            }
        };
        if (use_panel_ || x_.col_stride != 1 || 2 * m > count) {
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
        if (tile.empty()) tile = make_buffer<double>(tile_rows_ * d_, 0.0);
        for (std::size_t p = 0; p < m; p += tile_rows_) {
            const std::size_t rows = m - p < tile_rows_ ? m - p : tile_rows_;
            for (std::size_t r = 0; r < rows; ++r) copy_sample_row(x_, b + pick[p + r], tile.data() + r * d_, d_);
            const SampleMatrix dense{tile.data(), rows, d_, static_cast<std::ptrdiff_t>(d_), 1};
            distances_to_centre(dense, centre_, d_, dist);
            for (std::size_t r = 0; r < rows; ++r) lower_one(pick[p + r], dist[r]);
        }
    }

    // Samples [begin, end). `total`, when given, receives the left-to-right
    // sum of the updated entries block by block while they are still in
    // cache (the calling thread running the whole range), with ends[c] its
    // value after chunk c.
    PassResult range(std::size_t begin, std::size_t end, double* total) const {
        PassResult out;
        std::array<double, kBlock> dist;
        std::vector<double> tile;
        for (std::size_t b = begin; b < end; b += kBlock) {
            // Every block starts at a multiple of kBlock (panels are aligned).
            const std::size_t count = end - b < kBlock ? end - b : kBlock;
            double* entries = closest_ + b;
            if (certify_) {
                certified_block(b, count, entries, out, dist.data(), tile);
            } else {
                read_block(b, count, entries, out, dist.data());
            }
            if (total != nullptr) {
                double t = *total;
                for (std::size_t i = 0; i < count; ++i) t = t + entries[i];
                *total = t;
                if ((b + count) % kSeedingChunk == 0 || b + count == n_) ends_[(b + count - 1) / kSeedingChunk] = t;
            }
        }
        return out;
    }

    SeedingDistances& state_;
    const SampleMatrix& x_;
    const CentreMatrix& centres_;
    const std::size_t newest_;
    std::vector<double>& ends_;
    const std::size_t n_;
    const std::size_t d_;
    const double* const centre_;
    const bool tracked_;
    bool use_panel_ = false;
    bool certify_ = false;
    double* closest_ = nullptr;
    std::uint32_t* owner_ = nullptr;
    const double* gap_ = nullptr;
    std::size_t tile_rows_ = 1;
    std::uint32_t newest_id_ = 0;
};

double SeedingDistances::lower(const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest,
                               std::vector<double>& ends) {
    if (ends.size() != (closest_.size() + kSeedingChunk - 1) / kSeedingChunk)
        throw InternalFailure("chunk sums do not match the samples");
    return Pass(*this, x, centres, newest, ends).run();
}

}  // namespace corvalinth::kmeans
