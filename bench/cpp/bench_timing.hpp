#pragma once
// Timing helpers, the shapes' data and the streaming reads shared by the engine benchmarks.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <random>
#include <time.h>
#include <vector>

#include "bench_shapes.hpp"
#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::bench {

using Clock = std::chrono::steady_clock;

// The shape's samples, row-major: standard normal values from a generator
// seeded by the shape.
inline std::vector<double> shape_samples(const Shape& s) {
    std::mt19937_64 gen(s.n * 31 + s.d * 7 + s.k);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> values(s.n * s.d);
    for (double& v : values) v = noise(gen);
    return values;
}

// k centres taken from rows of the shape's samples (row c * 7919 mod n).
inline kmeans::CentreMatrix shape_centres(const std::vector<double>& values, const Shape& s) {
    kmeans::CentreMatrix centres = kmeans::zero_centres(s.k, s.d);
    for (std::size_t c = 0; c < s.k; ++c)
        for (std::size_t j = 0; j < s.d; ++j) centres.row(c)[j] = values[(c * 7919 % s.n) * s.d + j];
    return centres;
}

inline double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

inline double cpu_seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
    double wall = 1e300;  // best wall-clock time
    double cpu = 1e300;  // best processor time of all threads (the machine may be shared)
};

// Best of several runs: at least `runs`, and until about `budget` seconds passed.
template <class F>
Timing best_time(F&& f, int runs = 3, double budget = 1.5) {
    Timing best;
    const auto start = Clock::now();
    for (int r = 0; r < runs || (seconds_since(start) < budget && r < 50); ++r) {
        const double c0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
        const auto t0 = Clock::now();
        f();
        best.wall = std::min(best.wall, seconds_since(t0));
        best.cpu = std::min(best.cpu, cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - c0);
    }
    return best;
}

// Seconds per dependent double addition (the chain a running total is), best of three.
inline double add_latency() {
    constexpr std::size_t kAdds = std::size_t{1} << 26;
    static volatile double sink;
    (void)sink;
    volatile double step = 1e-300;
    const double s = step;
    const Timing t = best_time(
        [&] {
            double acc = 0.0;
            for (std::size_t i = 0; i < kAdds; ++i) acc = acc + s;
            sink = acc;
        },
        3, 0.0);
    return t.wall / static_cast<double>(kAdds);
}

// Sum of v[b, e) with eight independent partial sums, so that the loop runs
// at memory speed.
inline double sum_range(const double* v, std::size_t b, std::size_t e) {
    double s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t i = b;
    for (; i + 8 <= e; i += 8)
        for (int l = 0; l < 8; ++l) s[l] += v[i + l];
    for (; i < e; ++i) s[0] += v[i];
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

// One single-threaded read of every value: the floor of a pass over the samples.
inline double stream_once(const std::vector<double>& values) { return sum_range(values.data(), 0, values.size()); }

// Sum of all values, spread over the pool.
inline double stream_sum(const std::vector<double>& values) {
    const double* v = values.data();
    return runtime::parallel_reduce<double>(
        values.size(), [v](std::size_t b, std::size_t e) { return sum_range(v, b, e); },
        [](double a, double b) { return a + b; });
}

}  // namespace corvalinth::bench
