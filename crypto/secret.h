// Byte blocks that carry key material: every block such a vector lets go of
// (on growth, reassignment or destruction) is wiped before it is freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
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

}  // namespace hx::crypto
