#pragma once
// What a kernel may ask of a vector traits type beyond the operations every
// kernel uses (listed at the top of exact.hpp, filter64.hpp and filter32.hpp).
#include <cstddef>
#include <type_traits>

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

// Keeps a value the compiler would otherwise read from memory at every use
// in a register, loaded once: a vector register type (not a class, not a
// number) goes through an empty asm statement that claims to change it, so
// that its uses cannot be folded into loads; other types are left as they
// are. Only the choice of instructions changes, never a value.
template <class R>
inline void keep_in_register(R& r) {
    if constexpr (!std::is_class_v<R> && !std::is_arithmetic_v<R>) __asm__("" : "+v"(r));
}

}  // namespace
}  // namespace corvalinth::kmeans::kernels
