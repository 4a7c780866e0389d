// k-means++ seeding per shape against its floor: the larger of the n x k
// dependent additions of the running totals and the reads a seeding must
// make: with the float copy, the samples once (the first step), the copy
// (bfloat16) at every later step and, in float64, the rows each step lowers
// (their exact distances are needed); without it, the samples at every step.
// Reads are spread over the pool. Prints one line per shape (best of the
// runs); old and new builds are compared by running their binaries in turn.
//
// usage: bench_seeding_floor [runs] [shape index]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/seeding/init_centres.hpp"
#include "kmeans/seeding/seeding_distances.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/random/random_source.hpp"

namespace {

using namespace corvalinth;

volatile double g_sink;

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    const long only = argc > 2 ? std::atol(argv[2]) : -1;
    const double latency = bench::add_latency();
    std::printf("seeding against its floor, %zu workers, dependent add %.3f ns, best of %d\n",
                runtime::pool_thread_count(), latency * 1e9, runs);
    const std::vector<bench::Shape> shapes = bench::shape_list("seeding-floor");
    for (std::size_t index = 0; index < shapes.size(); ++index) {
        if (only >= 0 && static_cast<std::size_t>(only) != index) continue;
        const bench::Shape& s = shapes[index];
        const std::vector<double> values = bench::shape_samples(s);
        const kmeans::SampleMatrix x{values.data(), s.n, s.d, static_cast<std::ptrdiff_t>(s.d), 1};
        kmeans::CentreMatrix seeds = kmeans::zero_centres(s.k, s.d);
        const double seeding = bench::best_time(
                                   [&] {
                                       auto rng = runtime::RandomSource::from_seed(42);
                                       kmeans::init_centres(x, seeds, rng);
                                       g_sink = seeds.values[0];
                                   },
                                   runs, 0.0)
                                   .wall;
        // The rows each step lowers: any exact pass must read them in
        // float64, whatever bound rules out the others.
        kmeans::SeedingDistances pass(s.n, s.k);
        std::vector<double> ends((s.n + kmeans::kSeedingChunk - 1) / kmeans::kSeedingChunk);
        double lowered = 0.0;  // in samples, over the steps after the first
        for (std::size_t c = 0; c + 1 < s.k; ++c) {
            const std::vector<double> before = pass.closest();
            pass.lower(x, seeds, c, ends);
            if (c == 0) continue;
            for (std::size_t i = 0; i < s.n; ++i) lowered += pass.closest()[i] < before[i] ? 1.0 : 0.0;
        }
        // With the float copy (bfloat16, a quarter of the samples' bytes), a
        // step reads the copy and the rows it lowers; without it, every row.
        const bool float_copy = pass.float_rows() > 0;
        const std::vector<double> samples(values.size(), 1.0);
        const std::vector<double> copy(values.size() / 4, 1.0);
        const double read_samples = bench::best_time([&] { g_sink = bench::stream_sum(samples); }, 3, 0.0).wall;
        const double read_copy = bench::best_time([&] { g_sink = bench::stream_sum(copy); }, 3, 0.0).wall;
        const double steps = static_cast<double>(s.k - 1);
        const double adds = static_cast<double>(s.n * s.k) * latency;
        const double reads = float_copy ? read_samples * (1.0 + lowered / static_cast<double>(s.n)) + steps * read_copy
                                        : static_cast<double>(s.k) * read_samples;
        const double floor = std::max(adds, reads);
        std::printf("  n=%zu d=%zu k=%zu: seeding %.4f s; floor max(adds %.4f s, reads %.4f s: %s) = %.4f s; %.2fx\n",
                    s.n, s.d, s.k, seeding, adds, reads,
                    float_copy ? "the samples once, the copy per step, the lowered rows" : "the samples per step",
                    floor, seeding / floor);
        std::fflush(stdout);
    }
    return 0;
}
