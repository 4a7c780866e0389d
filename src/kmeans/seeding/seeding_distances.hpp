#pragma once
// The lowering pass of a k-means++ seeding step: every sample's closest
// distance against the newest centre, parallel over samples when the work is
// worth it, reading only the samples that the gap certificate
// (gap_certificate.hpp) cannot rule out while that certificate pays.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"

namespace corvalinth::kmeans {

// The running total of closest[] is recorded every kSeedingChunk samples.
inline constexpr std::size_t kSeedingChunk = 1024;

// Per-sample and per-centre state kept across the steps of one seeding.
class SeedingDistances {
public:
    // closest[i] = +infinity for every sample, no owner yet. Allocates n
    // distances, n owners (rows of 16 or more features), k per-centre values
    // and, for rows of 8 or more features and 24 or more centres, a copy of
    // the samples in a layout the kernels read faster (up to 1 GiB).
    SeedingDistances(std::size_t n, std::size_t k);

    // Lowers closest[i] to squared_distance(sample i, centres.row(newest))
    // where that is strictly smaller, exactly as a plain loop over all samples
    // would, and records `newest` as the owner of each lowered sample. Samples
    // are skipped only when certified not to move; the result does not
    // depend on the number of workers. Returns -0.0 plus the left-to-right
    // sum of closest[] (always in sample order, on the calling thread), with
    // ends[c] that sum as it stands after chunk c of kSeedingChunk samples.
    double lower(const SampleMatrix& x, const CentreMatrix& centres, std::size_t newest, std::vector<double>& ends);

    const std::vector<double>& closest() const { return closest_; }

    // Samples the last pass could not rule out (for tests and benchmarks).
    std::uint64_t computed_last() const { return computed_last_; }

private:
    class Pass;
    std::size_t k_;
    std::vector<double> closest_;
    // The samples copied panel by panel, or empty (see the .cpp).
    std::vector<double> panel_;
    std::vector<std::uint32_t> owner_;
    // Upper bound of closest[i] over the samples that centre c owns.
    std::vector<double> owned_max_;
    // Per chosen centre for the current pass: the computed gap to the newest
    // centre, +infinity when all its samples are certified, or -1 when none
    // can be.
    std::vector<double> gap_;
    std::uint64_t computed_last_ = 0;
    // Share of the samples the last certified pass had to read.
    double certified_share_ = 1.0;
};

}  // namespace corvalinth::kmeans
