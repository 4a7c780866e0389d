#pragma once
// Identity of a borrowed view of NumPy memory: the memory's owner object and
// the view's extent, data pointer and stride gcd, plus the test that tells
// whether two views of one owner may share an element.
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace corvalinth::arrays {

struct ViewKey {
    std::uintptr_t extent_start = 0;  // elements lie in [extent_start, extent_end)
    std::uintptr_t extent_end = 0;
    std::uintptr_t data_pointer = 0;
    std::intptr_t stride_gcd = 0;

    friend bool operator==(const ViewKey&, const ViewKey&) = default;
};

struct ViewKeyHash {
    std::size_t operator()(const ViewKey& key) const noexcept;
};

// gcd of two signed 64-bit values: |other| when one is 0; 2^(trailing zeros of
// a|b) when one is INT64_MIN (2^63 wraps to INT64_MIN); otherwise gcd(|a|, |b|).
std::int64_t stride_gcd_rule(std::int64_t a, std::int64_t b) noexcept;

// The object whose memory `array` uses: follow `base` while it is an ndarray;
// the last ndarray when its base is null, else the first non-ndarray base.
PyObject* base_owner(PyObject* array, PyTypeObject* ndarray) noexcept;

// The key of an ndarray, from its dimensions, byte strides, data pointer and item size.
ViewKey view_key(PyObject* array) noexcept;

// True when the extents overlap and the data pointers differ by a multiple of
// the combined stride gcd. A false answer proves that no element is shared.
bool views_conflict(const ViewKey& a, const ViewKey& b) noexcept;

}  // namespace corvalinth::arrays
