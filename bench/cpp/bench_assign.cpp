// Assignment pass alone: the exact kernels against the certified float64
// filter and against the float32 stage in front of it, on the peers
// benchmark's shapes, with the machine's limits measured alongside (double and
// float FMA throughput of one core, memory bandwidth of all cores). Engines
// are timed interleaved, best of several repeats, and their labels compared.
//
// usage: bench_assign [reps [d_min]]   (d_min: only shapes with at least d_min features)
//        bench_assign reps n d k         (one shape of your own)
// BENCH_VARIANT=avx2 (or portable) runs the filters and the exact kernel of
// that variant instead of the one chosen for this processor.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <time.h>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/assignment/filtered_labels.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/isa.hpp"
#include "runtime/cpu/cpu_features.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace {

using namespace corvalinth;
using bench::Clock;
using bench::cpu_seconds;
using bench::seconds_since;

using bench::Shape;

volatile double g_sink;

// Double-precision FMAs per second on one core: 16 independent chains of
// 8-lane fused multiply-adds.
__attribute__((target("avx512f"))) double fma_peak_avx512() {
    constexpr long kRounds = 20'000'000;
    double best = 1e300;
    for (int rep = 0; rep < 3; ++rep) {
        __m512d acc[16];
        for (int a = 0; a < 16; ++a) acc[a] = _mm512_set1_pd(1.0 + a * 1e-3);
        const __m512d m = _mm512_set1_pd(0.999999999);
        const __m512d c = _mm512_set1_pd(1e-9);
        const double t0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        for (long r = 0; r < kRounds; ++r)
            for (int a = 0; a < 16; ++a) acc[a] = _mm512_fmadd_pd(acc[a], m, c);
        best = std::min(best, cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - t0);
        alignas(64) double lanes[8];
        for (int a = 1; a < 16; ++a) acc[0] = _mm512_add_pd(acc[0], acc[a]);
        _mm512_store_pd(lanes, acc[0]);
        g_sink = lanes[0];
    }
    return 16.0 * 8.0 * static_cast<double>(kRounds) / best;
}

// Single-precision FMAs per second on one core: the same with 16-lane floats.
__attribute__((target("avx512f"))) double fma_peak_avx512_float() {
    constexpr long kRounds = 20'000'000;
    double best = 1e300;
    for (int rep = 0; rep < 3; ++rep) {
        __m512 acc[16];
        for (int a = 0; a < 16; ++a) acc[a] = _mm512_set1_ps(1.0f + static_cast<float>(a) * 1e-3f);
        const __m512 m = _mm512_set1_ps(0.9999999f);
        const __m512 c = _mm512_set1_ps(1e-7f);
        const double t0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        for (long r = 0; r < kRounds; ++r)
            for (int a = 0; a < 16; ++a) acc[a] = _mm512_fmadd_ps(acc[a], m, c);
        best = std::min(best, cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - t0);
        alignas(64) float lanes[16];
        for (int a = 1; a < 16; ++a) acc[0] = _mm512_add_ps(acc[0], acc[a]);
        _mm512_store_ps(lanes, acc[0]);
        g_sink = lanes[0];
    }
    return 16.0 * 16.0 * static_cast<double>(kRounds) / best;
}

// Bytes per second summing a 512 MB array with every worker.
double memory_bandwidth() {
    std::vector<double> values(std::size_t{64} << 20, 1.0);
    double best = 1e300;
    for (int rep = 0; rep < 5; ++rep) {
        const auto t0 = Clock::now();
        g_sink = bench::stream_sum(values);
        best = std::min(best, seconds_since(t0));
    }
    return static_cast<double>(values.size() * sizeof(double)) / best;
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::size_t d_min = argc == 3 ? static_cast<std::size_t>(std::atoll(argv[2])) : 0;
    const std::vector<Shape> shapes = argc == 5 ? std::vector<Shape>{{static_cast<std::size_t>(std::atoll(argv[2])),
                                                                      static_cast<std::size_t>(std::atoll(argv[3])),
                                                                      static_cast<std::size_t>(std::atoll(argv[4]))}}
                                                : bench::shape_list("full");
    const std::size_t threads = runtime::pool_thread_count();
    kmeans::kernels::Isa variant = kmeans::kernels::isa_selected();
    if (const char* name = std::getenv("BENCH_VARIANT")) {
        for (const auto v : {kmeans::kernels::Isa::portable, kmeans::kernels::Isa::avx2, kmeans::kernels::Isa::avx512})
            if (std::string_view(name) == kmeans::kernels::isa_name(v)) variant = v;
        if (!kmeans::kernels::isa_available(variant)) return 2;
    }
    const kmeans::kernels::KernelTable& table = kmeans::kernels::kernel_table(variant);
    const double fma = runtime::cpu_features().avx512 ? fma_peak_avx512() : 0.0;
    const double fma32 = runtime::cpu_features().avx512 ? fma_peak_avx512_float() : 0.0;
    const double bw = memory_bandwidth();
    std::printf(
        "%zu workers, kernel %s; one core: %.1f G double FMA/s, %.1f G float FMA/s (AVX-512); memory read "
        "%.1f GB/s (all workers)\n",
        threads, kmeans::kernels::isa_name(variant), fma * 1e-9, fma32 * 1e-9, bw * 1e-9);
    std::printf(
        "f64: the float64 filter alone; f32: the float32 stage in front of it. cpu: processor seconds; "
        "%%pk: share of one core's FMA peak (double for f64, float for f32) per processor second\n");
    std::printf("%-20s %8s %8s %8s %8s %8s %8s %8s %8s %8s %7s %7s %s\n", "(n, d, k)", "exact s", "f64 s", "f32 s",
                "f64/f32", "f64 cpu", "f32 cpu", "f32 dec", "f64 dec", "f64 %pk", "f32 %pk", "labels", "");
    for (const Shape& s : shapes) {
        if (s.d < d_min) continue;
        const std::vector<double> values = bench::shape_samples(s);
        const kmeans::SampleMatrix x{values.data(), s.n, s.d, static_cast<std::ptrdiff_t>(s.d), 1};
        const kmeans::CentreMatrix centres = bench::shape_centres(values, s);
        const kmeans::CentrePanel panel(centres, s.d);
        const std::optional<kmeans::FilterPanel> filter64 =
            kmeans::FilterPanel::prepare(centres, s.d, kmeans::Float32Stage::never);
        const std::optional<kmeans::FilterPanel> filter32 =
            kmeans::FilterPanel::prepare(centres, s.d, kmeans::Float32Stage::always);
        if (!filter64 || !filter32) return 1;
        std::vector<std::uint64_t> exact(s.n), fast64(s.n), fast32(s.n);
        std::vector<std::size_t> decided_parts(s.n, 0), decided32_parts(s.n, 0);
        double t_exact = 1e300, t64 = 1e300, t32 = 1e300, c64 = 1e300, c32 = 1e300;
        std::size_t decided64 = 0, decided32 = 0;
        for (int r = 0; r < reps; ++r) {
            auto t0 = Clock::now();
            runtime::parallel_for(s.n, [&](std::size_t b, std::size_t e) {
                if (b < e) kmeans::nearest_centres(x, b, e, panel, exact.data() + b, table);
            });
            t_exact = std::min(t_exact, seconds_since(t0));
            for (const bool with32 : {false, true}) {
                std::fill(decided_parts.begin(), decided_parts.end(), 0);
                std::fill(decided32_parts.begin(), decided32_parts.end(), 0);
                const double c0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
                t0 = Clock::now();
                runtime::parallel_for(s.n, [&](std::size_t b, std::size_t e) {
                    if (b < e)
                        decided_parts[b] = kmeans::filtered_nearest_centres(
                            x, b, e, with32 ? *filter32 : *filter64, panel, (with32 ? fast32 : fast64).data() + b,
                            kmeans::FilterOutputs{nullptr, nullptr, &decided32_parts[b]}, table);
                });
                const double t = seconds_since(t0);
                const double c = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
                std::size_t decided = 0, decided_by32 = 0;
                for (std::size_t v : decided_parts) decided += v;
                for (std::size_t v : decided32_parts) decided_by32 += v;
                if (with32) {
                    t32 = std::min(t32, t), c32 = std::min(c32, c), decided32 = decided_by32;
                } else {
                    t64 = std::min(t64, t), c64 = std::min(c64, c), decided64 = decided;
                }
            }
        }
        const double fmas = static_cast<double>(s.n) * static_cast<double>(s.k) * static_cast<double>(s.d);
        const double n = static_cast<double>(s.n);
        char name[64];
        std::snprintf(name, sizeof name, "(%zu, %zu, %zu)", s.n, s.d, s.k);
        // Peak fraction from processor time, which a shared machine distorts less.
        std::printf("%-20s %8.4f %8.4f %8.4f %7.2fx %8.4f %8.4f %7.3f%% %7.3f%% %7.0f%% %6.0f%% %s\n", name, t_exact,
                    t64, t32, t64 / t32, c64, c32, 100.0 * static_cast<double>(decided32) / n,
                    100.0 * static_cast<double>(decided64) / n, fma > 0 ? 100.0 * fmas / c64 / fma : 0.0,
                    fma32 > 0 ? 100.0 * fmas / c32 / fma32 : 0.0,
                    exact == fast64 && exact == fast32 ? "identical" : "DIFFER");
        std::fflush(stdout);
    }
    return 0;
}
