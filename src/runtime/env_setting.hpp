#pragma once
// Unsigned decimal settings read from the environment (worker count, worker
// stack size).
//
// A value is accepted only when the whole of it is one optional leading '+'
// followed by one or more ASCII digits and the number fits in 64 bits:
// "+4" is 4 and "007" is 7, while "", "+", "-", "-4", " 4", "4 " and
// "18446744073709551616" are all refused.
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvalinth::runtime {

// A value that is not UTF-8 contains a byte outside ASCII and is therefore
// refused by the digit rule as well.
std::optional<std::uint64_t> parse_unsigned_setting(std::string_view text);

}  // namespace corvalinth::runtime
