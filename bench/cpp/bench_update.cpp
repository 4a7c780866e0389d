// The centre update alone, on row-major samples and on a column-major copy,
// for the shapes where the split by features matters (bench/shapes.txt), against one
// single-threaded read of the samples. The pool size comes from the
// environment, so compare runs side by side:
//
// usage: RAYON_NUM_THREADS=1 bench_update; RAYON_NUM_THREADS=2 bench_update
//
// With `n d k [runs]` (narrow rows): one shape, its labels in random order
// ("random"), in runs of 64 equal labels ("runs") and nearest-centre labels of
// clustered data ("clustered"); each as one update over all samples from
// memory ("whole") and as the fit's pass adds them, a block of 4 MiB at a time
// just after reading it ("in cache"). BENCH_COLUMN_MAJOR=1 sums a
// column-major copy of the samples instead. With `masked n d k flagged
// [runs]`: the sums of `flagged` clusters alone, scanned by every block
// against listed once.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/random/random_source.hpp"

namespace {

using namespace corvalinth;

volatile double g_sink;

}  // namespace

// The update of the fit's pass: CentreSums::add per block of about 4 MiB of
// samples, each block read on the pool just before (as the labelling leaves
// it in cache); only the adds and the final division are timed.
double in_cache_update(const kmeans::SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                       int runs) {
    const std::size_t block = std::max<std::size_t>(1, (std::size_t{4} << 20) / (x.n_cols * sizeof(double)));
    auto rng = runtime::RandomSource::from_seed(1);
    kmeans::CentreSums sums(x, k);
    kmeans::CentreMatrix out;
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        sums.clear();
        double t = 0.0;
        for (std::size_t b = 0; b < x.n_rows; b += block) {
            const std::size_t e = std::min(x.n_rows, b + block);
            // Read on the pool, as the labelling reads it: the workers are
            // then awake when the adds begin, as in the pass.
            runtime::parallel_for(e - b, [&](std::size_t lo, std::size_t hi) {
                double s = 0.0;
                for (std::size_t i = b + lo; i < b + hi; ++i) {
                    s += static_cast<double>(labels[i]);
                    for (std::size_t j = 0; j < x.n_cols; ++j)
                        s += x.row(i)[static_cast<std::ptrdiff_t>(j) * x.col_stride];
                }
                g_sink = s;
            });
            const auto t0 = bench::Clock::now();
            sums.add(labels.data(), b, e);
            t += bench::seconds_since(t0);
        }
        const auto t0 = bench::Clock::now();
        sums.finish(rng, out);
        t += bench::seconds_since(t0);
        best = std::min(best, t);
    }
    return best;
}

int narrow_shape(std::size_t n, std::size_t d, std::size_t k, int runs) {
    const char* env = std::getenv("BENCH_COLUMN_MAJOR");
    const bool by_columns = env != nullptr && env[0] == '1';
    std::printf("centre update, %zu workers, n=%zu d=%zu k=%zu, %s\n", runtime::pool_thread_count(), n, d, k,
                by_columns ? "column-major" : "row-major");
    std::mt19937_64 gen(n * 31 + d * 7 + k);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> values(n * d);
    for (double& v : values) v = unit(gen);
    std::vector<double> columns(by_columns ? n * d : 0);
    const kmeans::SampleMatrix x = by_columns
                                       ? kmeans::SampleMatrix{columns.data(), n, d, 1, static_cast<std::ptrdiff_t>(n)}
                                       : kmeans::SampleMatrix{values.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
    for (const char* order : {"random", "runs", "clustered"}) {
        std::vector<std::uint64_t> labels(n);
        if (order[0] == 'r' && order[1] == 'a') {
            for (auto& l : labels) l = gen() % k;
        } else if (order[0] == 'r') {
            for (std::size_t i = 0; i < n; ++i) labels[i] = (i / 64 * 7919) % k;
        } else {
            // Samples near k centres taken from the data, then labelled.
            kmeans::CentreMatrix centres = kmeans::zero_centres(k, d);
            for (std::size_t c = 0; c < k; ++c)
                for (std::size_t j = 0; j < d; ++j) centres.row(c)[j] = values[(c * 7919 % n) * d + j];
            std::vector<double> near(values);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < d; ++j)
                    near[i * d + j] = centres.row(gen() % k)[j] + 0.01 * (unit(gen) - 0.5);
            const kmeans::SampleMatrix y{near.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
            kmeans::assign_labels(y, centres, labels);
            values = near;  // the update then sums the clustered samples
        }
        if (by_columns)
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < d; ++j) columns[j * n + i] = values[i * d + j];
        auto rng = runtime::RandomSource::from_seed(1);
        kmeans::CentreMatrix out;
        std::vector<std::uint64_t> counts;
        const bench::Timing whole = bench::best_time(
            [&] {
                kmeans::update_centres(x, labels, k, rng, out, counts);
                g_sink = out.values[0];
            },
            runs, 0.0);
        const double cached = in_cache_update(x, labels, k, runs);
        std::printf("  %-9s whole %7.3f ms (%.2f ns/sample)  in cache %7.3f ms (%.2f ns/sample)\n", order,
                    whole.wall * 1e3, whole.wall * 1e9 / static_cast<double>(n), cached * 1e3,
                    cached * 1e9 / static_cast<double>(n));
    }
    return 0;
}

// The sums of `flagged` of k clusters alone (as a settled fit re-adds the
// clusters some sample joined or left), random labels: each block of
// features scanning every label itself against the flagged samples listed
// once, interleaved, best of `runs` each, against one single-threaded read of
// the labels.
int masked_shape(std::size_t n, std::size_t d, std::size_t k, std::size_t flagged, int runs) {
    namespace knobs = kmeans::testing;
    std::printf("masked centre update, %zu workers, n=%zu d=%zu k=%zu, %zu clusters flagged\n",
                runtime::pool_thread_count(), n, d, k, flagged);
    std::mt19937_64 gen(n * 31 + d * 7 + k);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> values(n * d);
    for (double& v : values) v = noise(gen);
    std::vector<std::uint64_t> labels(n);
    for (auto& l : labels) l = gen() % k;
    std::vector<std::uint8_t> only(k, 0);
    for (std::size_t c = 0; c < k; ++c) only[c] = c * flagged / k != (c + 1) * flagged / k;
    std::size_t listed = 0;
    for (const std::uint64_t c : labels) listed += only[c];
    const kmeans::SampleMatrix x{values.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
    kmeans::CentreSums sums(x, k);
    sums.add(labels.data(), 0, n);
    const double read = bench::best_time([&] {
                            std::uint64_t s = 0;
                            for (const std::uint64_t c : labels) s += c;
                            g_sink = static_cast<double>(s);
                        }).wall;
    double best[2] = {1e300, 1e300};
    for (int r = 0; r < runs; ++r) {
        for (const int listed_sums : {0, 1}) {
            knobs::set_masked_sums(listed_sums != 0 ? knobs::MaskedSums::Listed : knobs::MaskedSums::Scanned);
            sums.clear(only.data());
            const auto t0 = bench::Clock::now();
            sums.add(labels.data(), 0, n, only.data());
            best[listed_sums] = std::min(best[listed_sums], bench::seconds_since(t0));
        }
    }
    knobs::set_masked_sums(knobs::MaskedSums::Automatic);
    std::printf(
        "  %zu samples flagged: every block scans %.3f ms, listed once %.3f ms; one read of the labels %.3f ms\n",
        listed, best[0] * 1e3, best[1] * 1e3, read * 1e3);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 6 && std::string_view(argv[1]) == "masked")
        return masked_shape(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10),
                            std::strtoull(argv[4], nullptr, 10), std::strtoull(argv[5], nullptr, 10),
                            argc >= 7 ? std::atoi(argv[6]) : 15);
    if (argc >= 4)
        return narrow_shape(std::strtoull(argv[1], nullptr, 10), std::strtoull(argv[2], nullptr, 10),
                            std::strtoull(argv[3], nullptr, 10), argc >= 5 ? std::atoi(argv[4]) : 15);
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
