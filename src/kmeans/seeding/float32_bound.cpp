// The seeding's float32 lower bound: range guard, float copies with their radii, constants.
#include "kmeans/seeding/float32_bound.hpp"

#include "kmeans/testing/knobs.hpp"

namespace corvalinth::kmeans {

double float32_limit(std::size_t d) {
    int log2_d = 0;  // ceil(log2 d)
    while ((std::size_t{1} << log2_d) < d) ++log2_d;
    return std::ldexp(1.0, (122 - log2_d) / 2);
}

double round_to_float32(const double* row, std::ptrdiff_t stride, std::size_t d, float* out, std::ptrdiff_t out_stride,
                        double limit) {
    bool inside = true;
    double sum = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double x = row[static_cast<std::ptrdiff_t>(j) * stride];
        const float f = static_cast<float>(x);
        const double back = f;
        inside = inside && (back <= limit && back >= -limit);
        // Exact (Sterbenz, or back = 0); only the square rounds.
        const double diff = x - back;
        sum = sum + diff * diff;
        out[static_cast<std::ptrdiff_t>(j) * out_stride] = f;
    }
    if (!inside) return __builtin_inf();
    // kappa = 1 + 2^-30 and F = 2^-500 (section 2 of the proof).
    return std::sqrt(sum) * (1.0 + 0x1p-30) + 0x1p-500;
}

Float32Margin float32_margin(std::size_t d) {
    const double scale = testing::seeding_f32_margin_scale();
    const double dd = static_cast<double>(d);
    return {1.0 - scale * ((2.0 * dd + 4.0) * 0x1p-24), scale * (dd * 0x1p-148), scale,
            1.0 - scale * ((dd + 8.0) * 0x1p-52), scale * 0x1p-1000};
}

}  // namespace corvalinth::kmeans
