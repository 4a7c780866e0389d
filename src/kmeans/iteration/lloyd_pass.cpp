// A fit's pass over the samples: inertia terms, new labels and the next sums, block by block.
#include "kmeans/iteration/lloyd_pass.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/base/engine_error.hpp"
#include "kmeans/base/row_copy.hpp"
#include "kmeans/iteration/carried_bounds.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/kernels/kernel_table.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/cpu/float_mode.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/pool/spin_wait.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

// Rows per piece inside a worker: the distances read them from memory, the
// labelling finds them in the core's own cache.
constexpr std::size_t kPieceBytes = std::size_t{128} << 10;
constexpr std::size_t kPieceMinRows = 64;
// Bytes of samples per block of the pass: a block's rows are still in cache
// when the sums take them after the labelling. Rows of 8 or more features
// whose sums the pass adds: 2 MiB, which the workers share out, so each
// worker's rows stay in its own core's cache for the sums. Otherwise 4 MiB
// of the shared cache: narrower rows' sums take the blocks as ranges, one
// kernel choice each, and where the loop adds the sums itself a block only
// costs its hand-off.
constexpr std::size_t kPassBlockBytes = std::size_t{4} << 20;
constexpr std::size_t kWidePassBlockBytes = std::size_t{2} << 20;
constexpr std::size_t kWidePassMinDims = 8;

std::size_t pass_block_bytes(std::size_t dims, bool adds_sums) {
    const std::size_t set = testing::pass_block_bytes();
    if (set != 0) return set;
    return dims >= kWidePassMinDims && adds_sums ? kWidePassBlockBytes : kPassBlockBytes;
}

// A gathered row is fetched this many rows ahead of its copy: the rows of a
// list are scattered, so the hardware prefetcher does not see them coming.
constexpr std::size_t kGatherAhead = 8;

// Flags the clusters a sample leaves and joins; a flag already set is only
// read (the flags are shared by the ranges of a pass).
inline void note_move(std::uint8_t* changed, std::uint64_t was, std::uint64_t now) {
    if (was == now) return;
    for (const std::uint64_t c : {was, now}) {
        std::atomic_ref<std::uint8_t> flag(changed[c]);
        if (flag.load(std::memory_order_relaxed) == 0) flag.store(1, std::memory_order_relaxed);
    }
}

// out[t * d ..] = row todo[t] of x, for t < m; rows of adjacent features are
// fetched kGatherAhead rows ahead (a prefetch reads nothing into the values).
void gather_rows(const SampleMatrix& x, const std::size_t* todo, std::size_t m, double* out) {
    const std::size_t d = x.n_cols;
    const bool ahead = x.col_stride == 1;
    for (std::size_t t = 0; t < m; ++t) {
        if (ahead && t + kGatherAhead < m) {
            const char* r = reinterpret_cast<const char*>(x.row(todo[t + kGatherAhead]));
            for (std::size_t b = 0; b < d * sizeof(double); b += 64) __builtin_prefetch(r + b);
            __builtin_prefetch(r + d * sizeof(double) - 1);
        }
        copy_sample_row(x, todo[t], out + t * d, d);
    }
}

// Labels every sample of [p0, p1); with `changed`, flags the clusters of the
// samples whose label changes (all k when the old labels cannot be kept to
// compare).
void label_whole(const SampleMatrix& x, const CentreLabeller& labeller, std::size_t p0, std::size_t p1,
                 std::uint64_t* lab, double* lower, RangeSpace& space, std::uint8_t* changed, std::size_t k) {
    const std::size_t m = p1 - p0;
    const bool compare = changed != nullptr && space.make_old_room(m);
    if (compare) std::copy(lab + p0, lab + p1, space.old.begin());
    labeller.label(x, p0, p1, lab + p0, lower, &space.scratch);
    if (compare) {
        for (std::size_t t = 0; t < m; ++t) note_move(changed, space.old[t], lab[p0 + t]);
    } else if (changed != nullptr) {
        for (std::size_t c = 0; c < k; ++c)
            std::atomic_ref<std::uint8_t>(changed[c]).store(1, std::memory_order_relaxed);
    }
}

// Relabels the m samples listed in space.todo, those of [p0, p1) that do not
// keep their label; a piece where most samples must be scored anyway is
// labelled whole. Returns how many samples were scored against every centre.
std::size_t relabel_listed(const SampleMatrix& x, const CentreLabeller& labeller, std::size_t p0, std::size_t p1,
                           std::uint64_t* lab, const CarriedBounds& bounds, RangeSpace& space, std::size_t m,
                           std::uint8_t* changed, std::size_t k) {
    testing::count_kept_labels(p1 - p0 - m);
    if (m == 0) return 0;
    const std::size_t d = x.n_cols;
    std::vector<double>& rows = space.rows;
    if (4 * m >= 3 * (p1 - p0) || rows.size() < m * d) {
        label_whole(x, labeller, p0, p1, lab, bounds.lower + p0, space, changed, k);
        return p1 - p0;
    }
    // The unsettled rows, copied as they are, in a dense block of their own.
    const std::size_t* todo = space.todo.data();
    gather_rows(x, todo, m, rows.data());
    const SampleMatrix dense{rows.data(), m, d, static_cast<std::ptrdiff_t>(d), 1};
    labeller.label(dense, 0, m, space.got.data(), space.got_lower.data(), &space.scratch);
    // The buffers' addresses held in locals: otherwise the compiled loop
    // loads them again after every store (the flags are stored through a
    // byte pointer, which may alias them), and ran several times slower.
    const std::uint64_t* got = space.got.data();
    const double* got_lower = space.got_lower.data();
    double* lower = bounds.lower;
    if (changed != nullptr)
        for (std::size_t t = 0; t < m; ++t) note_move(changed, lab[todo[t]], got[t]);
    for (std::size_t t = 0; t < m; ++t) {
        lab[todo[t]] = got[t];
        lower[todo[t]] = got_lower[t];
    }
    return m;
}

// The keep test of samples [from, p1): each bound moved, and the samples that
// do not keep their label listed in space.todo from m on; returns the new
// count. dist[i - p0] is the exact distance of sample i to the centre it is
// labelled with. Branch-free: which samples keep their label is
// unpredictable. An unsettled sample's bound is written too; the labeller
// replaces it. The list has room for a whole piece (RangeSpace::make_room).
std::size_t keep_scan(const std::uint64_t* lab, const double* dist, const CarriedBounds& bounds, std::size_t dims,
                      std::size_t p0, std::size_t from, std::size_t p1, std::size_t* todo, std::size_t m) {
    for (std::size_t i = from; i < p1; ++i) {
        const double lower = moved_lower_bound(bounds.lower[i], bounds.moves.except(lab[i]));
        const bool keep = keeps_label(lower, dist[i - p0], dims);
        bounds.lower[i] = lower;
        todo[m] = i;
        m += keep ? 0 : 1;
    }
    return m;
}

// Labels the samples of [p0, p1) that do not keep their label. dist[i - p0]
// is the exact distance of sample i to the centre it is labelled with. With
// `given`, the keep test of the whole vectors of samples runs in the vector
// kernel (the same decisions and bounds as keep_scan's), the rest in
// keep_scan. Returns how many samples were scored against every centre.
std::size_t label_unsettled(const SampleMatrix& x, const CentreLabeller& labeller, std::size_t p0, std::size_t p1,
                            std::uint64_t* lab, const double* dist, const CarriedBounds& bounds, RangeSpace& space,
                            std::uint8_t* changed, std::size_t k, const kernels::KeepCentres* given) {
    // The keep test assumes gradual underflow (as the filter does).
    if (runtime::subnormals_flushed()) {
        label_whole(x, labeller, p0, p1, lab, bounds.lower + p0, space, changed, k);
        return p1 - p0;
    }
    std::size_t m = 0;
    const std::size_t from = given != nullptr ? kernels::selected_kernels().keep_given(
                                                    p0, p1, lab, *given, bounds.lower, dist, space.todo.data(), m)
                                              : p0;
    m = keep_scan(lab, dist, bounds, labeller.dims(), p0, from, p1, space.todo.data(), m);
    return relabel_listed(x, labeller, p0, p1, lab, bounds, space, m, changed, k);
}

// The keep test's table of a pass's centres for rows of up to kKeepMaxDims
// features (kernels::KeepCentres), in `table`; false when it cannot be had
// (the pass then keeps labels by the scalar test alone).
bool prepare_keep(const CentreMatrix& centres, const CentreMoves& moves, std::size_t dims, std::size_t label_dims,
                  std::vector<double>& table, kernels::KeepCentres& out) {
    const std::size_t k = centres.rows;
    const std::size_t cap = std::max<std::size_t>(16, k);
    try {
        table.assign((dims + 1) * cap, 0.0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::size_t c = 0; c < k; ++c) {
        for (std::size_t j = 0; j < dims; ++j) table[j * cap + c] = centres.row(c)[j];
        table[dims * cap + c] = moves.except(c);
    }
    out = kernels::KeepCentres{table.data(), table.data() + dims * cap, k, cap, dims, kRestFloor, kRestShrink, kKeepLow,
                               kKeepHigh,    keep_reach(label_dims)};
    return true;
}

// For a piece [p0, p1) of rows of up to kKeepMaxDims features: the own
// distances (own[i - p0]: the pass's distances or space.own) and the keep
// test of the whole vectors of samples by the vector kernel, the rest by the
// scalar code; with `sum`, every own distance added to *sum in sample order.
// Returns how many samples are listed in space.todo.
std::size_t keep_narrow(const SampleMatrix& x, const std::uint64_t* lab, const CentreMatrix& centres,
                        const kernels::KeepCentres& kc, const CarriedBounds& bounds, std::size_t label_dims,
                        std::size_t p0, std::size_t p1, RangeSpace& space, double* own, double* sum) {
    std::size_t m = 0;
    const kernels::SampleView view{x.data, x.row_stride, x.col_stride};
    const std::size_t from =
        kernels::selected_kernels().keep(view, p0, p1, lab, kc, bounds.lower, own, space.todo.data(), m, sum);
    if (from == p1) return m;
    // The rest, labels checked (out of range is an internal failure).
    const SampleMatrix rest{x.row(from), p1 - from, x.n_cols, x.row_stride, x.col_stride};
    label_distances(rest, lab + from, centres, 0, p1 - from, own + (from - p0));
    if (sum != nullptr)
        for (std::size_t i = from - p0; i < p1 - p0; ++i) *sum = *sum + own[i];
    return keep_scan(lab, own, bounds, label_dims, p0, from, p1, space.todo.data(), m);
}

// Step 1 for the samples of [p0, p1) whose centre is not flagged in
// `measured`; the others keep distances[i]. The distance of a sample is the
// same chain of operations on the same operands wherever its row lies, so
// the rows to measure are copied into a dense block (when few enough and
// room is there) and measured there. Needs the room of make_room.
void measure_unmeasured(const SampleMatrix& x, const std::uint64_t* lab, const CentreMatrix& centres,
                        const std::uint8_t* measured, std::size_t p0, std::size_t p1, double* distances,
                        RangeSpace& space) {
    const std::size_t k = centres.rows;
    std::size_t* todo = space.todo.data();
    std::size_t m = 0;
    for (std::size_t i = p0; i < p1; ++i) {
        if (lab[i] >= k) label_out_of_range();
        todo[m] = i;
        m += measured[lab[i]] != 0 ? 0 : 1;
    }
    testing::count_reused_distances(p1 - p0 - m);
    if (m == 0) return;
    const std::size_t d = x.n_cols;
    if (4 * m >= 3 * (p1 - p0) || space.rows.size() < m * d) {
        // Measuring the rest again gives the distances they hold.
        label_distances(x, lab, centres, p0, p1, distances);
        return;
    }
    gather_rows(x, todo, m, space.rows.data());
    std::uint64_t* got = space.got.data();
    double* got_distances = space.got_lower.data();
    for (std::size_t t = 0; t < m; ++t) got[t] = lab[todo[t]];
    const SampleMatrix dense{space.rows.data(), m, d, static_cast<std::ptrdiff_t>(d), 1};
    label_distances(dense, got, centres, 0, m, got_distances);
    for (std::size_t t = 0; t < m; ++t) distances[todo[t]] = got_distances[t];
}

// The work a pass states for `rows` of its n rows, where it expects to score
// `expected` of the n against every centre (`row_work` units each) and the
// others cost their distance to their own centre and the keep test (d + 2
// units), in the pool's units: a labelling unit is a coordinate of a distance
// taken several lanes at a time, about a quarter of the time of the pool's
// unit, a coordinate added one at a time (measured: docs/tuning.md, "The
// labelling pass's stated work"). It decides only whether a small pass stays
// on the calling thread: the results are the same either way.
constexpr std::size_t kLabellingUnitsPerWorkUnit = 4;

std::size_t labelling_work(std::size_t rows, std::size_t n, std::size_t expected, std::size_t row_work, std::size_t d) {
    std::size_t total = runtime::work_units(rows, row_work);
    if (expected < n) {
        const auto scored = static_cast<std::size_t>(static_cast<double>(rows) * static_cast<double>(expected) /
                                                     static_cast<double>(n)) +
                            1;
        const std::size_t keeps = runtime::work_units(rows, d + 2);
        const std::size_t scores = runtime::work_units(scored, row_work);
        std::size_t pruned = 0;
        if (!__builtin_add_overflow(keeps, scores, &pruned)) total = std::min(total, pruned);
    }
    return total == runtime::kUnstatedWork ? total : total / kLabellingUnitsPerWorkUnit;
}

}  // namespace

void lloyd_pass(const SampleMatrix& x, const CentreMatrix& centres, std::vector<std::uint64_t>& labels,
                double* distances, CentreSums& sums, const CarriedBounds* bounds, PassStorage* storage, double* inertia,
                const ClusterChanges* changes) {
    const std::size_t n = x.n_rows;
    if (labels.size() != n) throw InternalFailure("label count differs from sample count");
    const std::size_t row_bytes = std::max<std::size_t>(1, x.n_cols) * sizeof(double);
    const bool defer_sums = changes != nullptr && changes->defer_sums;
    const std::size_t block_rows = std::max<std::size_t>(1, pass_block_bytes(x.n_cols, !defer_sums) / row_bytes);
    const std::size_t piece_rows = std::max(kPieceMinRows, kPieceBytes / row_bytes);
    std::optional<CentreLabeller> own_labeller;
    const bool exact_bounds = bounds != nullptr && bounds->exact;
    if (storage != nullptr)
        storage->labeller.prepare(x, centres, exact_bounds);
    else
        own_labeller.emplace(x, centres, exact_bounds);
    const CentreLabeller& labeller = storage != nullptr ? storage->labeller : *own_labeller;
    const bool prune =
        bounds != nullptr && labeller.certifies() && bounds->moves.other <= std::numeric_limits<double>::max();
    double* lower = bounds != nullptr ? bounds->lower : nullptr;
    std::uint64_t* lab = labels.data();
    std::uint8_t* changed = changes != nullptr ? changes->changed : nullptr;
    const std::uint8_t* measured = changes != nullptr && distances != nullptr ? changes->measured : nullptr;
    // With `inertia` (and no distances' buffer) each range also sums its
    // samples' distances to the centres their old labels name, in sample
    // order, before it relabels them.
    const bool sum_own = inertia != nullptr && distances == nullptr;
    // Samples scored against every centre, over all ranges.
    std::atomic<std::size_t> scored_total{0};
    // The keep test by the vector kernel, from a table of the centres made
    // once for the pass. On rows of up to kKeepMaxDims features it also
    // measures the own distances (step 1, into `distances` when given: the
    // kernel's distances are step 1's bit for bit, the same chain of
    // operations per sample); on wider rows it tests the distances measured,
    // from a table of the centres' moves alone.
    std::vector<double> own_table;
    kernels::KeepCentres keep_centres{};
    const kernels::KeepCentres* keep = nullptr;
    const kernels::KeepCentres* given = nullptr;
    const std::size_t dims = std::min(x.n_cols, centres.cols);
    const bool narrow = dims >= 1 && dims <= kernels::kKeepMaxDims;
    if (prune && testing::vector_keep_test() &&
        prepare_keep(centres, bounds->moves, narrow ? dims : 0, labeller.dims(),
                     storage != nullptr ? storage->keep_table : own_table, keep_centres))
        (narrow ? keep : given) = &keep_centres;
    // Labels rows [r0, r1), piece by piece; returns -0.0 plus the distances
    // of its samples, left to right, when sum_own.
    auto label_range = [&](std::size_t r0, std::size_t r1) -> double {
        // The range's working space, for all its pieces: one the fit keeps
        // where one is free, else one of its own.
        RangeSpace* kept = storage != nullptr ? storage->acquire() : nullptr;
        struct Release {
            PassStorage* storage;
            RangeSpace* space;
            ~Release() {
                if (space != nullptr) storage->release(space);
            }
        } release{storage, kept};
        std::optional<RangeSpace> own_space;
        RangeSpace& space = kept != nullptr ? *kept : own_space.emplace();
        const bool room = (prune || measured != nullptr) &&
                          space.make_room(std::min(piece_rows, r1 - r0), x.n_cols, prune && distances == nullptr);
        const bool pruned = prune && room;
        // The vector keep test assumes gradual underflow, as the scalar one does.
        const bool vector_keep = pruned && keep != nullptr && !runtime::subnormals_flushed();
        double sum = -0.0;
        std::size_t scored = 0;
        for (std::size_t p0 = r0; p0 < r1; p0 += piece_rows) {
            const std::size_t p1 = std::min(r1, p0 + piece_rows);
            if (distances != nullptr && !vector_keep) {
                if (measured != nullptr && room)
                    measure_unmeasured(x, lab, centres, measured, p0, p1, distances, space);
                else
                    label_distances(x, lab, centres, p0, p1, distances);
            }
            if (vector_keep) {
                double* own = distances != nullptr ? distances + p0 : space.own.data();
                const std::size_t m = keep_narrow(x, lab, centres, *keep, *bounds, labeller.dims(), p0, p1, space, own,
                                                  sum_own ? &sum : nullptr);
                scored += relabel_listed(x, labeller, p0, p1, lab, *bounds, space, m, changed, centres.rows);
            } else if (pruned) {
                const double* dist = distances != nullptr ? distances + p0 : space.own.data();
                if (distances == nullptr) {
                    const SampleMatrix piece{x.row(p0), p1 - p0, x.n_cols, x.row_stride, x.col_stride};
                    label_distances(piece, lab + p0, centres, 0, p1 - p0, space.own.data());
                    if (sum_own)
                        for (std::size_t i = 0; i < p1 - p0; ++i) sum = sum + space.own[i];
                }
                scored += label_unsettled(x, labeller, p0, p1, lab, dist, *bounds, space, changed, centres.rows, given);
            } else {
                if (sum_own) sum = add_label_distances(x, lab, centres, p0, p1, sum);
                label_whole(x, labeller, p0, p1, lab, lower != nullptr ? lower + p0 : nullptr, space, changed,
                            centres.rows);
                scored += p1 - p0;
            }
        }
        scored_total.fetch_add(scored, std::memory_order_relaxed);
        return sum;
    };
    // A row's work: its distances to every centre, and to its own centre;
    // where the bounds keep labels, as many rows as the last pass scored.
    const std::size_t row_work = runtime::work_units(centres.rows + 1, std::max<std::size_t>(1, x.n_cols));
    const std::size_t expected = prune && storage != nullptr ? std::min(storage->last_scored, n) : n;
    auto rows_work = [&](std::size_t rows) { return labelling_work(rows, n, expected, row_work, x.n_cols); };
    if (sum_own) {
        // One loop over all the samples, split as the inertia's sum is (each
        // unsplit range left to right, neighbours joined as lower + upper);
        // the sums take the samples afterwards, block by block (the update
        // chooses its kernel per block from the labels), in one hand-off.
        *inertia = runtime::parallel_reduce<double>(n, rows_work(n), label_range,
                                                    [](double lo, double up) { return lo + up; });
        if (!defer_sums) sums.add_blocks(lab, 0, n, block_rows);
    } else if (!defer_sums && sums.adds_here()) {
        // Pieces claimed in sample order; each is labelled, then added into
        // the sums (all clusters) on the same thread while its rows are in
        // that core's cache, once the piece before it has been added: every
        // sum still takes its cluster's samples in sample order.
        const std::size_t rows = std::min(piece_rows, block_rows);
        const std::size_t pieces = (n + rows - 1) / rows;
        std::atomic<std::size_t> next{0};
        std::atomic<std::size_t> added{0};
        std::atomic<bool> failed{false};
        const std::size_t claimers = std::min(runtime::pool_thread_count(), pieces);
        runtime::parallel_for(claimers, rows_work(n), [&](std::size_t, std::size_t) {
            try {
                for (std::size_t p = next.fetch_add(1, std::memory_order_relaxed); p < pieces;
                     p = next.fetch_add(1, std::memory_order_relaxed)) {
                    const std::size_t p0 = p * rows;
                    const std::size_t p1 = std::min(n, p0 + rows);
                    label_range(p0, p1);
                    // No wait lasts for ever: pieces are claimed in order, a
                    // leaf enters no pool loop and returns only when its
                    // pieces are added, so the lowest piece not yet added is
                    // held by a running leaf that has no piece to wait for.
                    auto turn = [&] {
                        return added.load(std::memory_order_acquire) == p || failed.load(std::memory_order_relaxed);
                    };
                    runtime::poll_until(turn);
                    if (added.load(std::memory_order_acquire) != p) return;  // another piece failed
                    sums.add_here(lab, p0, p1);
                    added.store(p + 1, std::memory_order_release);
                }
            } catch (...) {
                failed.store(true, std::memory_order_relaxed);
                throw;
            }
        });
    } else {
        for (std::size_t s0 = 0; s0 < n; s0 += block_rows) {
            const std::size_t s1 = std::min(n, s0 + block_rows);
            runtime::parallel_for(s1 - s0, rows_work(s1 - s0),
                                  [&](std::size_t begin, std::size_t end) { label_range(s0 + begin, s0 + end); });
            if (!defer_sums) sums.add(lab, s0, s1);
        }
    }
    if (storage != nullptr) storage->last_scored = scored_total.load(std::memory_order_relaxed);
}

}  // namespace corvalinth::kmeans
