#pragma once
// The lowering pass of a k-means++ seeding step: every sample's closest
// distance against the newest centre, parallel over samples when the work is
// worth it, reading only the samples that the gap certificate
// (gap_certificate.hpp) cannot rule out while that certificate pays.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/seeding/interrupt_pacer.hpp"

namespace corvalinth::kmeans {

// The running total of closest[] is recorded every kSeedingChunk samples.
inline constexpr std::size_t kSeedingChunk = 1024;

// Per-sample and per-centre state kept across the steps of one seeding.
class SeedingDistances {
public:
    // closest[i] = +infinity for every sample (n distances: the one buffer
    // the seeding needs). The optional buffers are chosen on the first pass;
    // with `keep_owners`, the owners are kept beside the float copy too where
    // the budget leaves room for them (take_owners).
    SeedingDistances(std::size_t n, std::size_t k, bool keep_owners = false);

    // Lowers closest[i] to squared_distance(sample i, centres.row(newest))
    // where that is strictly smaller, exactly as a plain loop over all samples
    // would, and records `newest` as the owner of each lowered sample. Samples
    // are skipped only when certified not to move; the result does not
    // depend on the number of workers. Returns -0.0 plus the left-to-right
    // sum of closest[] (always in sample order, on the calling thread), with
    // ends[c] that sum as it stands after chunk c of kSeedingChunk samples.
    //
    // The pass with newest = 0 (the first) chooses the optional buffers:
    // each sample's owner and each centre's largest owned distance (rows of
    // 16 or more features) and, for rows of 8 or more features and 24 or more
    // centres, a copy of a prefix of the samples in a layout the kernels read
    // faster. For rows of kFloat32MinDims or more features and
    // kFloat32MinCentres or more centres, with gradual underflow, a float copy
    // of a prefix of the samples with their radii (float32_bound.hpp) takes
    // the place of both: later passes measure exactly only the rows its
    // certified lower bound cannot rule out. Together they take at most half
    // the input's size (n x d values); any that does not fit or cannot be
    // allocated is left out, and the pass gives the same result without it.
    double lower(const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest, std::vector<double>& ends);

    // The same, with the copy and the pass cut into pieces of well under a
    // millisecond between which the calling thread runs pacer.stop_now().
    // Returns nothing when that asked to stop; the state is then partly
    // updated and must be discarded.
    std::optional<double> lower(const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest,
                                std::vector<double>& ends, InterruptPacer& pacer);

    const std::vector<double>& closest() const { return closest_; }

    // Samples the last pass could not rule out (for tests and benchmarks).
    std::uint64_t computed_last() const { return computed_last_; }

    // The optional buffers held (for tests): the rows copied (a prefix of
    // the samples, 0 without a copy), whether owners are tracked, and the
    // bytes of both together.
    std::size_t copied_rows() const { return panel_rows_; }
    // The rows of the float copy (a prefix of the samples, 0 without it).
    std::size_t float_rows() const { return float_rows_; }
    bool owners_tracked() const { return tracked_; }
    // Whether every pass keeps the owners (tracked, or kept for take_owners).
    bool owners_kept() const { return static_cast<bool>(owner_); }
    std::size_t optional_bytes() const;

    // Every sample's owner after the passes run so far, or null when none was
    // kept: after the passes with newest = 0, 1, ..., c it is the lowest index
    // among centres 0 to c at the sample's closest distance (0 when every
    // distance is NaN or +infinity), the nearest centre as the labelling
    // names it. Later passes keep no owners.
    std::unique_ptr<std::uint32_t[]> take_owners();

private:
    class Pass;
    // Chooses and allocates the optional buffers for rows of d features.
    void choose_buffers(std::size_t d);

    std::size_t k_;
    bool keep_owners_ = false;
    std::vector<double> closest_;
    // The first panel_rows_ samples copied panel by panel, or null (see the .cpp).
    std::unique_ptr<double[]> panel_;
    std::size_t panel_rows_ = 0;
    std::size_t panel_cols_ = 0;
    // The first float_rows_ samples less the offset rounded to bfloat16, in
    // panels of kernels::kSeedingPanelRows rows stored feature by feature,
    // each row's radius, room for the newest centre's float copy, and the
    // offset (choose_offset); or null.
    std::unique_ptr<std::uint16_t[]> float_panel_;
    std::unique_ptr<double[]> float_radius_;
    std::unique_ptr<float[]> float_centre_;
    std::unique_ptr<double[]> float_offset_;
    std::size_t float_rows_ = 0;
    // Owners tracked for the gap certificate (with owned_max_ and gap_);
    // owner_ alone where they are only kept for take_owners.
    bool tracked_ = false;
    std::unique_ptr<std::uint32_t[]> owner_;
    // Upper bound of closest[i] over the samples that centre c owns.
    std::unique_ptr<double[]> owned_max_;
    // Per chosen centre for the current pass: the computed gap to the newest
    // centre, +infinity when all its samples are certified, or -1 when none
    // can be.
    std::unique_ptr<double[]> gap_;
    // Per chunk of a piece of a pass on the pool: set once its samples are
    // lowered (the running total follows the lowering), or null.
    std::unique_ptr<std::atomic<std::uint8_t>[]> chunk_done_;
    std::uint64_t computed_last_ = 0;
    // Share of the samples the last certified pass had to read.
    double certified_share_ = 1.0;
};

}  // namespace corvalinth::kmeans
