// k-means++ seeding per shape against its floor: the larger of the n x k
// dependent additions of the running totals and k reads of what a pass must
// read (the float copy where the seeding makes one, else the samples), the
// read spread over the pool. Prints one line per shape (best of the runs);
// old and new builds are compared by running their binaries in turn.
//
// With "narrow": one lowering pass of the narrow shapes against a centre,
// fused on the calling thread alone and shared with a worker, interleaved.
//
// usage: bench_seeding_floor [runs] [shape index] | bench_seeding_floor narrow
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/seeding/fused_lowering.hpp"
#include "kmeans/seeding/init_centres.hpp"
#include "kmeans/seeding/narrow_pipeline.hpp"
#include "kmeans/seeding/seeding_distances.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/random/random_source.hpp"

namespace {

using namespace corvalinth;

volatile double g_sink;

// Seconds per dependent double addition (the chain a running total is).
double add_latency() {
    constexpr std::size_t kAdds = std::size_t{1} << 26;
    volatile double step = 1e-300;
    const double s = step;
    return bench::best_time(
               [&] {
                   double acc = 0.0;
                   for (std::size_t i = 0; i < kAdds; ++i) acc = acc + s;
                   g_sink = acc;
               },
               3, 0.0)
               .wall /
           static_cast<double>(kAdds);
}

// One pass (lowering against a far centre, so every entry stays, plus the
// total) over the narrow shapes' samples, both ways, interleaved, best of each.
void narrow_passes() {
    const double latency = add_latency();
    std::printf("one narrow pass: fused alone / beside a worker, %zu workers, dependent add %.3f ns\n",
                runtime::pool_thread_count(), latency * 1e9);
    for (const bench::Shape& s : bench::shape_list("seeding-floor")) {
        if (s.d >= kmeans::kFusedMaxDims) continue;
        const std::vector<double> values = bench::shape_samples(s);
        const kmeans::SampleMatrix x{values.data(), s.n, s.d, static_cast<std::ptrdiff_t>(s.d), 1};
        const std::vector<double> centre(s.d, 1e3);
        std::vector<double> closest(s.n, 1e300);
        std::vector<double> ends((s.n + kmeans::kSeedingChunk - 1) / kmeans::kSeedingChunk);
        kmeans::NarrowPipeline pipeline(s.n, kmeans::kSeedingChunk);
        double fused = 1e300, beside = 1e300;
        std::size_t worker_chunks = 0;
        for (int r = 0; r < 20; ++r) {
            fused = std::min(fused, bench::best_time(
                                        [&] {
                                            g_sink = kmeans::fused_lower_and_sum(x, centre.data(), s.d, 0, s.n, s.n,
                                                                                 kmeans::kSeedingChunk, closest.data(),
                                                                                 -0.0, ends.data());
                                        },
                                        1, 0.0)
                                        .wall);
            beside = std::min(beside, bench::best_time(
                                          [&] {
                                              g_sink = pipeline.lower_and_sum(x, centre.data(), s.d, 0, s.n,
                                                                              closest.data(), -0.0, ends.data());
                                          },
                                          1, 0.0)
                                          .wall);
            worker_chunks += pipeline.worker_chunks();
        }
        std::printf(
            "  n=%zu d=%zu: fused %.3f ms, beside a worker %.3f ms (worker lowered %.1f%% of chunks); adds %.3f ms\n",
            s.n, s.d, fused * 1e3, beside * 1e3,
            100.0 * static_cast<double>(worker_chunks) / (20.0 * static_cast<double>(ends.size())),
            static_cast<double>(s.n) * latency * 1e3);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "narrow") {
        narrow_passes();
        return 0;
    }
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    const long only = argc > 2 ? std::atol(argv[2]) : -1;
    const double latency = add_latency();
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
        // The float copy holds half the bytes of the samples.
        const bool float_copy = s.d >= 16 && s.k >= 16;
        const std::vector<double> read(float_copy ? values.size() / 2 : values.size(), 1.0);
        const double one_read = bench::best_time([&] { g_sink = bench::stream_sum(read); }, 3, 0.0).wall;
        const double adds = static_cast<double>(s.n * s.k) * latency;
        const double reads = static_cast<double>(s.k) * one_read;
        const double floor = std::max(adds, reads);
        std::printf("  n=%zu d=%zu k=%zu: seeding %.4f s; floor max(adds %.4f s, %s reads %.4f s) = %.4f s; %.2fx\n",
                    s.n, s.d, s.k, seeding, adds, float_copy ? "float" : "float64", reads, floor, seeding / floor);
        std::fflush(stdout);
    }
    return 0;
}
