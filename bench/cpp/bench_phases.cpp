// The three steps of a Lloyd iteration timed apart (assignment, centre update,
// inertia), and the fit's single pass that does all three on the peers benchmark's shapes, with centres taken after ten
// iterations from sample rows, so that they look like the benchmark's middle
// iterations. Also one streaming read of the samples, the memory floor of a
// pass.
//
// usage: bench_phases [n d k]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/fit.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/iteration/lloyd_pass.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/random/random_source.hpp"

namespace {

using namespace corvalinth;
using bench::best_time;

using bench::Shape;

volatile double g_sink;

void run(const Shape& s) {
    const std::vector<double> values = bench::shape_samples(s);
    const kmeans::SampleMatrix x{values.data(), s.n, s.d, static_cast<std::ptrdiff_t>(s.d), 1};
    kmeans::CentreMatrix centres = bench::shape_centres(values, s);
    auto rng = runtime::RandomSource::from_seed(42);
    std::vector<std::uint64_t> labels, counts;
    kmeans::CentreMatrix next;
    for (int it = 0; it < 10; ++it) {
        kmeans::assign_labels(x, centres, labels);
        kmeans::update_centres(x, labels, s.k, rng, next, counts);
        std::swap(centres, next);
    }
    kmeans::assign_labels(x, centres, labels);
    if (std::getenv("BENCH_PASS_ONLY") != nullptr) {
        // For profilers: the fit's pass alone, many times.
        kmeans::CentreSums sums(x, s.k);
        std::vector<double> dist(s.n);
        for (int r = 0; r < 40; ++r) {
            sums.clear();
            kmeans::lloyd_pass(x, centres, labels, dist.data(), sums);
            sums.finish(rng, next);
        }
        return;
    }
    const auto assign = best_time([&] { kmeans::assign_labels(x, centres, labels); });
    const auto update = best_time([&] { kmeans::update_centres(x, labels, s.k, rng, next, counts); });
    const auto inertia = best_time([&] { g_sink = kmeans::compute_inertia(x, labels, next); });
    // The fit's own iteration: one pass for the inertia terms, the labels and
    // the sums, then the means.
    kmeans::CentreSums sums(x, s.k);
    std::vector<double> dist(s.n);
    const auto pass = best_time([&] {
        sums.clear();
        kmeans::lloyd_pass(x, centres, labels, dist.data(), sums);
        g_sink = kmeans::sum_distances(dist.data(), s.n);
        sums.finish(rng, next);
    });
    // The engine's own fit: its marginal iteration, (20 iterations - 10) / 10
    // from one seed, as the peers benchmark takes it from Python. The two
    // fits alternate, best of kFitRuns each, so that a burst of load on the
    // machine falls on both alike.
    constexpr int kFitRuns = 4;
    auto fit_once = [&](std::uint64_t iters) {
        kmeans::KMeansModel m;
        m.params = kmeans::KMeansParams{s.k, iters, 0.0, 0};
        const auto t0 = bench::Clock::now();
        if (kmeans::fit(m, x, nullptr).has_value()) std::abort();
        g_sink = m.inertia_;
        return bench::seconds_since(t0);
    };
    double fit10 = std::numeric_limits<double>::infinity(), fit20 = fit10;
    for (int r = 0; r < kFitRuns; ++r) {
        fit10 = std::min(fit10, fit_once(10));
        fit20 = std::min(fit20, fit_once(20));
    }
    const double marginal = (fit20 - fit10) / 10.0;
    const auto stream = best_time([&] { g_sink = bench::stream_sum(values); });
    std::printf(
        "n=%8zu d=%4zu k=%5zu  assign %7.2f ms  update %7.2f ms  inertia %7.2f ms  sum %7.2f ms  "
        "| one pass %7.2f ms | fit iteration %7.2f ms | read %6.2f ms | cpu: sum %7.2f ms, one pass %7.2f ms\n",
        s.n, s.d, s.k, assign.wall * 1e3, update.wall * 1e3, inertia.wall * 1e3,
        (assign.wall + update.wall + inertia.wall) * 1e3, pass.wall * 1e3, marginal * 1e3, stream.wall * 1e3,
        (assign.cpu + update.cpu + inertia.cpu) * 1e3, pass.cpu * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("workers: %zu\n", runtime::pool_thread_count());
    // BENCH_BLOCK_BYTES: the fit pass's block size, to tune it.
    if (const char* b = std::getenv("BENCH_BLOCK_BYTES"))
        kmeans::testing::set_pass_block_bytes(std::strtoull(b, nullptr, 10));
    if (argc == 4) {
        run({std::strtoull(argv[1], nullptr, 10), std::strtoull(argv[2], nullptr, 10),
             std::strtoull(argv[3], nullptr, 10)});
        return 0;
    }
    for (const Shape& s : bench::shape_list("full")) run(s);
}
