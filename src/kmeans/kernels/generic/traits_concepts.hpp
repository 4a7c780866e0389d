#pragma once
// What a kernel may ask of a vector traits type beyond the operations every
// kernel uses (listed at the top of exact.hpp, filter64.hpp and filter32.hpp).
#include <cstddef>

namespace corvalinth::kmeans::kernels {
namespace {

// load_block(p, stride, cols): a lanes x lanes block of rows p + t * stride,
// transposed, so that lane t of cols[c] = p[t * stride + c].
template <class V>
concept HasLoadBlock =
    requires(const double* p, std::ptrdiff_t stride, typename V::reg* cols) { V::load_block(p, stride, cols); };

// transpose(rows, cols): lanes registers transposed, so that lane t of
// cols[c] = lane c of rows[t].
template <class V>
concept HasTranspose = requires(const typename V::reg* rows, typename V::reg* cols) { V::transpose(rows, cols); };

}  // namespace
}  // namespace corvalinth::kmeans::kernels
