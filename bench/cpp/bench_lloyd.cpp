// One Lloyd iteration (assign + update + inertia) and the assignment alone on
// the engine shapes of bench/shapes.txt, with one worker and with every processor, against the
// machine's exact-arithmetic peak (no fused multiply-add: one lane-triple is a
// subtract, a multiply and an add; with two vector FP ports that is about
// 2 * L / 3 triples per cycle per core for L doubles per vector). Also the
// time to stream the (5,000,000 x 2) samples once from memory.
//
// The worker pool is sized once per process from RAYON_NUM_THREADS, so the
// program re-runs itself once per thread count.
//
// usage: bench_lloyd              (T = 1 and T = processor count)
//        bench_lloyd --child      (one run with the current environment)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <time.h>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/isa.hpp"
#include "runtime/cpu/cpu_count.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/random/random_source.hpp"

namespace {

using namespace corvalinth;
using bench::best_time;
using bench::cpu_seconds;
using bench::Shape;
using bench::Timing;

// Core clock from a chain of dependent integer adds (one per cycle on x86-64),
// timed in this thread's processor time so that a shared machine does not
// distort it.
double measured_clock_hz() {
    constexpr std::uint64_t kRounds = 2'000'000;
    double best = 1e300;
    for (int rep = 0; rep < 5; ++rep) {
        std::uint64_t v = 0;
        const double t0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        for (std::uint64_t r = 0; r < kRounds; ++r) {
            asm volatile(
                ".rept 100\n\t"
                "addq $1, %0\n\t"
                ".endr"
                : "+r"(v));
        }
        best = std::min(best, cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - t0);
        if (v != kRounds * 100) std::abort();
    }
    return static_cast<double>(kRounds * 100) / best;
}

double cpuinfo_mhz() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("cpu MHz", 0) == 0) return std::atof(line.substr(line.find(':') + 1).c_str());
    return 0.0;
}

double vector_lanes(const char* variant) {
    if (std::strcmp(variant, "avx512") == 0) return 8.0;
    if (std::strcmp(variant, "avx2") == 0) return 4.0;
    return 1.0;
}

volatile double g_sink;

int run_child() {
    const std::size_t threads = runtime::pool_thread_count();
    const char* variant = kmeans::kernels::isa_name(kmeans::kernels::isa_selected());
    const double hz = measured_clock_hz();
    const double lanes = vector_lanes(variant);
    const double peak_core = 2.0 * lanes / 3.0 * hz;  // triples per second per core
    const double peak = peak_core * static_cast<double>(threads);
    std::printf(
        "T=%zu workers, kernel %s; clock %.3f GHz measured (dependent integer adds over thread CPU time; "
        "/proc/cpuinfo says "
        "%.0f MHz); exact-arithmetic peak 2*%g/3 triples/cycle/core = %.2f G triples/s for %zu core(s)\n",
        threads, variant, hz * 1e-9, cpuinfo_mhz(), lanes, peak * 1e-9, threads);

    for (const Shape& s : bench::shape_list("engine")) {
        const std::vector<double> values = bench::shape_samples(s);
        const kmeans::SampleMatrix x{values.data(), s.n, s.d, static_cast<std::ptrdiff_t>(s.d), 1};
        kmeans::CentreMatrix centres = bench::shape_centres(values, s);
        auto rng = runtime::RandomSource::from_seed(42);

        const double triples = static_cast<double>(s.n) * static_cast<double>(s.k) * static_cast<double>(s.d);
        // As a fit runs them: one label vector reused by every iteration.
        std::vector<std::uint64_t> labels;
        kmeans::assign_labels(x, centres, labels);
        const Timing assign = best_time([&] {
            kmeans::assign_labels(x, centres, labels);
            g_sink = static_cast<double>(labels[0]);
        });
        const Timing iter = best_time([&] {
            kmeans::assign_labels(x, centres, labels);
            const kmeans::CentreMatrix next = kmeans::update_centres(x, labels, s.k, rng);
            g_sink = kmeans::compute_inertia(x, labels, next);
        });
        std::printf(
            "  n=%zu d=%zu k=%zu: assignment %.4f s = %.2f G triples/s (%.0f%% of peak; %.4f s CPU); "
            "Lloyd iteration %.4f s = %.2f G triples/s (%.4f s CPU)\n",
            s.n, s.d, s.k, assign.wall, triples / assign.wall * 1e-9, 100.0 * triples / assign.wall / peak, assign.cpu,
            iter.wall, triples / iter.wall * 1e-9, iter.cpu);
        // The two steps after the assignment, each on its own.
        const kmeans::CentreMatrix next = kmeans::update_centres(x, labels, s.k, rng);
        const Timing update = best_time([&] {
            const kmeans::CentreMatrix c = kmeans::update_centres(x, labels, s.k, rng);
            g_sink = c.values.empty() ? 0.0 : c.values[0];
        });
        const Timing inertia = best_time([&] { g_sink = kmeans::compute_inertia(x, labels, next); });
        std::printf("    centre update %.4f s (%.4f s CPU); inertia %.4f s (%.4f s CPU)\n", update.wall, update.cpu,
                    inertia.wall, inertia.cpu);
        if (s.d == 2) {
            const Timing stream = best_time([&] { g_sink = bench::stream_sum(values); });
            const double bytes = static_cast<double>(values.size() * sizeof(double));
            std::printf(
                "    streaming the %.0f MB of samples once: %.4f s (%.1f GB/s; %.4f s CPU); "
                "assignment / stream = %.2f, iteration / stream = %.2f\n",
                bytes * 1e-6, stream.wall, bytes / stream.wall * 1e-9, stream.cpu, assign.wall / stream.wall,
                iter.wall / stream.wall);
        }
        std::fflush(stdout);
    }
    return 0;
}

int run_with_threads(const char* self, std::size_t threads) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        const std::string t = std::to_string(threads);
        setenv("RAYON_NUM_THREADS", t.c_str(), 1);
        execl(self, self, "--child", static_cast<char*>(nullptr));
        std::perror("execl");
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return run_child();
    const std::size_t nproc = runtime::cpu_count().value_or(1);
    int rc = run_with_threads("/proc/self/exe", 1);
    if (rc == 0 && nproc > 1) rc = run_with_threads("/proc/self/exe", nproc);
    return rc;
}
