// The engine's test-only controls and counters.
#include "kmeans/testing/knobs.hpp"

#include <atomic>

namespace corvalinth::kmeans::testing {
namespace {

std::atomic<double> g_margin_scale{1.0};
std::atomic<double> g_margin32_relative{1.0};
std::atomic<double> g_margin32_absolute{1.0};
std::atomic<std::size_t> g_decided32{0};
std::atomic<double> g_exact_bound_scale{1.0};
std::atomic<ExactBoundsInFits> g_exact_bounds_in_fits{ExactBoundsInFits::ByWidth};
std::atomic<double> g_move_scale{1.0};
std::atomic<std::size_t> g_block_bytes{0};
std::atomic<std::uint64_t> g_kept{0};
std::atomic<unsigned> g_failing_seeding{0};
std::atomic<double> g_seeding_f32_scale{1.0};
std::atomic<UpdateKernel> g_update_kernel{UpdateKernel::Automatic};
std::atomic<MaskedSums> g_masked_sums{MaskedSums::Automatic};
std::atomic<bool> g_failing_pass_space{false};
std::atomic<UnchangedClusters> g_unchanged{UnchangedClusters::Automatic};
std::atomic<SeededLabels> g_seeded_labels{SeededLabels::Automatic};
std::atomic<std::uint64_t> g_seeded_passes{0};
std::atomic<bool> g_vector_keep{true};
std::atomic<std::uint64_t> g_kept_centres{0};
std::atomic<std::uint64_t> g_reused_distances{0};
// Seeding checks for interrupts no more often than this.
constexpr std::chrono::microseconds kSeedingCheckInterval{2000};
std::atomic<std::int64_t> g_check_interval_us{kSeedingCheckInterval.count()};

}  // namespace

void set_filter_margin_scale(double scale) { g_margin_scale.store(scale, std::memory_order_relaxed); }
double filter_margin_scale() { return g_margin_scale.load(std::memory_order_relaxed); }

void set_filter32_margin_scales(double relative, double absolute) {
    g_margin32_relative.store(relative, std::memory_order_relaxed);
    g_margin32_absolute.store(absolute, std::memory_order_relaxed);
}
double filter32_relative_scale() { return g_margin32_relative.load(std::memory_order_relaxed); }
double filter32_absolute_scale() { return g_margin32_absolute.load(std::memory_order_relaxed); }

std::size_t filter32_decided_total() { return g_decided32.load(std::memory_order_relaxed); }
void count_filter32_decided(std::size_t count) { g_decided32.fetch_add(count, std::memory_order_relaxed); }

void set_exact_bound_margin_scale(double scale) { g_exact_bound_scale.store(scale, std::memory_order_relaxed); }
double exact_bound_margin_scale() { return g_exact_bound_scale.load(std::memory_order_relaxed); }
void set_exact_bounds_in_fits(ExactBoundsInFits when) { g_exact_bounds_in_fits.store(when, std::memory_order_relaxed); }
ExactBoundsInFits exact_bounds_in_fits() { return g_exact_bounds_in_fits.load(std::memory_order_relaxed); }

void set_move_scale(double scale) { g_move_scale.store(scale, std::memory_order_relaxed); }
double move_scale() { return g_move_scale.load(std::memory_order_relaxed); }

void set_pass_block_bytes(std::size_t bytes) { g_block_bytes.store(bytes, std::memory_order_relaxed); }
std::size_t pass_block_bytes() { return g_block_bytes.load(std::memory_order_relaxed); }

void set_update_kernel(UpdateKernel kernel) { g_update_kernel.store(kernel, std::memory_order_relaxed); }
UpdateKernel update_kernel() { return g_update_kernel.load(std::memory_order_relaxed); }

void set_failing_seeding_buffers(unsigned which) { g_failing_seeding.store(which, std::memory_order_relaxed); }
unsigned failing_seeding_buffers() { return g_failing_seeding.load(std::memory_order_relaxed); }

void set_seeding_f32_margin_scale(double scale) { g_seeding_f32_scale.store(scale, std::memory_order_relaxed); }
double seeding_f32_margin_scale() { return g_seeding_f32_scale.load(std::memory_order_relaxed); }
void set_failing_pass_space(bool failing) { g_failing_pass_space.store(failing, std::memory_order_relaxed); }
bool failing_pass_space() { return g_failing_pass_space.load(std::memory_order_relaxed); }

void set_seeding_check_interval(std::chrono::microseconds interval) {
    g_check_interval_us.store(interval.count() < 0 ? kSeedingCheckInterval.count() : interval.count(),
                              std::memory_order_relaxed);
}
std::chrono::microseconds seeding_check_interval() {
    return std::chrono::microseconds{g_check_interval_us.load(std::memory_order_relaxed)};
}

std::uint64_t kept_label_count() { return g_kept.load(std::memory_order_relaxed); }
void count_kept_labels(std::uint64_t count) { g_kept.fetch_add(count, std::memory_order_relaxed); }

void set_masked_sums(MaskedSums how) { g_masked_sums.store(how, std::memory_order_relaxed); }
MaskedSums masked_sums() { return g_masked_sums.load(std::memory_order_relaxed); }
void set_seeded_labels(SeededLabels when) { g_seeded_labels.store(when, std::memory_order_relaxed); }
SeededLabels seeded_labels() { return g_seeded_labels.load(std::memory_order_relaxed); }
std::uint64_t seeded_pass_count() { return g_seeded_passes.load(std::memory_order_relaxed); }
void count_seeded_pass() { g_seeded_passes.fetch_add(1, std::memory_order_relaxed); }
void set_unchanged_clusters(UnchangedClusters when) { g_unchanged.store(when, std::memory_order_relaxed); }
UnchangedClusters unchanged_clusters() { return g_unchanged.load(std::memory_order_relaxed); }
void set_vector_keep_test(bool on) { g_vector_keep.store(on, std::memory_order_relaxed); }
bool vector_keep_test() { return g_vector_keep.load(std::memory_order_relaxed); }
std::uint64_t kept_centre_count() { return g_kept_centres.load(std::memory_order_relaxed); }
void count_kept_centres(std::uint64_t count) { g_kept_centres.fetch_add(count, std::memory_order_relaxed); }
std::uint64_t reused_distance_count() { return g_reused_distances.load(std::memory_order_relaxed); }
void count_reused_distances(std::uint64_t count) {
    if (count != 0) g_reused_distances.fetch_add(count, std::memory_order_relaxed);
}

}  // namespace corvalinth::kmeans::testing
