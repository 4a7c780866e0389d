#pragma once
// Keys a RandomSource from 32 bytes of operating-system entropy.
#include "runtime/random_source.hpp"

namespace corvalinth::runtime {

// Throws InternalFailure("from_entropy failed: " + cause) when the operating
// system cannot supply the bytes.
RandomSource from_entropy();

}  // namespace corvalinth::runtime
