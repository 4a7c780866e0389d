// k-means++ seeding on the engine shapes (bench/shapes.txt), against the memory speed it
// is bound by. Every further centre needs one pass over the samples that the
// skip certificate cannot rule out (distances to the newest centre, on the
// worker pool) and one sequential sum of n distances, so without skipping the
// floor is about k - 1 reads of the sample matrix. Printed per shape:
// the whole seeding, the time per centre, one single-threaded read of the
// samples, and their ratio. Also the distance pass alone, on row-major and
// column-major copies of the samples.
//
// usage: bench_seeding
#include <cstdio>
#include <random>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/isa.hpp"
#include "kmeans/seeding/init_centres.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/random/random_source.hpp"

namespace {

using namespace corvalinth;
using bench::Shape;

// Best wall-clock time of at least `runs` runs.
template <class F>
double best_time(F&& f, int runs = 3) {
    return bench::best_time(f, runs, 1.0).wall;
}

volatile double g_sink;

}  // namespace

int main() {
    std::printf("seeding, kernel %s, %zu workers\n", kmeans::kernels::isa_name(kmeans::kernels::isa_selected()),
                runtime::pool_thread_count());
    for (const Shape& s : bench::shape_list("engine")) {
        const std::vector<double> values = bench::shape_samples(s);
        const kmeans::SampleMatrix x{values.data(), s.n, s.d, static_cast<std::ptrdiff_t>(s.d), 1};

        const double seeding = best_time(
            [&] {
                kmeans::CentreMatrix centres = kmeans::zero_centres(s.k, s.d);
                auto rng = runtime::RandomSource::from_seed(42);
                kmeans::init_centres(x, centres, rng);
                g_sink = centres.values[0];
            },
            2);
        const double stream = best_time([&] { g_sink = bench::stream_once(values); });
        const double per_centre = seeding / static_cast<double>(s.k - 1);
        const double bytes = static_cast<double>(values.size() * sizeof(double));
        std::printf(
            "  n=%zu d=%zu k=%zu: seeding %.4f s = %.3f ms per centre; one read of the %.0f MB of samples "
            "%.3f ms (%.1f GB/s); per centre / read = %.2f\n",
            s.n, s.d, s.k, seeding, per_centre * 1e3, bytes * 1e-6, stream * 1e3, bytes / stream * 1e-9,
            per_centre / stream);

        // The distance pass alone, on the row-major samples and on a
        // column-major copy of them.
        std::vector<double> out(s.n);
        std::vector<double> columns(values.size());
        for (std::size_t i = 0; i < s.n; ++i)
            for (std::size_t j = 0; j < s.d; ++j) columns[j * s.n + i] = values[i * s.d + j];
        const kmeans::SampleMatrix xc{columns.data(), s.n, s.d, 1, static_cast<std::ptrdiff_t>(s.n)};
        const double* centre = values.data();
        const double rows_pass = best_time([&] {
            kmeans::distances_to_centre(x, centre, s.d, out.data());
            g_sink = out[0];
        });
        const double cols_pass = best_time([&] {
            kmeans::distances_to_centre(xc, centre, s.d, out.data());
            g_sink = out[0];
        });
        std::printf(
            "    distances to one centre: row-major %.3f ms (%.2f x read), column-major %.3f ms (%.2f x read)\n",
            rows_pass * 1e3, rows_pass / stream, cols_pass * 1e3, cols_pass / stream);
        std::fflush(stdout);
    }
    return 0;
}
