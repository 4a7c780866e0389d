#pragma once
// The seeding's float32 distances, written once over a float vector traits
// type V (load, set1, sub, add, mul_add, store) and instantiated by each
// variant's translation unit.
//
// The float copy of the samples is stored in panels of kSeedingPanelRows rows,
// feature by feature (panel[j * kSeedingPanelRows + r] = coordinate j of row
// r), so the lanes hold samples and no lanes are summed across. For every row
// r of every panel, out = the float sum of the squares fl32(x'_j - c'_j)^2
// over the dims coordinates, fused or not, the even and the odd coordinates in
// separate partial sums: any order of a float sum of exactly `dims` squares of
// rounded differences is what the lower bound built on it covers
// (docs/proofs/seeding-float32.md, section 3).
#include <cstddef>

#include "kmeans/kernels/kernel_table.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

template <class V>
struct Seeding32Kernel {
    using reg = typename V::reg;
    static constexpr std::size_t L = V::lanes;
    static constexpr std::size_t NV = kSeedingPanelRows / L;
    static_assert(NV * L == kSeedingPanelRows);

    // out[p * kSeedingPanelRows + r] for panels p < panels; dims >= 1.
    static void distances(const float* panels, std::size_t panels_count, std::size_t dims, const float* centre,
                          float* out) {
        constexpr std::size_t P = kSeedingPanelRows;
        for (std::size_t p = 0; p < panels_count; ++p) {
            const float* base = panels + p * P * dims;
            reg even[NV], odd[NV];
            for (std::size_t v = 0; v < NV; ++v) {
                even[v] = V::set1(0.0f);
                odd[v] = V::set1(0.0f);
            }
            std::size_t j = 0;
            for (; j + 2 <= dims; j += 2) {
                const reg c0 = V::set1(centre[j]);
                const reg c1 = V::set1(centre[j + 1]);
                for (std::size_t v = 0; v < NV; ++v) {
                    const reg d0 = V::sub(V::load(base + j * P + v * L), c0);
                    even[v] = V::mul_add(d0, d0, even[v]);
                    const reg d1 = V::sub(V::load(base + (j + 1) * P + v * L), c1);
                    odd[v] = V::mul_add(d1, d1, odd[v]);
                }
            }
            if (j < dims) {
                const reg c0 = V::set1(centre[j]);
                for (std::size_t v = 0; v < NV; ++v) {
                    const reg d0 = V::sub(V::load(base + j * P + v * L), c0);
                    even[v] = V::mul_add(d0, d0, even[v]);
                }
            }
            for (std::size_t v = 0; v < NV; ++v) V::store(out + p * P + v * L, V::add(even[v], odd[v]));
        }
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
