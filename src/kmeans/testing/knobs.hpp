#pragma once
// Test-only controls and counters of the engine, all in one place. Fault
// injection scales a certified margin or bound: with a scale below 1 the fast
// paths are no longer proven exact, and tests check that they then do go
// wrong on data built for it. The counters let tests see that a fast path ran.
// Every knob is process-wide and keeps its default (1, or the built-in size)
// unless a test sets it; none is meant to change while a pass is running.
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::testing {

// The float64 filter's margin.
void set_filter_margin_scale(double scale);
double filter_margin_scale();

// The float32 stage's margin: its relative part (from the norms) and its
// absolute part (underflow) scaled apart.
void set_filter32_margin_scales(double relative, double absolute);
double filter32_relative_scale();
double filter32_absolute_scale();

// Samples decided by the float32 stage since the process started, over all
// threads (updated once per range).
std::size_t filter32_decided_total();
void count_filter32_decided(std::size_t count);

// The margin of the bound the exact kernels leave (the rounding of the
// distances, the root and the products): 0 drops it.
void set_exact_bound_margin_scale(double scale);
double exact_bound_margin_scale();

// Where a fit has the exact kernels leave bounds (the bounds the filter
// leaves are kept either way): on rows of 8 or more features (the default),
// on every width, or never.
enum class ExactBoundsInFits { ByWidth, Always, Never };
void set_exact_bounds_in_fits(ExactBoundsInFits when);
ExactBoundsInFits exact_bounds_in_fits();

// Whether the keep test runs in the vector kernels (the default: on rows of
// up to 7 features with the distances, on wider rows from the distances
// measured) or in the scalar code alone. Both give the same bits; tests
// compare them.
void set_vector_keep_test(bool on);
bool vector_keep_test();

// The centres' movement bound of the carried bounds.
void set_move_scale(double scale);
double move_scale();

// Bytes of samples per block of the fit pass, so that small inputs run
// through many blocks; 0 (the default) leaves the size to the pass.
void set_pass_block_bytes(std::size_t bytes);
std::size_t pass_block_bytes();

// Which kernel adds rows of up to 8 features into the centre sums: chosen
// from the labels and the shape (Automatic, the default), the plain one
// always, the one that adds a run of equal labels at a time always, or the
// one that holds the sums in registers wherever they fit (the plain one
// elsewhere), or the one that carries the current cluster's sums in a register
// wherever it fits (the plain one elsewhere). All give the same bits; tests
// force each in turn.
enum class UpdateKernel : unsigned { Automatic, Plain, Runs, Registers, Carried };
void set_update_kernel(UpdateKernel kernel);
UpdateKernel update_kernel();

// How the sums of the flagged clusters alone are found when the update is
// split by features: chosen from the length of the call (Automatic, the
// default), each block of features scanning every label itself (Scanned), or
// the flagged samples listed once, on all workers, and walked by every block
// (Listed, wherever the list can be had). All give the same bits; tests force
// each in turn.
enum class MaskedSums : unsigned { Automatic, Scanned, Listed };
void set_masked_sums(MaskedSums how);
MaskedSums masked_sums();

// The seeding's optional buffers, one bit each: while a bit is set, that
// buffer's allocation fails as if memory were exhausted (the seeding then
// runs without it). 0 restores normal allocation.
enum SeedingBuffer : unsigned {
    kSeedingSampleCopy = 1u,  // the copy of the samples in panels
    kSeedingOwners = 2u,  // each sample's owning centre and each centre's largest owned distance
    kSeedingChunkFlags = 4u,  // the flags by which the running total follows a pass on the pool
    kSeedingFloat32 = 8u,  // the float copy of the samples, their radii and the centre's float copy
};
void set_failing_seeding_buffers(unsigned which);
unsigned failing_seeding_buffers();

// Every margin of the seeding's float32 lower bound (the float rounding, the
// radii, the float64 rounding, the underflow terms).
void set_seeding_f32_margin_scale(double scale);
double seeding_f32_margin_scale();
// While set, the working space of a fit pass's ranges (kept across passes)
// cannot grow, as if memory were exhausted: ranges then label every piece
// whole, without the carried bounds' keep test.
void set_failing_pass_space(bool failing);
bool failing_pass_space();

// The least time between two interrupt checks of the seeding; a negative
// value restores the default.
void set_seeding_check_interval(std::chrono::microseconds interval);
std::chrono::microseconds seeding_check_interval();

// Samples that kept their label without being scored, since the process began.
std::uint64_t kept_label_count();
void count_kept_labels(std::uint64_t count);

// Whether a fit's first pass takes the labels the seeding leaves where it
// kept each sample's owning centre: from 256 centres (Automatic, the
// default), on every fit (Always), or never (the pass labels the samples
// itself). Every choice gives the same bits; tests compare them.
enum class SeededLabels : unsigned { Automatic, Always, Never };
void set_seeded_labels(SeededLabels when);
SeededLabels seeded_labels();
// Sets the choice for a scope, Automatic again after it.
struct ScopedSeededLabels {
    explicit ScopedSeededLabels(SeededLabels when) { set_seeded_labels(when); }
    ~ScopedSeededLabels() { set_seeded_labels(SeededLabels::Automatic); }
    ScopedSeededLabels(const ScopedSeededLabels&) = delete;
    ScopedSeededLabels& operator=(const ScopedSeededLabels&) = delete;
};
// First passes that took the seeding's labels, since the process began.
std::uint64_t seeded_pass_count();
void count_seeded_pass();

// Clusters no sample joined or left in a pass: whether a fit follows them
// and sums only the other clusters after the labelling, reusing the
// distances it measured for such clusters' samples. Automatic (the default):
// on rows of 8 or more features, summing after the labelling when the last
// pass suggests it pays; Always: on every width, after every pass; Never.
// Every choice gives the same bits; tests force each in turn.
enum class UnchangedClusters : unsigned { Automatic, Always, Never };
void set_unchanged_clusters(UnchangedClusters when);
UnchangedClusters unchanged_clusters();
// Centres a fit took over unchanged instead of summing their clusters, and
// distances it reused instead of measuring them, since the process began.
std::uint64_t kept_centre_count();
void count_kept_centres(std::uint64_t count);
std::uint64_t reused_distance_count();
void count_reused_distances(std::uint64_t count);

}  // namespace corvalinth::kmeans::testing
