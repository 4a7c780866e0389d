// The seeding's float32 lower bound: range guard, float copies with their radii, constants.
#include "kmeans/seeding/float32_bound.hpp"

#include <algorithm>
#include <array>

#include "kmeans/kernels/bfloat16.hpp"
#include "kmeans/testing/knobs.hpp"

namespace corvalinth::kmeans {
namespace {

// The radius of a row less the offset, its coordinates rounded by
// round(j, a) (which stores the copy of a = row_j - offset_j and returns its
// value).
template <class Round>
double round_row(const double* row, std::ptrdiff_t stride, const double* offset, std::size_t d, double limit,
                 Round&& round) {
    kernels::CopyError error;
    for (std::size_t j = 0; j < d; ++j) {
        // Rounded: its error is bounded through the norm.
        const double a = row[static_cast<std::ptrdiff_t>(j) * stride] - offset[j];
        error.add(a, round(j, a), limit);
    }
    return error.radius();
}

}  // namespace

double float32_limit(std::size_t d) {
    int log2_d = 0;  // ceil(log2 d)
    while ((std::size_t{1} << log2_d) < d) ++log2_d;
    return std::ldexp(1.0, (122 - log2_d) / 2);
}

double round_to_float32(const double* row, std::ptrdiff_t stride, const double* offset, std::size_t d, float* out,
                        std::ptrdiff_t out_stride, double limit) {
    return round_row(row, stride, offset, d, limit, [&](std::size_t j, double a) {
        const float f = static_cast<float>(a);
        out[static_cast<std::ptrdiff_t>(j) * out_stride] = f;
        return static_cast<double>(f);
    });
}

double round_to_bfloat16(const double* row, std::ptrdiff_t stride, const double* offset, std::size_t d,
                         std::uint16_t* out, std::ptrdiff_t out_stride, double limit) {
    return round_row(row, stride, offset, d, limit, [&](std::size_t j, double a) {
        const std::uint16_t h = kernels::to_bfloat16(a);
        out[static_cast<std::ptrdiff_t>(j) * out_stride] = h;
        return static_cast<double>(kernels::from_bfloat16(h));
    });
}

void choose_offset(const SampleMatrix& x, double limit, double* offset) {
    const std::size_t n = x.n_rows;
    const std::size_t count = n < kOffsetSamples ? n : kOffsetSamples;
    std::array<double, kOffsetSamples> values;
    for (std::size_t j = 0; j < x.n_cols; ++j) {
        std::size_t m = 0;
        for (std::size_t t = 0; t < count; ++t) {
            const double v = x.at(count < 2 ? 0 : t * (n - 1) / (count - 1), j);
            if (std::isfinite(v)) values[m++] = v;
        }
        double middle = 0.0;
        if (m > 0) {
            std::nth_element(values.begin(), values.begin() + (m - 1) / 2, values.begin() + m);
            middle = values[(m - 1) / 2];
        }
        offset[j] = middle <= limit && middle >= -limit ? middle : 0.0;
    }
}

Float32Margin float32_margin(std::size_t d) {
    const double scale = testing::seeding_f32_margin_scale();
    const double dd = static_cast<double>(d);
    return {1.0 - scale * ((2.0 * dd + 4.0) * 0x1p-24), scale * (dd * 0x1p-148), scale,
            1.0 - scale * ((dd + 8.0) * 0x1p-52), scale * 0x1p-1000};
}

}  // namespace corvalinth::kmeans
