// View keys of the shared borrow registry.
#include "arrays/view_key.hpp"

#include <bit>
#include <initializer_list>
#include <limits>
#include <numeric>

#include "arrays/numpy_layout.hpp"

namespace corvalinth::arrays {

namespace {

constexpr std::int64_t kMostNegative = std::numeric_limits<std::int64_t>::min();

std::uint64_t magnitude(std::int64_t v) {
    // Two's complement negation in unsigned arithmetic: exact for INT64_MIN too.
    std::uint64_t u = static_cast<std::uint64_t>(v);
    return v < 0 ? ~u + 1 : u;
}

}  // namespace

std::size_t ViewKeyHash::operator()(const ViewKey& key) const noexcept {
    std::uint64_t h = 0x9e3779b97f4a7c15ull;
    for (std::uint64_t word :
         {static_cast<std::uint64_t>(key.extent_start), static_cast<std::uint64_t>(key.extent_end),
          static_cast<std::uint64_t>(key.data_pointer), static_cast<std::uint64_t>(key.stride_gcd)}) {
        h ^= word + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 33;
    }
    return static_cast<std::size_t>(h);
}

std::int64_t stride_gcd_rule(std::int64_t a, std::int64_t b) noexcept {
    if (a == 0) return static_cast<std::int64_t>(magnitude(b));
    if (b == 0) return static_cast<std::int64_t>(magnitude(a));
    if (a == kMostNegative || b == kMostNegative) {
        const std::uint64_t bits = static_cast<std::uint64_t>(a) | static_cast<std::uint64_t>(b);
        return static_cast<std::int64_t>(std::uint64_t{1} << std::countr_zero(bits));
    }
    return static_cast<std::int64_t>(std::gcd(magnitude(a), magnitude(b)));
}

PyObject* base_owner(PyObject* array, PyTypeObject* ndarray) noexcept {
    PyObject* current = array;
    for (;;) {
        PyObject* base = array_fields(current).base;
        if (base == nullptr) return current;
        if (Py_TYPE(base) != ndarray && !PyType_IsSubtype(Py_TYPE(base), ndarray)) return base;
        current = base;
    }
}

ViewKey view_key(PyObject* array) noexcept {
    const ArrayFields fields = array_fields(array);
    const std::uintptr_t data = reinterpret_cast<std::uintptr_t>(fields.data);
    ViewKey key;
    key.data_pointer = data;
    key.extent_start = data;
    key.extent_end = data;
    const int nd = fields.nd;
    if (nd <= 0) {
        key.stride_gcd = 1;
        return key;
    }

    bool empty = false;
    for (int axis = 0; axis < nd; ++axis) empty = empty || fields.dimensions[axis] == 0;
    if (!empty) {
        // Address arithmetic wraps like the machine's: unsigned throughout.
        std::uintptr_t start = data;
        std::uintptr_t end = data + static_cast<std::uintptr_t>(descr_itemsize(fields.descr));
        for (int axis = 0; axis < nd; ++axis) {
            const std::uintptr_t offset = static_cast<std::uintptr_t>(fields.dimensions[axis] - 1) *
                                          static_cast<std::uintptr_t>(fields.strides[axis]);
            if (static_cast<std::intptr_t>(offset) < 0) {
                start += offset;
            } else {
                end += offset;
            }
        }
        key.extent_start = start;
        key.extent_end = end;
    }

    std::int64_t gcd = fields.strides[0];
    for (int axis = 1; axis < nd; ++axis) gcd = stride_gcd_rule(gcd, fields.strides[axis]);
    key.stride_gcd = gcd;
    return key;
}

bool views_conflict(const ViewKey& a, const ViewKey& b) noexcept {
    if (a.extent_start >= b.extent_end || b.extent_start >= a.extent_end) return false;
    const std::uint64_t divisor = magnitude(stride_gcd_rule(a.stride_gcd, b.stride_gcd));
    // A zero gcd means both views have only zero strides (each is a single
    // element repeated); with overlapping extents they are treated as
    // conflicting, the safe answer.
    if (divisor == 0) return true;
    const std::uint64_t distance =
        a.data_pointer >= b.data_pointer ? a.data_pointer - b.data_pointer : b.data_pointer - a.data_pointer;
    return distance % divisor == 0;
}

}  // namespace corvalinth::arrays
