#pragma once
// Software prefetch of the lines of rows read side by side: into the
// second-level cache, not the first.
//
// A tile of the exact kernels (scattered listed rows, or the rows of a tile
// of own-centre distances) and the seeding's first pass over a panel of its
// float copy read 32 rows at once, each with a line in flight. Fetched into the first level these fetches crowd its few fill
// buffers; the second level keeps many more in flight and the tile reads
// close to twice as fast (docs/tuning.md).

namespace corvalinth::kmeans::kernels {

// Fetches the line holding p into the second-level cache. A prefetch reads
// nothing into the arithmetic, and any address is allowed.
inline void prefetch_row_line(const void* p) { __builtin_prefetch(p, 0, 1); }

}  // namespace corvalinth::kmeans::kernels
