// Conversion of the count arguments (gcyc, mcyc, block length).
#pragma once

#include <cstdint>

namespace kerrow {

// Decimal conversion as atoi does it: leading blanks, an optional sign, then
// digits up to the first other character; no digits gives 0. The result
// saturates far outside the 32-bit range instead of overflowing.
std::int64_t to_integer(const char* text) noexcept;

// Converts a count for a driver. A value of 0, or one outside the signed
// 32-bit range, prints "Value must be integer!", notes why under the
// count's `name`, and gives false.
bool convert_count(const char* text, std::int32_t& value, const char* name = "count");

}  // namespace kerrow
