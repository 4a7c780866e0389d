// The bound the exact kernels leave: the second smallest distance, less its rounding.
#include "kmeans/assignment/exact_bounds.hpp"

#include <algorithm>
#include <cmath>

#include "kmeans/testing/knobs.hpp"
#include "runtime/cpu/float_mode.hpp"

namespace corvalinth::kmeans {

namespace {

// The two factors of the bound for rows of `dims` coordinates: kappa = 1 -
// (2d + 16)u covers (E1)'s rounding of the distances and the product's; the
// second the root's and its own.
struct SecondFactors {
    double low;
    double root;
};

SecondFactors second_factors(std::size_t dims) {
    const double d = static_cast<double>(dims);
    const double scale = testing::exact_bound_margin_scale();
    return {1.0 - scale * ((2.0 * d + 16.0) * 0x1p-53), 1.0 - scale * 0x1p-50};
}

double bound_from_second(double second, const SecondFactors& f) {
    // Far from underflow; NaN and +inf fail too.
    if (!(second > 0x1p-900 && second < __builtin_inf())) return 0.0;
    return std::sqrt(second * f.low) * f.root;
}

}  // namespace

double lower_bound_from_second(double second, std::size_t dims) {
    return bound_from_second(second, second_factors(dims));
}

void exact_labels_with_bounds(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel,
                              std::uint64_t* out, double* lower, const kernels::KernelTable& table) {
    if (begin >= end) return;
    // The distances' error bound assumes gradual underflow.
    if (runtime::subnormals_flushed()) {
        nearest_centres(x, begin, end, panel, out, table);
        std::fill(lower, lower + (end - begin), 0.0);
        return;
    }
    nearest_centres_with_second(x, begin, end, panel, out, lower, table);
    // The factors once per call (the margin's scale is fixed while a pass runs).
    const SecondFactors factors = second_factors(panel.dims());
    for (std::size_t i = 0; i < end - begin; ++i) lower[i] = bound_from_second(lower[i], factors);
}

}  // namespace corvalinth::kmeans
