#pragma once
// Exact nearest-centre labels at the speed of a dot-product kernel. A cheap
// score (the expanded form of the squared distance on centred data) is
// computed for every centre; a centre whose score lies further above the best
// score than the certified error bound cannot be the exact nearest centre. A
// sample whose best centre is alone inside the bound takes it; any other
// sample (near ties, exact ties, NaN, infinite or huge coordinates) is decided
// by the exact kernels. The labels are therefore exactly those of
// nearest_centre. Where the panel has a float32 stage (twice the lanes per
// instruction) it runs first and hands the samples it cannot decide to the
// float64 filter. Derivation of the bounds: docs/proofs/filter.md and
// docs/proofs/float32-stage.md.
#include <cstddef>
#include <cstdint>

#include "kmeans/assignment/filter_panel.hpp"
#include "kmeans/assignment/filter_scratch.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/kernel_table.hpp"

namespace corvalinth::kmeans {

// What a filtered labelling may leave besides the labels, each optional.
struct FilterOutputs {
    // lower[i - begin]: for a sample a filter decided, a certified lower
    // bound on its true distance to every centre but its own; 0 for the others.
    double* lower = nullptr;
    // The tile buffers come from here (one per thread) instead of the call.
    FilterScratch* scratch = nullptr;
    // How many samples the float32 stage decided.
    std::size_t* decided32 = nullptr;
};

// out[i - begin] = nearest_centre of row i, for i in [begin, end) (Label is
// std::uint64_t or std::int32_t): the float32 stage first when the panel has
// one; the samples it leaves undecided gathered a tile at a time for the
// float64 scores; what those leave undecided to the exact kernel over
// `exact` (built over the same centres and dims). Every kernel comes from
// `table`. Returns how many samples the filters decided alone. When a buffer
// cannot be allocated, or this thread flushes subnormals to zero, the float64
// filter alone or the exact kernel labels the range.
template <class Label>
std::size_t filtered_nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end,
                                     const FilterPanel& filter, const CentrePanel& exact, Label* out,
                                     const FilterOutputs& outputs = {},
                                     const kernels::KernelTable& table = kernels::selected_kernels());

}  // namespace corvalinth::kmeans
