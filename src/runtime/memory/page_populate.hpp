#pragma once
// Mapping a fresh buffer's pages before it is written: one request for many
// pages costs the system less than a fault at the first write to each.
#include <cstddef>

namespace corvalinth::runtime {

// Asks the system to map the whole pages within [data, data + bytes) for
// writing now, as a first write to each would. Only a hint: nothing is
// reported, nothing is written, and the memory reads the same either way
// (where the request is not supported, the pages are mapped when first
// written, as without it).
void populate_for_writing(void* data, std::size_t bytes);

}  // namespace corvalinth::runtime
