// The lowering pass of a seeding step, on the worker pool, skipping certified samples.
#include "kmeans/seeding/seeding_distances.hpp"

#include <array>
#include <atomic>
#include <limits>
#include <new>

#include "kmeans/base/buffers.hpp"
#include "kmeans/base/row_copy.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/kernel_table.hpp"
#include "kmeans/kernels/reference.hpp"
#include "kmeans/seeding/float32_bound.hpp"
#include "kmeans/seeding/fused_lowering.hpp"
#include "kmeans/seeding/gap_certificate.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/cpu/float_mode.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/memory/page_populate.hpp"
#include "runtime/pool/spin_wait.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

// Samples tested together; the rows of a block that must be read are either
// read with the whole block (when many narrow rows are) or alone, as a list
// (listed_distances: when few are, or rows of kListedAllFromDims or more
// features, which are read as fast scattered as in sequence).
constexpr std::size_t kBlock = 512;
constexpr std::size_t kListedAllFromDims = 64;
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
// the seeding has at least kPanelMinCentres centres; it holds the longest
// prefix of whole blocks of samples that fits the optional buffers' budget
// (and kPanelMaxValues values), and the other samples are read in place. The
// kernels give bit-identical distances for every layout.
constexpr std::size_t kPanelRows = 32;
constexpr std::size_t kPanelMinCentres = 24;
constexpr std::size_t kPanelMaxValues = std::size_t{1} << 27;
static_assert(kBlock % kPanelRows == 0 && kBlock / kPanelRows <= 32);
static_assert(kSeedingChunk % kBlock == 0);
static_assert(kFusedMaxDims <= kPoolMinDims);

// The float copy (float32_bound.hpp: bfloat16 values of the samples less an
// offset near the bulk of them) replaces both other buffers for rows of at
// least kFloat32MinDims features when the seeding has at least
// kFloat32MinCentres centres: each later pass then reads a quarter of the
// bytes for most samples. Measured rule: docs/tuning.md, "Seeding: the float
// copy". It holds the longest prefix of whole panels that fits the budget
// (and kFloat32MaxValues values).
constexpr std::size_t kFloat32MinDims = 16;
constexpr std::size_t kFloat32MinCentres = 8;
constexpr std::size_t kFloat32MaxValues = std::size_t{1} << 28;
constexpr std::size_t kFloatPanelRows = kernels::kSeedingPanelRows;
static_assert(kBlock % kFloatPanelRows == 0);

// Work (coordinates read or written, plus samples tested) of one piece of a
// pass or of the copy when the calling thread checks for interrupts between
// pieces: well under the check interval at memory speed, and enough that the
// pool's hand-off is a small share of it.
constexpr double kPieceWork = static_cast<double>(std::size_t{1} << 21);

constexpr double kInf = std::numeric_limits<double>::infinity();

// A pass on the pool adds to the running total as its chunks are lowered
// (followed_by_total) when its pieces hold at least this many chunks;
// shorter ones are split over blocks and summed afterwards, their sum a small
// share of their lowering.
constexpr std::size_t kFollowMinChunks = 8;

// The float copy's pages are mapped before the first pass writes them (one
// request per stretch of kPopulateBytes instead of a fault per page), on the
// pool, kPopulatePiece stretches between interrupt checks (about a
// millisecond of the system's work at the rate measured in docs/tuning.md).
constexpr std::size_t kPopulateBytes = std::size_t{1} << 20;
constexpr double kPopulatePiece = 8.0;

// Rows [begin, begin + count) of x as a view of their own.
SampleMatrix row_block(const SampleMatrix& x, std::size_t begin, std::size_t count) {
    SampleMatrix block = x;
    block.data = x.row(begin);
    block.n_rows = count;
    return block;
}

// Panel p of the copy (rows [p * kPanelRows, ...) of x, d features) as a
// sample view; the copy holds whole panels.
SampleMatrix panel_view(const double* panel, std::size_t d, std::size_t p) {
    return SampleMatrix{panel + p * kPanelRows * d, kPanelRows, d, 1, static_cast<std::ptrdiff_t>(kPanelRows)};
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

// The float copy's buffers of d values: the newest centre's copy and the offset.
std::size_t float_fixed_bytes(std::size_t d) { return d * (sizeof(float) + sizeof(double)); }

// Bytes of the float copy per row of d features: its values and its radius.
std::size_t float_row_bytes(std::size_t d) { return d * sizeof(std::uint16_t) + sizeof(double); }

bool float_copy_wanted(std::size_t n, std::size_t k, std::size_t d) {
    return n >= kBlock && k >= kFloat32MinCentres && d >= kFloat32MinDims && d <= kFloat32MaxDims;
}

bool owners_wanted(std::size_t n, std::size_t k, std::size_t d) {
    // With k <= 2 no step can skip (only centre 0 owns samples when centre 1
    // is the newest, and it is never measured against itself).
    return n > 0 && k > 2 && k - 1 <= std::numeric_limits<std::uint32_t>::max() && d >= kGapMinDims && d <= kGapMaxDims;
}

// Half the input's size in bytes (n x d values), saturated: what the
// optional buffers of one seeding may take together.
std::size_t optional_budget(std::size_t n, std::size_t d) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(n, d, &bytes) || __builtin_mul_overflow(bytes, sizeof(double), &bytes))
        return std::numeric_limits<std::size_t>::max() / 2;
    return bytes / 2;
}

// An optional buffer of `count` values, or null when the size overflows,
// when memory is short, or when a test makes buffer `which` fail.
template <class T>
std::unique_ptr<T[]> optional_buffer(std::size_t count, unsigned which) {
    if ((testing::failing_seeding_buffers() & which) != 0) return nullptr;
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// The pieces [begin, end) of [0, n) of about `per_piece` items each (a
// multiple of `unit`, at least one unit), or the whole range in one piece
// when there is no check to run between pieces.
template <class Piece>
bool in_pieces(std::size_t n, double per_piece, std::size_t unit, InterruptPacer* pacer, Piece&& piece) {
    std::size_t step = n;
    if (pacer != nullptr && pacer->active()) {
        const double units = per_piece / static_cast<double>(unit);
        step = units < 1.0 ? unit : (units > static_cast<double>(n) ? n : static_cast<std::size_t>(units) * unit);
        if (step == 0) step = unit;
    }
    for (std::size_t begin = 0; begin < n; begin += step) {
        piece(begin, n - begin < step ? n : begin + step);
        if (pacer != nullptr && pacer->stop_now()) return false;
    }
    return true;
}

}  // namespace

SeedingDistances::SeedingDistances(std::size_t n, std::size_t k, bool keep_owners) : k_(k), keep_owners_(keep_owners) {
    closest_ = make_buffer<double>(n, kInf);
}

std::unique_ptr<std::uint32_t[]> SeedingDistances::take_owners() {
    tracked_ = false;
    owned_max_.reset();
    gap_.reset();
    return std::move(owner_);
}

std::size_t SeedingDistances::optional_bytes() const {
    const std::size_t copy = panel_rows_ * panel_cols_ * sizeof(double);
    const std::size_t owners = tracked_ ? closest_.size() * sizeof(std::uint32_t) + 2 * k_ * sizeof(double)
                               : owner_ ? closest_.size() * sizeof(std::uint32_t)
                                        : 0;
    const std::size_t floats =
        float_rows_ > 0 ? float_rows_ * float_row_bytes(panel_cols_) + float_fixed_bytes(panel_cols_) : 0;
    return copy + owners + floats;
}

void SeedingDistances::choose_buffers(std::size_t d) {
    const std::size_t n = closest_.size();
    tracked_ = false;
    owner_.reset();
    owned_max_.reset();
    gap_.reset();
    panel_.reset();
    panel_rows_ = 0;
    panel_cols_ = d;
    float_panel_.reset();
    float_radius_.reset();
    float_centre_.reset();
    float_offset_.reset();
    float_rows_ = 0;
    // A byte per chunk, outside the budget of the copies.
    chunk_done_ = optional_buffer<std::atomic<std::uint8_t>>((n + kSeedingChunk - 1) / kSeedingChunk,
                                                             testing::kSeedingChunkFlags);
    std::size_t budget = optional_budget(n, d);
    // The float copy must be made, and read, with gradual underflow.
    if (float_copy_wanted(n, k_, d) && !runtime::subnormals_flushed() && budget > float_fixed_bytes(d)) {
        std::size_t rows = (budget - float_fixed_bytes(d)) / float_row_bytes(d);
        if (rows > kFloat32MaxValues / d) rows = kFloat32MaxValues / d;
        if (rows > n) rows = n;
        rows -= rows % kFloatPanelRows;
        if (rows > 0) {
            float_panel_ = optional_buffer<std::uint16_t>(rows * d, testing::kSeedingFloat32);
            if (float_panel_) float_radius_ = optional_buffer<double>(rows, testing::kSeedingFloat32);
            if (float_radius_) float_centre_ = optional_buffer<float>(d, testing::kSeedingFloat32);
            if (float_centre_) float_offset_ = optional_buffer<double>(d, testing::kSeedingFloat32);
            if (float_offset_) {
                float_rows_ = rows;
                // The owners, where they are kept, from what the copy leaves
                // of the budget (the copy's size never depends on them).
                const std::size_t left = budget - float_fixed_bytes(d) - rows * float_row_bytes(d);
                if (keep_owners_ && left / sizeof(std::uint32_t) >= n &&
                    k_ - 1 <= std::numeric_limits<std::uint32_t>::max())
                    owner_ = optional_buffer<std::uint32_t>(n, testing::kSeedingOwners);
                return;
            }
            float_panel_.reset();
            float_radius_.reset();
            float_centre_.reset();
        }
    }
    if (owners_wanted(n, k_, d)) {
        // n distances are allocated and k <= n: the sum does not overflow.
        const std::size_t bytes = n * sizeof(std::uint32_t) + 2 * k_ * sizeof(double);
        if (bytes <= budget) {
            owner_ = optional_buffer<std::uint32_t>(n, testing::kSeedingOwners);
            if (owner_) owned_max_ = optional_buffer<double>(k_, testing::kSeedingOwners);
            if (owned_max_) gap_ = optional_buffer<double>(k_, testing::kSeedingOwners);
            tracked_ = static_cast<bool>(gap_);
            if (tracked_) {
                budget -= bytes;
                for (std::size_t c = 0; c < k_; ++c) {
                    owned_max_[c] = 0.0;
                    gap_[c] = -1.0;
                }
            } else {
                owner_.reset();
                owned_max_.reset();
            }
        }
    }
    if (d >= kPoolMinDims && k_ >= kPanelMinCentres) {
        std::size_t rows = budget / sizeof(double) / d;
        if (rows > kPanelMaxValues / d) rows = kPanelMaxValues / d;
        if (rows > n) rows = n;
        rows -= rows % kBlock;
        if (rows > 0) {
            panel_ = optional_buffer<double>(rows * d, testing::kSeedingSampleCopy);
            if (panel_) panel_rows_ = rows;
        }
    }
}

// One lowering pass: everything a pass reads, and the per-sample state it
// updates, for the pieces that run on the workers.
class SeedingDistances::Pass {
public:
    Pass(SeedingDistances& state, const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest,
         std::vector<double>& ends, InterruptPacer* pacer)
        : state_(state),
          x_(x),
          centres_(centres),
          newest_(newest),
          ends_(ends),
          pacer_(pacer),
          n_(x.n_rows),
          d_(centres.cols),
          limit_(float32_limit(d_)),
          centre_(centres.row(newest)) {}

    std::optional<double> run() {
        if (newest_ == 0) {
            state_.choose_buffers(d_);
            if (state_.panel_rows_ > 0 && !copy_samples()) return std::nullopt;
            if (state_.float_rows_ > 0 && !populate_float_copy()) return std::nullopt;
            // The float copy is made by this pass, each panel in the same
            // read as its rows' distances.
            copying_ = state_.float_rows_ > 0;
            if (copying_) choose_offset(x_, limit_, state_.float_offset_.get());
        } else if (state_.panel_cols_ != d_ && (state_.panel_rows_ > 0 || state_.owner_ || state_.float_rows_ > 0)) {
            throw InternalFailure("seeding passes differ in width");
        }
        tracked_ = state_.tracked_;
        owning_ = static_cast<bool>(state_.owner_);
        panel_rows_ = state_.panel_rows_;
        // Nothing is known on the first pass (centre 0 then owns every
        // sample); the certificate assumes gradual underflow.
        certify_ = tracked_ && newest_ > 0 && !runtime::subnormals_flushed();
        if (certify_) find_gaps();
        // The float bound, from the second pass on, while this thread keeps
        // gradual underflow and the newest centre is within the guard; the
        // copy itself never changes, whatever a pass decides.
        float_rows_ = newest_ > 0 && !runtime::subnormals_flushed() ? state_.float_rows_ : 0;
        if (float_rows_ > 0) {
            margin_ = float32_margin(d_);
            centre_radius_ =
                round_to_float32(centre_, 1, state_.float_offset_.get(), d_, state_.float_centre_.get(), 1, limit_);
            if (!(centre_radius_ < kInf)) float_rows_ = 0;
        }
        closest_ = state_.closest_.data();
        owner_ = state_.owner_.get();
        gap_ = state_.gap_.get();
        newest_id_ = static_cast<std::uint32_t>(owning_ ? newest_ : 0);

        // The rows this pass is expected to read: as many as the last
        // certified pass read (the first one reads all); with the float
        // copy, its values (a quarter of a double's bytes each) and as many
        // rows as the last pass measured exactly (half of them before any).
        const std::size_t width = d_ == 0 ? 1 : d_;
        const double share = certify_ && newest_ > 1 ? state_.certified_share_
                             : float_rows_ > 0       ? 0.25 + last_float_share()
                                                     : 1.0;
        // Copying a value costs about as much as measuring one.
        const double per_sample = (copying_ ? 2.0 : share) * static_cast<double>(width) + 1.0;
        const double work = static_cast<double>(n_) * per_sample;
        const double per_piece = kPieceWork / per_sample;
        double total = -0.0;
        PassResult result;
        bool done = false;
        if (d_ < kFusedMaxDims && !owning_ && panel_rows_ == 0 && float_rows_ == 0) {
            // Narrow rows: the calling thread lowers and sums in one loop.
            done = in_pieces(n_, per_piece, kSeedingChunk, pacer_, [&](std::size_t begin, std::size_t end) {
                total =
                    fused_lower_and_sum(x_, centre_, d_, begin, end, n_, kSeedingChunk, closest_, total, ends_.data());
                result.computed += end - begin;
            });
        } else if (n_ < 2 || d_ < kPoolMinDims || work < static_cast<double>(kSeedingPoolMinWork)) {
            done = in_pieces(n_, per_piece, kSeedingChunk, pacer_, [&](std::size_t begin, std::size_t end) {
                result = join(result, range(begin, end, &total));
            });
        } else if (per_piece >= static_cast<double>(kFollowMinChunks * kSeedingChunk) &&
                   n_ >= kFollowMinChunks * kSeedingChunk && state_.chunk_done_) {
            done = in_pieces(n_, per_piece, kSeedingChunk, pacer_, [&](std::size_t begin, std::size_t end) {
                result = join(result, followed_by_total(begin, end, total));
            });
        } else {
            done = in_pieces(n_, per_piece, kSeedingChunk, pacer_, [&](std::size_t begin, std::size_t end) {
                // Split over whole blocks, so every block starts at a multiple of kBlock.
                const std::size_t blocks = (end - begin + kBlock - 1) / kBlock;
                result = join(result, runtime::parallel_reduce<PassResult>(
                                          blocks,
                                          [&](std::size_t first, std::size_t last) {
                                              const std::size_t stop = begin + last * kBlock;
                                              return range(begin + first * kBlock, stop < end ? stop : end, nullptr);
                                          },
                                          join));
                for (std::size_t c = begin; c < end; c += kSeedingChunk) {
                    const std::size_t stop = end - c < kSeedingChunk ? end : c + kSeedingChunk;
                    for (std::size_t i = c; i < stop; ++i) total = total + closest_[i];
                    ends_[c / kSeedingChunk] = total;
                }
            });
        }
        if (!done) return std::nullopt;
        if (tracked_) state_.owned_max_[newest_] = result.owned_max;
        state_.computed_last_ = result.computed;
        if (certify_) state_.certified_share_ = static_cast<double>(result.computed) / static_cast<double>(n_);
        return total;
    }

private:
    // The share of the samples the last pass measured exactly, as this pass
    // with the float bound expects to (half on the first such pass: the pass
    // before it, the first, measured all).
    double last_float_share() const {
        return newest_ > 1 ? static_cast<double>(state_.computed_last_) / static_cast<double>(n_) : 0.5;
    }

    // Samples [begin, end) (begin a multiple of kSeedingChunk) on the pool,
    // a chunk at a time in increasing order as threads claim them, while one
    // of the threads adds each lowered chunk to `total` in sample order (and
    // lowers chunks itself when it has caught up): the running total's
    // additions are the plain loop's, in its order, and they overlap the
    // lowering instead of following it. Chunks are independent, so what each
    // one gives does not depend on the thread that lowers it.
    PassResult followed_by_total(std::size_t begin, std::size_t end, double& total) {
        const std::size_t chunks = (end - begin + kSeedingChunk - 1) / kSeedingChunk;
        std::atomic<std::uint8_t>* const lowered = state_.chunk_done_.get();
        for (std::size_t c = 0; c < chunks; ++c) lowered[c].store(0, std::memory_order_relaxed);
        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        double running = total;
        auto bounds = [&](std::size_t c, std::size_t& b, std::size_t& e) {
            b = begin + c * kSeedingChunk;
            e = end - b < kSeedingChunk ? end : b + kSeedingChunk;
        };
        // Claims and lowers one chunk; false when none is left.
        auto lower_next = [&](PassResult& out) {
            const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
            if (c >= chunks) return false;
            std::size_t b = 0, e = 0;
            bounds(c, b, e);
            try {
                out = join(out, range(b, e, nullptr));
            } catch (...) {
                failed.store(true, std::memory_order_release);
                throw;
            }
            lowered[c].store(1, std::memory_order_release);
            return true;
        };
        auto follow = [&](PassResult& out) {
            for (std::size_t s = 0; s < chunks;) {
                if (lowered[s].load(std::memory_order_acquire) == 0) {
                    if (lower_next(out)) continue;
                    // Every chunk is claimed: wait for the one to add next
                    // (or for a failure, which the pool reports).
                    auto ready = [&] {
                        return lowered[s].load(std::memory_order_acquire) != 0 ||
                               failed.load(std::memory_order_acquire);
                    };
                    runtime::poll_until(ready);
                    if (lowered[s].load(std::memory_order_acquire) == 0) return;
                }
                std::size_t b = 0, e = 0;
                bounds(s, b, e);
                double t = running;
                for (std::size_t i = b; i < e; ++i) t = t + closest_[i];
                running = t;
                ends_[(e - 1) / kSeedingChunk] = t;
                ++s;
            }
        };
        const std::size_t threads = runtime::pool_thread_count();
        const std::size_t roles = threads < chunks ? threads : chunks;
        const PassResult out = runtime::parallel_reduce<PassResult>(
            roles,
            [&](std::size_t first, std::size_t last) {
                PassResult mine;
                for (std::size_t role = first; role < last; ++role) {
                    if (role == 0) {
                        follow(mine);
                    } else {
                        while (lower_next(mine)) {}
                    }
                }
                return mine;
            },
            join);
        total = running;
        return out;
    }

    // The first panel_rows_ samples copied panel by panel (before the first
    // pass); false when the pacer stopped it.
    bool copy_samples() {
        double* const panel = state_.panel_.get();
        auto fill = [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p) {
                double* out = panel + p * kPanelRows * d_;
                for (std::size_t r = 0; r < kPanelRows; ++r) {
                    const std::size_t i = p * kPanelRows + r;
                    for (std::size_t j = 0; j < d_; ++j) out[j * kPanelRows + r] = x_.at(i, j);
                }
            }
        };
        return copy_in_pieces(state_.panel_rows_ / kPanelRows, fill);
    }

    // The float copy's pages mapped before this pass writes them, a
    // kPopulateBytes stretch per item on the pool, in pieces between
    // interrupt checks; false when the pacer stopped it.
    bool populate_float_copy() {
        char* const copy = reinterpret_cast<char*>(state_.float_panel_.get());
        const std::size_t bytes = state_.float_rows_ * d_ * sizeof(std::uint16_t);
        const std::size_t stretches = (bytes + kPopulateBytes - 1) / kPopulateBytes;
        auto populate = [&](std::size_t begin, std::size_t end) {
            for (std::size_t s = begin; s < end; ++s) {
                const std::size_t from = s * kPopulateBytes;
                runtime::populate_for_writing(copy + from,
                                              bytes - from < kPopulateBytes ? bytes - from : kPopulateBytes);
            }
        };
        return in_pieces(stretches, kPopulatePiece, 1, pacer_, [&](std::size_t begin, std::size_t end) {
            runtime::parallel_for(end - begin, [&](std::size_t b, std::size_t e) { populate(begin + b, begin + e); });
        });
    }

    // Panels [0, panels) of kPanelRows rows filled by fill(begin, end), in
    // pieces between interrupt checks, on the pool when it pays.
    template <class Fill>
    bool copy_in_pieces(std::size_t panels, Fill& fill) {
        const bool serial = panels * kPanelRows < kSeedingPoolMinWork / d_;
        // Each value is read once and written once.
        const double per_piece = kPieceWork / static_cast<double>(2 * kPanelRows * d_);
        return in_pieces(panels, per_piece, 1, pacer_, [&](std::size_t begin, std::size_t end) {
            if (serial) {
                fill(begin, end);
            } else {
                runtime::parallel_for(end - begin, [&](std::size_t b, std::size_t e) { fill(begin + b, begin + e); });
            }
        });
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
    // centre into dist; from the copy when it holds the block, and then only
    // the panels whose bit is set in `wanted`.
    void measure(std::size_t b, std::size_t count, double* dist, std::uint32_t wanted) const {
        if (b >= panel_rows_) {
            distances_to_centre(row_block(x_, b, count), centre_, d_, dist);
            return;
        }
        for (std::size_t q = 0; q * kPanelRows < count; ++q) {
            if ((wanted >> q & 1u) == 0) continue;
            distances_to_centre(panel_view(state_.panel_.get(), d_, b / kPanelRows + q), centre_, d_,
                                dist + q * kPanelRows);
        }
    }

    // Every row of the block: the plain lowering, and in a tracked seeding
    // also the owners (on the first pass centre 0 owns every sample,
    // +infinity ones included; on a later pass that could not certify, the
    // newest centre owns the samples it lowered, so that the next certified
    // pass reads owners that gave the distances) and an upper bound of the
    // newest centre's largest owned distance.
    void read_block(std::size_t b, std::size_t count, double* entries, PassResult& out, double* dist) const {
        measure(b, count, dist, ~0u);
        lower_block(b, count, entries, out, dist);
    }

    // The lowering of read_block, from the block's distances `dist`.
    void lower_block(std::size_t b, std::size_t count, double* entries, PassResult& out, const double* dist) const {
        out.computed += count;
        if (owning_ && newest_ == 0)
            for (std::size_t i = 0; i < count; ++i) owner_[b + i] = 0;
        for (std::size_t i = 0; i < count; ++i) {
            // Select, not branch: which samples move closer is unpredictable.
            const bool closer = dist[i] < entries[i];
            const double lowered = closer ? dist[i] : entries[i];
            entries[i] = lowered;
            if (owning_ && newest_ > 0) owner_[b + i] = closer ? newest_id_ : owner_[b + i];
            if (tracked_) out.owned_max = out.owned_max < lowered ? lowered : out.owned_max;
        }
    }

    // The first pass over the rows of the float copy: each panel's rows
    // measured and lowered as read_block does, and copied in the same read
    // (the copy holds whole panels).
    void copied_block(std::size_t b, std::size_t count, double* entries, PassResult& out, double* dist) const {
        const std::size_t covered = state_.float_rows_ - b < count ? state_.float_rows_ - b : count;
        const kernels::SeedingCopyPanelFn copy_panel = kernels::selected_kernels().seeding_copy_panel;
        const kernels::SampleView view{x_.data, x_.row_stride, x_.col_stride};
        for (std::size_t q = 0; q < covered; q += kFloatPanelRows) {
            // The next panel's rows are fetched while these are read.
            const bool next = b + q + 2 * kFloatPanelRows <= n_;
            copy_panel(view, b + q, centre_, state_.float_offset_.get(), d_, limit_,
                       next ? static_cast<std::ptrdiff_t>(kFloatPanelRows) * x_.row_stride : 0, dist,
                       state_.float_panel_.get() + (b + q) * d_, state_.float_radius_.get() + b + q);
            lower_block(b + q, kFloatPanelRows, entries + q, out, dist);
        }
        if (covered < count) read_block(b + covered, count - covered, entries + covered, out, dist);
    }

    // Only the rows the certificate cannot rule out (a NaN or infinite
    // distance never passes it).
    void certified_block(std::size_t b, std::size_t count, double* entries, PassResult& out, double* dist) const {
        std::array<std::uint32_t, kBlock> pick;
        std::size_t m = 0;
        for (std::size_t i = 0; i < count; ++i) {
            pick[m] = static_cast<std::uint32_t>(i);
            m += gap_[owner_[b + i]] >= gap_needed(entries[i]) ? 0 : 1;
        }
        measure_picked(b, count, pick, m, entries, out, dist);
    }

    // A block whose float bound has been tested: the rows it could not rule
    // out, to be measured once the next block has been tested.
    struct Picked {
        std::size_t b = 0, count = 0, m = 0;
        std::array<std::uint32_t, kBlock> pick;
    };

    // The rows of a block whose float lower bound is below their closest
    // distance (float32_bound.hpp), and the rows of the block past the float
    // copy, listed in `into` and fetched towards the cache: scattered rows are
    // misses the processor does not foresee, and the next block's test runs
    // while they arrive.
    void float_pick(std::size_t b, std::size_t count, const double* entries, Picked& into) const {
        const std::size_t covered = float_rows_ - b < count ? float_rows_ - b : count;  // whole panels
        std::array<float, kBlock> approx;
        kernels::selected_kernels().seeding32(state_.float_panel_.get() + b * d_, covered / kFloatPanelRows, d_,
                                              state_.float_centre_.get(), approx.data());
        const double* const radius = state_.float_radius_.get() + b;
        std::size_t m = kernels::selected_kernels().seeding_pick(approx.data(), radius, entries, covered,
                                                                 centre_radius_, margin_, into.pick.data());
        for (std::size_t i = covered; i < count; ++i) into.pick[m++] = static_cast<std::uint32_t>(i);
        into.b = b;
        into.count = count;
        into.m = m;
        // Only few rows that will be read alone (the others are read with the
        // block; fetching many at once, the fetches crowd each other out).
        if (2 * m > count || !listed(b, count, m)) return;
        for (std::size_t p = 0; p < m; ++p) {
            const char* row = reinterpret_cast<const char*>(x_.row(b + into.pick[p]));
            for (std::size_t byte = 0; byte < d_ * sizeof(double); byte += 64) __builtin_prefetch(row + byte);
        }
    }

    // Whether m picked rows of the block [b, b + count) are read alone (rows
    // of adjacent coordinates, not in the copy: few of them, or wide ones)
    // rather than with the whole block.
    bool listed(std::size_t b, std::size_t count, std::size_t m) const {
        return b >= panel_rows_ && x_.col_stride == 1 && (2 * m <= count || d_ >= kListedAllFromDims);
    }

    // Rows pick[0, m) of the block [b, b + count) measured exactly and lowered.
    void measure_picked(std::size_t b, std::size_t count, const std::array<std::uint32_t, kBlock>& pick, std::size_t m,
                        double* entries, PassResult& out, double* dist) const {
        if (m == 0) return;
        out.computed += m;
        // Without a branch on whether the row is lowered (about half of the
        // picked rows of narrow samples are, unpredictably): a NaN distance
        // lowers nothing, as the comparison is false.
        double owned_max = out.owned_max;
        auto lower_one = [&](std::size_t i, double dv) {
            const bool lowered = dv < entries[i];
            entries[i] = lowered ? dv : entries[i];
            if (owning_) owner_[b + i] = lowered ? newest_id_ : owner_[b + i];
            const double got = lowered ? dv : 0.0;
            owned_max = owned_max < got ? got : owned_max;
        };
        if (!listed(b, count, m)) {
            // Many narrow rows, rows whose coordinates are not adjacent, or
            // the copy: the whole block (with the copy, the panels holding
            // picked rows); the others cannot move, so only the picked ones
            // are looked at.
            std::uint32_t wanted = 0;
            for (std::size_t p = 0; p < m; ++p) wanted |= 1u << (pick[p] / kPanelRows);
            measure(b, count, dist, wanted);
            for (std::size_t p = 0; p < m; ++p) lower_one(pick[p], dist[pick[p]]);
        } else {
            // The picked rows alone, with the same arithmetic as in place.
            listed_distances(x_, b, pick.data(), m, centre_, d_, dist);
            for (std::size_t p = 0; p < m; ++p) lower_one(pick[p], dist[p]);
        }
        out.owned_max = owned_max;
    }

    // Samples [begin, end) (begin a multiple of kBlock). `total`, when given,
    // receives the left-to-right sum of the updated entries block by block
    // while they are still in cache (the calling thread running the range),
    // with ends[c] its value after chunk c.
    PassResult range(std::size_t begin, std::size_t end, double* total) const {
        PassResult out;
        std::array<double, kBlock> dist;
        auto add_to_total = [&](std::size_t b, std::size_t count) {
            if (total == nullptr) return;
            const double* entries = closest_ + b;
            double t = *total;
            for (std::size_t i = 0; i < count; ++i) t = t + entries[i];
            *total = t;
            if ((b + count) % kSeedingChunk == 0 || b + count == n_) ends_[(b + count - 1) / kSeedingChunk] = t;
        };
        // Blocks of the float copy are tested one ahead of their measurement
        // (each block's entries are its own, so the order of the blocks'
        // updates, and of the total, is unchanged).
        Picked picked[2];
        Picked* waiting = nullptr;
        auto finish_waiting = [&] {
            if (waiting == nullptr) return;
            measure_picked(waiting->b, waiting->count, waiting->pick, waiting->m, closest_ + waiting->b, out,
                           dist.data());
            add_to_total(waiting->b, waiting->count);
            waiting = nullptr;
        };
        for (std::size_t b = begin; b < end; b += kBlock) {
            // Every block starts at a multiple of kBlock (panels are aligned).
            const std::size_t count = end - b < kBlock ? end - b : kBlock;
            double* entries = closest_ + b;
            if (b < float_rows_) {
                Picked& next = waiting == &picked[0] ? picked[1] : picked[0];
                float_pick(b, count, entries, next);
                finish_waiting();
                waiting = &next;
                continue;
            }
            finish_waiting();
            if (copying_ && b < state_.float_rows_) {
                copied_block(b, count, entries, out, dist.data());
            } else if (certify_) {
                certified_block(b, count, entries, out, dist.data());
            } else {
                read_block(b, count, entries, out, dist.data());
            }
            add_to_total(b, count);
        }
        finish_waiting();
        return out;
    }

    SeedingDistances& state_;
    const SampleMatrix& x_;
    const CentreMatrix& centres_;
    const std::size_t newest_;
    std::vector<double>& ends_;
    InterruptPacer* const pacer_;
    const std::size_t n_;
    const std::size_t d_;
    // The float copies' range guard for rows of d_ features.
    const double limit_;
    const double* const centre_;
    bool tracked_ = false;
    // Whether the pass keeps each lowered sample's owner (tracked or kept).
    bool owning_ = false;
    std::size_t panel_rows_ = 0;
    bool certify_ = false;
    // Whether this pass makes the float copy (the first pass, when it was had).
    bool copying_ = false;
    // Rows this pass bounds from the float copy (0: none), the bound's
    // constants, and the newest centre's radius.
    std::size_t float_rows_ = 0;
    Float32Margin margin_{};
    double centre_radius_ = kInf;
    double* closest_ = nullptr;
    std::uint32_t* owner_ = nullptr;
    const double* gap_ = nullptr;
    std::uint32_t newest_id_ = 0;
};

double SeedingDistances::lower(const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest,
                               std::vector<double>& ends) {
    if (ends.size() != (closest_.size() + kSeedingChunk - 1) / kSeedingChunk)
        throw InternalFailure("chunk sums do not match the samples");
    const std::optional<double> total = Pass(*this, x, centres, newest, ends, nullptr).run();
    if (!total) throw InternalFailure("seeding pass stopped without a check");
    return *total;
}

std::optional<double> SeedingDistances::lower(const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest,
                                              std::vector<double>& ends, InterruptPacer& pacer) {
    if (ends.size() != (closest_.size() + kSeedingChunk - 1) / kSeedingChunk)
        throw InternalFailure("chunk sums do not match the samples");
    return Pass(*this, x, centres, newest, ends, &pacer).run();
}

}  // namespace corvalinth::kmeans
