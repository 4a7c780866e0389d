#pragma once
// Fast nearest-centre assignment. Each distance keeps the exact left-to-right
// arithmetic of squared_distance; only the evaluation order across samples and
// centres changes (one SIMD lane per centre, several samples per block), so
// labels are bit-identical to nearest_centre. The variant (AVX-512, AVX2 or
// portable) is chosen once at run time from the processor's features.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kmeans/model.hpp"
#include "kmeans/sample_matrix.hpp"

namespace corvalinth::kmeans {

// Centres prepared for the kernels (transposed and padded), built once per
// assignment pass. Uses the first `dims` coordinates of every centre;
// dims <= centres.cols.
class CentrePanel {
public:
    CentrePanel(const CentreMatrix& centres, std::size_t dims);
    ~CentrePanel();
    CentrePanel(CentrePanel&&) noexcept;
    CentrePanel& operator=(CentrePanel&&) noexcept;
    std::size_t k() const;
    std::size_t dims() const;

    struct Impl;
    const Impl& impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// For every row i in [begin, end) of x (its first panel.dims() coordinates),
// out[i - begin] = index of the nearest centre.
void nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel,
                     std::uint64_t* out);
void nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel,
                     std::int32_t* out);

// out[i] = squared_distance(row i of x, centre) for every row of x, using the
// first `dims` coordinates of both; vectorised across samples (seeding).
void distances_to_centre(const SampleMatrix& x, const double* centre, std::size_t dims, double* out);

// Name of the variant in use ("avx512", "avx2" or "portable"), for benchmarks.
const char* nearest_kernel_variant();

}  // namespace corvalinth::kmeans
