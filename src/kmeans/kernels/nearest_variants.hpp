#pragma once
// The individual nearest-centre kernel variants behind nearest_kernels.hpp.
// Normal callers use the dispatching functions there; tests and benchmarks
// call a variant directly to compare it with the reference.
#include <cstddef>
#include <cstdint>

#include "kmeans/nearest_kernels.hpp"
#include "kmeans/sample_matrix.hpp"

namespace corvalinth::kmeans {

enum class NearestKernelVariant { portable, avx2, avx512 };

// Whether this processor can run the variant.
bool nearest_kernel_available(NearestKernelVariant variant);
const char* nearest_kernel_name(NearestKernelVariant variant);

// The variant chosen for this processor (the best available one).
NearestKernelVariant nearest_kernel_selected();

// Same contracts as nearest_centres and distances_to_centre, run by the given
// variant. Throws InternalFailure when the variant is not available here.
void nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin,
                          std::size_t end, const CentrePanel& panel, std::uint64_t* out);
void nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin,
                          std::size_t end, const CentrePanel& panel, std::int32_t* out);
void distances_to_centre_with(NearestKernelVariant variant, const SampleMatrix& x, const double* centre,
                              std::size_t dims, double* out);

}  // namespace corvalinth::kmeans
