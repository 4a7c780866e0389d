// The centre update alone, on row-major samples and on a column-major copy,
// for the shapes where the split by features matters (bench/shapes.txt), against one
// single-threaded read of the samples. The pool size comes from the
// environment, so compare runs side by side:
//
// usage: RAYON_NUM_THREADS=1 bench_update; RAYON_NUM_THREADS=2 bench_update
#include <cstdio>
#include <random>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/random/random_source.hpp"

namespace {

using namespace corvalinth;

volatile double g_sink;

}  // namespace

int main() {
    const std::vector<bench::Shape> shapes = bench::shape_list("update");
    std::printf("centre update, %zu workers\n", runtime::pool_thread_count());
    for (const bench::Shape& s : shapes) {
        const std::vector<double> values = bench::shape_samples(s);
        std::vector<double> columns(values.size());
        for (std::size_t i = 0; i < s.n; ++i)
            for (std::size_t j = 0; j < s.d; ++j) columns[j * s.n + i] = values[i * s.d + j];
        std::mt19937_64 gen(s.k);
        std::vector<std::uint64_t> labels(s.n);
        for (auto& l : labels) l = gen() % s.k;
        const double read = bench::best_time([&] { g_sink = bench::stream_once(values); }).wall;
        const double bytes = static_cast<double>(values.size() * sizeof(double));
        for (const bool by_rows : {true, false}) {
            const kmeans::SampleMatrix x =
                by_rows ? kmeans::SampleMatrix{values.data(), s.n, s.d, static_cast<std::ptrdiff_t>(s.d), 1}
                        : kmeans::SampleMatrix{columns.data(), s.n, s.d, 1, static_cast<std::ptrdiff_t>(s.n)};
            auto rng = runtime::RandomSource::from_seed(1);
            kmeans::CentreMatrix out;
            std::vector<std::uint64_t> counts;
            const bench::Timing t = bench::best_time([&] {
                kmeans::update_centres(x, labels, s.k, rng, out, counts);
                g_sink = out.values[0];
            });
            std::printf(
                "  n=%zu d=%zu k=%zu %s: %.2f ms (%.4f s CPU) = %.1f GB/s of samples; "
                "one single-threaded read %.2f ms (%.1f GB/s)\n",
                s.n, s.d, s.k, by_rows ? "row-major   " : "column-major", t.wall * 1e3, t.cpu, bytes / t.wall * 1e-9,
                read * 1e3, bytes / read * 1e-9);
        }
        std::fflush(stdout);
    }
    return 0;
}
