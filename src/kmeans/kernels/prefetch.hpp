#pragma once
// Software prefetch of the lines of rows read side by side: into the
// second-level cache, not the first.
//
// A tile of the exact kernels (scattered listed rows, or the rows of a tile
// of own-centre distances) and the seeding's first pass over a panel of its
// float copy read 32 rows at once, each with a line in flight. Fetched into
// the first level these fetches crowd its few fill buffers; the second level
// keeps many more in flight and the tile reads close to twice as fast
// (docs/tuning.md).

#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::kernels {

// Fetches into the second-level cache the line `values` doubles on from p,
// which may lie past the samples: the address is computed as an integer, not
// a pointer into them, and a prefetch reads nothing into the arithmetic.
inline void prefetch_row_line(const double* p, std::ptrdiff_t values) {
    const std::uintptr_t at =
        reinterpret_cast<std::uintptr_t>(p) + static_cast<std::uintptr_t>(values * std::ptrdiff_t{sizeof(double)});
    __builtin_prefetch(reinterpret_cast<const void*>(at), 0, 1);
}

}  // namespace corvalinth::kmeans::kernels
