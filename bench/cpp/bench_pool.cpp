// Worker-pool overheads: the hand-off of an empty loop over 2 indices and a
// per-index loop over 1e6 trivial items, for a pool of 1 worker and one of
// as many workers as processors. Prints medians side by side.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "runtime/cpu/cpu_count.hpp"
#include "runtime/pool/pool_testing.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace rt = corvalinth::runtime;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
    double median_us;
    double p90_us;
};

template <class Body>
Figures time_runs(int runs, Body&& body) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        body();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 9 / 10]};
}

Figures empty_handoff() {
    volatile std::size_t sink = 0;
    for (int i = 0; i < 2000; ++i) rt::parallel_for(2, [&](std::size_t b, std::size_t) { sink = b; });
    return time_runs(20000, [&] { rt::parallel_for(2, [&](std::size_t b, std::size_t) { sink = b; }); });
}

Figures million_items(std::vector<std::uint64_t>& out) {
    const auto body = [&] {
        rt::parallel_for(out.size(), [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) out[i] = i * 3 + 1;
        });
    };
    for (int i = 0; i < 5; ++i) body();
    return time_runs(200, body);
}

Figures million_items_sequential(std::vector<std::uint64_t>& out) {
    return time_runs(200, [&] {
        std::uint64_t* volatile data = out.data();
        for (std::size_t i = 0; i < out.size(); ++i) data[i] = i * 3 + 1;
    });
}

}  // namespace

int main() {
    const std::size_t nproc = rt::cpu_count().value_or(1);
    std::vector<std::size_t> sizes = {1};
    if (nproc > 1) sizes.push_back(nproc);

    std::vector<Figures> handoff, items;
    std::vector<std::uint64_t> out(1000000);
    for (std::size_t threads : sizes) {
        rt::testing::ScopedPool scoped(rt::testing::make_private_pool(threads));
        handoff.push_back(empty_handoff());
        items.push_back(million_items(out));
    }
    const Figures sequential = million_items_sequential(out);
    const Figures global = empty_handoff();

    std::printf("worker pool (cpu count %zu, global pool %zu workers)\n", nproc, rt::pool_thread_count());
    std::printf("%-34s", "");
    for (std::size_t threads : sizes) std::printf("   T=%-2zu median      p90", threads);
    std::printf("\n%-34s", "empty loop, n=2 (us)");
    for (const auto& f : handoff) std::printf("  %10.2f %10.2f", f.median_us, f.p90_us);
    std::printf("\n%-34s", "per-index loop, n=1e6 (us)");
    for (const auto& f : items) std::printf("  %10.1f %10.1f", f.median_us, f.p90_us);
    std::printf("\n%-34s  %10.1f %10.1f\n", "sequential loop, n=1e6 (us)", sequential.median_us, sequential.p90_us);
    std::printf("%-34s  %10.2f %10.2f\n", "empty loop on the global pool (us)", global.median_us, global.p90_us);
    return 0;
}
