// The text forms of stored numbers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hx {

// Leading white space, an optional sign, then decimal digits up to the first
// other character or the end of `size` bytes; no digits gives 0. Out-of-range
// values saturate as the C library's conversion of a 32-bit long does.
uint32_t ParseDecimal(const char* text, size_t size);

// The value as signed decimal ("-1") or upper-case hexadecimal ("FFFFFFFF"),
// no prefix or padding; returns the character count (at most 11).
size_t FormatNumber(uint32_t value, bool hexadecimal, char (&out)[20]);

}  // namespace hx
