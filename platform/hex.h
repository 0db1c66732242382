// Hexadecimal digits and the typed forms of WEP keys, for every reader of
// them: the registry file, pass phrases, the simulated machine's files and
// the utility.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace hx::hex {

// The value of a hexadecimal digit of either case, or -1.
constexpr int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two digits a byte, into any container of bytes or chars; nothing when the
// length is odd or a character is not a digit.
template <class Bytes>
std::optional<Bytes> Decode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes bytes(text.size() / 2, 0);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = Digit(text[2 * i]);
    const int low = Digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[i] = static_cast<typename Bytes::value_type>(high << 4 | low);
  }
  return bytes;
}

// A WEP key as typed: 5 or 13 characters taken as they are (40 or 104 bits),
// or 10 or 26 hexadecimal digits.
template <class Bytes>
std::optional<Bytes> WepKey(std::string_view text) {
  if (text.size() == 5 || text.size() == 13) return Bytes(text.begin(), text.end());
  if (text.size() == 10 || text.size() == 26) return Decode<Bytes>(text);
  return std::nullopt;
}

}  // namespace hx::hex
