// Small fits with their loops on the calling thread against the same fits handed to the pool: the marginal iteration.
//
// For each shape, the marginal iteration of a fit, (fit with max_iters = 40
// minus fit with max_iters = 10, tol = 0) / 30, best of several interleaved
// rounds, once with every loop handed to the pool and once with every loop
// that states its work run on the calling thread; the work of one
// iteration's labelling, n (k + 1) d, is printed beside them, so that the
// crossover gives kInlineWorkBelow (docs/tuning.md). The third column is the
// fit as it runs by default (loops below kInlineWorkBelow inline).
//
// usage: bench_inline [n d k]...; BENCH_INLINE_ONLY=1 times the calling
// thread's runs alone (for profilers).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/fit.hpp"
#include "runtime/pool/pool_testing.hpp"

namespace {

using namespace corvalinth;

struct Case {
    std::size_t n, d, k;
};

double best_fit_seconds(const kmeans::SampleMatrix& x, std::size_t k, std::uint64_t iters, int repeats) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        kmeans::KMeansModel m;
        m.params = kmeans::KMeansParams{k, iters, 0.0, 0};
        const auto t0 = bench::Clock::now();
        if (kmeans::fit(m, x, [] { return false; }).has_value()) std::abort();
        best = std::min(best, bench::seconds_since(t0));
    }
    return best;
}

// Marginal iteration in seconds with loops below `inline_below` units on the
// calling thread.
double marginal(const kmeans::SampleMatrix& x, std::size_t k, std::size_t inline_below, int repeats) {
    runtime::testing::ScopedInlineWork scoped(inline_below);
    const double short_fit = best_fit_seconds(x, k, 10, repeats);
    const double long_fit = best_fit_seconds(x, k, 40, repeats);
    return (long_fit - short_fit) / 30;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Case> cases;
    for (int a = 1; a + 2 < argc; a += 3)
        cases.push_back(Case{std::strtoull(argv[a], nullptr, 10), std::strtoull(argv[a + 1], nullptr, 10),
                             std::strtoull(argv[a + 2], nullptr, 10)});
    if (cases.empty()) {
        for (std::size_t n : {64, 128, 256, 342, 512, 1024, 2048, 4096, 8192}) cases.push_back(Case{n, 4, 3});
        for (std::size_t n : {64, 128, 256, 512, 1024, 2048}) cases.push_back(Case{n, 16, 8});
        for (std::size_t n : {32, 64, 128, 256, 512}) cases.push_back(Case{n, 2, 32});
    }
    const bool inline_only = std::getenv("BENCH_INLINE_ONLY") != nullptr;
    std::printf("marginal iteration, us (best of 5 rounds x 30 fits; %zu workers); work = n (k + 1) d\n",
                runtime::pool_thread_count());
    std::printf("%8s %4s %4s %10s %10s %10s %10s %8s\n", "n", "d", "k", "work", "pooled", "inline", "default", "ratio");
    for (const Case& c : cases) {
        const bench::Shape shape{c.n, c.d, c.k};
        const std::vector<double> values = bench::shape_samples(shape);
        const kmeans::SampleMatrix x{values.data(), c.n, c.d, static_cast<std::ptrdiff_t>(c.d), 1};
        double pooled = 1e300, inlined = 1e300, by_default = 1e300;
        for (int round = 0; round < 5; ++round) {
            if (!inline_only) pooled = std::min(pooled, marginal(x, c.k, 0, 30));
            if (!inline_only) by_default = std::min(by_default, marginal(x, c.k, runtime::kInlineWorkBelow, 30));
            inlined = std::min(inlined, marginal(x, c.k, runtime::kUnstatedWork, inline_only ? 3000 : 30));
        }
        std::printf("%8zu %4zu %4zu %10zu", c.n, c.d, c.k, c.n * (c.k + 1) * c.d);
        if (inline_only)
            std::printf(" %10s %10.2f %10s %8s\n", "-", inlined * 1e6, "-", "-");
        else
            std::printf(" %10.2f %10.2f %10.2f %8.2f\n", pooled * 1e6, inlined * 1e6, by_default * 1e6,
                        pooled / inlined);
    }
    return 0;
}
