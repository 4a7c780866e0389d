#pragma once
// Test-only control of the fit pass's block size, so that small inputs run
// through many blocks.
#include <cstddef>

namespace corvalinth::kmeans::testing {

// Bytes of samples per block of the fit pass; 0 restores the default.
void set_pass_block_bytes(std::size_t bytes);

}  // namespace corvalinth::kmeans::testing
