// A fit's pass over the samples: inertia terms, new labels and the next sums, block by block.
#include "kmeans/lloyd_pass.hpp"

#include <algorithm>
#include <atomic>

#include "kmeans/lloyd.hpp"
#include "kmeans/pass_blocks_testing.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

// Bytes of samples per block: a few megabytes stay in the shared last-level
// cache between the labelling and the sums; measured with bench_phases.
constexpr std::size_t kBlockBytes = std::size_t{4} << 20;
std::atomic<std::size_t> g_block_bytes{kBlockBytes};
// Rows per piece inside a worker: the distances read them from memory, the
// labelling finds them in the core's own cache.
constexpr std::size_t kPieceBytes = std::size_t{128} << 10;
constexpr std::size_t kPieceMinRows = 64;

}  // namespace

namespace testing {
void set_pass_block_bytes(std::size_t bytes) {
    g_block_bytes.store(bytes == 0 ? kBlockBytes : bytes, std::memory_order_relaxed);
}
}  // namespace testing

void lloyd_pass(const SampleMatrix& x, const CentreMatrix& centres, std::vector<std::uint64_t>& labels,
                double* distances, CentreSums& sums) {
    const std::size_t n = x.n_rows;
    if (labels.size() != n) throw InternalFailure("label count differs from sample count");
    const std::size_t row_bytes = std::max<std::size_t>(1, x.n_cols) * sizeof(double);
    const std::size_t block_rows = std::max<std::size_t>(1, g_block_bytes.load(std::memory_order_relaxed) / row_bytes);
    const std::size_t piece_rows = std::max(kPieceMinRows, kPieceBytes / row_bytes);
    const CentreLabeller labeller(x, centres);
    std::uint64_t* lab = labels.data();
    for (std::size_t s0 = 0; s0 < n; s0 += block_rows) {
        const std::size_t s1 = std::min(n, s0 + block_rows);
        runtime::parallel_for(s1 - s0, [&](std::size_t begin, std::size_t end) {
            for (std::size_t p0 = s0 + begin; p0 < s0 + end; p0 += piece_rows) {
                const std::size_t p1 = std::min(s0 + end, p0 + piece_rows);
                if (distances != nullptr) label_distances(x, lab, centres, p0, p1, distances);
                labeller.label(x, p0, p1, lab + p0);
            }
        });
        sums.add(lab, s0, s1);
    }
}

}  // namespace corvalinth::kmeans
