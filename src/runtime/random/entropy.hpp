#pragma once
// Keys a RandomSource from 32 bytes of operating-system entropy.
//
// The bytes come from the getrandom system call when the kernel offers it
// (probed once per process), otherwise from "/dev/urandom", opened once
// after "/dev/random" has reported the kernel pool ready and kept open for
// the life of the process.
#include <string>

#include "runtime/random/random_source.hpp"

namespace corvalinth::runtime {

// Throws InternalFailure("from_entropy failed: " + cause) when the operating
// system cannot supply the bytes.
RandomSource from_entropy();

namespace entropy_detail {

enum class GetrandomSupport { unprobed, available, unavailable };

// The text for an operating-system error number: the XSI strerror_r text
// (128-byte buffer, up to the first NUL), or "OS Error: N" when strerror_r
// fails or the text is not valid UTF-8.
std::string describe_os_error(int error_number);

// Whether bytes[0, length) is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool is_valid_utf8(const char* bytes, std::size_t length);

}  // namespace entropy_detail

}  // namespace corvalinth::runtime
