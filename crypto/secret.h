// Byte blocks that carry key material: every block such a vector lets go of
// (on growth, reassignment or destruction) is wiped before it is freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "platform/wipe.h"

namespace hx::crypto {

template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, size_t n) noexcept {
    WipeSecret(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;
using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline SecretBytes Secret(ByteView bytes) {
  return SecretBytes(bytes.begin(), bytes.end());
}

// A text that is a secret (a pass phrase, a password): kept on the heap only,
// never inside the object as a short std::string keeps it, and wiped before
// it is freed. Always NUL-terminated.
class SecretText {
 public:
  SecretText() = default;
  explicit SecretText(std::string_view text) : chars_(text.begin(), text.end()) { chars_.push_back('\0'); }
  SecretText& operator=(std::string_view text) { return *this = SecretText(text); }
  // The parts one after the other, with no copy of any outside this text.
  static SecretText Joined(std::initializer_list<std::string_view> parts) {
    SecretText text;
    for (std::string_view part : parts) text.chars_.insert(text.chars_.end(), part.begin(), part.end());
    text.chars_.push_back('\0');
    return text;
  }

  std::string_view view() const {
    return empty() ? std::string_view() : std::string_view(chars_.data(), size());
  }
  const char* c_str() const { return empty() ? "" : chars_.data(); }
  size_t size() const { return chars_.empty() ? 0 : chars_.size() - 1; }
  bool empty() const { return size() == 0; }
  ByteView bytes() const { return {reinterpret_cast<const uint8_t*>(chars_.data()), size()}; }

  bool operator==(const SecretText& other) const { return view() == other.view(); }
  bool operator==(std::string_view other) const { return view() == other; }
  auto operator<=>(const SecretText& other) const { return view() <=> other.view(); }

 private:
  std::vector<char, WipingAllocator<char>> chars_;
};

}  // namespace hx::crypto
