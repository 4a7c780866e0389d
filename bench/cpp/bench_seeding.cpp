// k-means++ seeding on the engine shapes (bench/shapes.txt), against the memory speed it
// is bound by. Every further centre needs one pass over the samples that the
// skip certificate cannot rule out (distances to the newest centre, on the
// worker pool) and one sequential sum of n distances, so without skipping the
// floor is about k - 1 reads of the sample matrix. Printed per shape:
// the whole seeding, the time per centre, one single-threaded read of the
// samples, and their ratio. Also the distance pass alone, on row-major and
// column-major copies of the samples. Then, on the [seeding] shapes, the
// whole seeding with and without the float copy of the samples (made to fail
// through the test knob: the float64 passes), interleaved, best of each; the
// share of rows the passes after the first measure exactly; and the floor:
// the larger of n x k dependent additions and k parallel reads of the float
// copy (bfloat16: a quarter of the samples' bytes).
//
// usage: bench_seeding [float]   (float: the float copy section alone)
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
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
#include "kmeans/seeding/seeding_distances.hpp"
#include "kmeans/testing/knobs.hpp"
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

// Seeding with and without the float copy; the share of rows measured exactly.
void float_copy_shapes() {
    const double latency = bench::add_latency();
    std::printf(
        "float copy of the samples: seeding without (float64 passes) / with, interleaved, best of 3; "
        "dependent add %.3f ns\n",
        latency * 1e9);
    for (const Shape& s : bench::shape_list("seeding")) {
        const std::vector<double> values = bench::shape_samples(s);
        const kmeans::SampleMatrix x{values.data(), s.n, s.d, static_cast<std::ptrdiff_t>(s.d), 1};
        kmeans::CentreMatrix centres = kmeans::zero_centres(s.k, s.d);
        auto seed = [&](unsigned failing) {
            kmeans::testing::set_failing_seeding_buffers(failing);
            auto rng = runtime::RandomSource::from_seed(42);
            kmeans::init_centres(x, centres, rng);
            kmeans::testing::set_failing_seeding_buffers(0);
            g_sink = centres.values[0];
        };
        double without = 1e300, with = 1e300;
        for (int r = 0; r < 3; ++r) {
            without = std::min(without, bench::best_time([&] { seed(kmeans::testing::kSeedingFloat32); }, 1, 0.0).wall);
            with = std::min(with, bench::best_time([&] { seed(0); }, 1, 0.0).wall);
        }
        // The passes over the seeds just drawn: rows read exactly after the first.
        kmeans::SeedingDistances pass(s.n, s.k);
        std::vector<double> ends((s.n + kmeans::kSeedingChunk - 1) / kmeans::kSeedingChunk);
        std::uint64_t exact = 0;
        for (std::size_t c = 0; c < s.k; ++c) {
            pass.lower(x, centres, c, ends);
            if (c > 0) exact += pass.computed_last();
        }
        // What a pass reads: the float copy's bytes (a quarter of the samples') where it is made.
        const std::vector<double> read(pass.float_rows() > 0 ? values.size() / 4 : values.size(), 1.0);
        const double read16 = best_time([&] { g_sink = bench::stream_sum(read); });
        const double floor_adds = static_cast<double>(s.n * s.k) * latency;
        const double floor_reads = static_cast<double>(s.k) * read16;
        std::printf(
            "  n=%zu d=%zu k=%zu: without %.4f s, with %.4f s (%.2fx); float rows %zu of %zu, measured exactly "
            "%.2f%% of rows after the first pass; floor max(%.4f s adds, %.4f s float reads) = %.4f s\n",
            s.n, s.d, s.k, without, with, without / with, pass.float_rows(), s.n,
            100.0 * static_cast<double>(exact) / static_cast<double>(s.n * (s.k - 1)), floor_adds, floor_reads,
            std::max(floor_adds, floor_reads));
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "float") {
        float_copy_shapes();
        return 0;
    }
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
    float_copy_shapes();
    return 0;
}
