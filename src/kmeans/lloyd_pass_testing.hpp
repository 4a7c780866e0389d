#pragma once
// Test-only controls and counters of the fit pass: the block size, so that
// small inputs run through many blocks, and how many samples kept their label
// on their bounds alone.
#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::testing {

// Bytes of samples per block of the fit pass; 0 restores the default.
void set_pass_block_bytes(std::size_t bytes);

// Samples that kept their label without being scored, since the process began.
std::uint64_t kept_label_count();

}  // namespace corvalinth::kmeans::testing
