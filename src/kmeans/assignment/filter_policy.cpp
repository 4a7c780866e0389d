// When the filter and its float32 stage pay; the thresholds are measured (docs/tuning.md).
#include "kmeans/assignment/filter_policy.hpp"

#include "kmeans/kernels/views.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::kmeans {

bool filter32_pays(std::size_t k, std::size_t dims) {
    // From 16 centres the float scores win at every width the filter takes;
    // with fewer, from 16 coordinates: the float tile, and on long rows the
    // float row form (rows scored in place, rounded to float as they are read).
    return k >= 16 || dims >= kFewCentresMinDims;
}

bool filter_worthwhile(std::size_t n, std::size_t x_cols, std::size_t k, std::size_t dims) {
    // Few coordinates: the exact kernels keep whole tiles in registers and
    // are faster than the float64 filter; only the float32 stage beats them,
    // from 256 centres on rows of 2 to 7 coordinates (never on one). The
    // labeller drops the filter on such rows when the float32 stage cannot
    // serve. Fewer than 16 centres on rows of fewer than 16 coordinates: the
    // filter's per-pass set-up shows (small fits), and the exact kernels keep.
    if (dims < 2 || k < 3 || dims > kFilterMaxDims) return false;
    if (dims < kFilterMinDims && !(k >= 256 && filter32_pays(k, dims))) return false;
    if (k < 16 && dims < kFewCentresMinDims) return false;
    // Extra memory: the centred centres and norms, and one tile buffer per
    // thread (workers and the caller); with the float32 stage also the float
    // centres and norms, and per thread a float tile and a gathered tile of
    // the samples it leaves undecided. At most half the input.
    const std::size_t threads = runtime::pool_thread_count() + 1;
    const bool float32 = filter32_pays(k, dims) && dims <= kFilter32MaxDims;
    const double centre_copies = float32 ? 1.5 : 1.0;
    const double tiles = float32 ? 2.5 : 1.0;  // in doubles per coordinate, kFilterTileMax samples each
    const double extra = centre_copies * static_cast<double>(k) * static_cast<double>(dims + 1) +
                         static_cast<double>(dims) +
                         tiles * static_cast<double>(threads) * static_cast<double>(dims) * kernels::kFilterTileMax;
    return 2.0 * extra <= static_cast<double>(n) * static_cast<double>(x_cols);
}

}  // namespace corvalinth::kmeans
