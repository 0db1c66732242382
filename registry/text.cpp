#include "registry/text.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace hx {

uint32_t ParseDecimal(const char* text, size_t size) {
  size_t i = 0;
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < size && space(text[i])) ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr int64_t kLimit = int64_t{1} << 31;  // magnitude of the most negative value
  int64_t magnitude = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  int64_t value = negative ? -magnitude : magnitude;
  if (value > kLimit - 1) value = kLimit - 1;
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

size_t FormatNumber(uint32_t value, bool hexadecimal, char (&out)[20]) {
  // Decimal as a signed number and hexadecimal in capitals, as printf's %d
  // and %X give them; without printf, which was most of a setting write.
  std::memset(out, 0, sizeof out);
  const std::to_chars_result written =
      hexadecimal ? std::to_chars(out, out + sizeof out - 1, value, 16)
                  : std::to_chars(out, out + sizeof out - 1, static_cast<int32_t>(value));
  std::transform(out, written.ptr, out,
                 [](char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c; });
  return static_cast<size_t>(written.ptr - out);
}

}  // namespace hx
