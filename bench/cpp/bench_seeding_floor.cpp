// k-means++ seeding per shape against its floor: the larger of the n x k
// dependent additions of the running totals and k reads of what a pass must
// read (the float copy where the seeding makes one, else the samples), the
// read spread over the pool. Prints one line per shape (best of the runs);
// old and new builds are compared by running their binaries in turn.
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
        const double seeding = bench::best_time(
                                   [&] {
                                       kmeans::CentreMatrix centres = kmeans::zero_centres(s.k, s.d);
                                       auto rng = runtime::RandomSource::from_seed(42);
                                       kmeans::init_centres(x, centres, rng);
                                       g_sink = centres.values[0];
                                   },
                                   runs, 0.0)
                                   .wall;
        // The float copy (bfloat16) holds a quarter of the bytes of the samples.
        const bool float_copy = s.d >= 16 && s.k >= 16;
        const std::vector<double> read(float_copy ? values.size() / 4 : values.size(), 1.0);
        const double one_read = bench::best_time([&] { g_sink = bench::stream_sum(read); }, 3, 0.0).wall;
        const double adds = static_cast<double>(s.n * s.k) * latency;
        const double reads = static_cast<double>(s.k) * one_read;
        const double floor = std::max(adds, reads);
        std::printf("  n=%zu d=%zu k=%zu: seeding %.4f s; floor max(adds %.4f s, %s reads %.4f s) = %.4f s; %.2fx\n",
                    s.n, s.d, s.k, seeding, adds, float_copy ? "bfloat16" : "float64", reads, floor, seeding / floor);
        std::fflush(stdout);
    }
    return 0;
}
