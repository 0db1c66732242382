// Key material must not outlive its use: blocks that carried it are wiped
// before they are freed, stack copies before their scope ends.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace hx {

// Overwrites `size` bytes with zeros in a way the compiler may not drop, for
// secrets whose memory is about to be freed or reused. Inline: every request
// wipes its buffer, most of them a dozen bytes.
inline void WipeSecret(void* bytes, size_t size) {
  if (size == 0) return;
  std::memset(bytes, 0, size);
  // The compiler must assume the asm reads the zeros, so it cannot drop the
  // memset as a store to memory about to be freed or go out of scope.
  __asm__ __volatile__("" : : "r"(bytes) : "memory");
}

// Wipes a stack block on every way out of its scope.
class WipeOnExit {
 public:
  WipeOnExit(void* bytes, size_t size) : bytes_(bytes), size_(size) {}
  ~WipeOnExit() { WipeSecret(bytes_, size_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  void* bytes_;
  size_t size_;
};

struct WipingFree {
  size_t size = 0;
  void operator()(unsigned char* p) const {
    WipeSecret(p, size);
    std::free(p);
  }
};
// A heap block that is wiped before it is freed.
using WipedBlock = std::unique_ptr<unsigned char, WipingFree>;

// `size` bytes from the heap, zeroed when asked; null without memory.
inline WipedBlock AllocateWiped(size_t size, bool zeroed) {
  void* p = zeroed ? std::calloc(1, size) : std::malloc(size);
  return WipedBlock(static_cast<unsigned char*>(p), WipingFree{size});
}

// Scratch bytes that may carry secrets, wiped when released: from the
// object's own block when they fit (nearly always: a heap block per use was
// most of a short request's cost), else from the heap. Not cleared.
template <size_t kInline>
class WipedScratch {
 public:
  // None at all, as without memory, when not `wanted`.
  explicit WipedScratch(size_t size, bool wanted = true) : size_(wanted ? size : 0) {
    if (!wanted) return;
    if (size_ <= kInline) {
      bytes_ = inline_;
    } else {
      heap_ = AllocateWiped(size_, false);
      bytes_ = heap_.get();
    }
  }
  ~WipedScratch() {
    if (bytes_ == inline_) WipeSecret(inline_, size_);
  }
  WipedScratch(const WipedScratch&) = delete;
  WipedScratch& operator=(const WipedScratch&) = delete;

  // Null without memory.
  unsigned char* get() const { return bytes_; }
  explicit operator bool() const { return bytes_ != nullptr; }

 private:
  alignas(8) unsigned char inline_[kInline];
  WipedBlock heap_;
  unsigned char* bytes_ = nullptr;
  size_t size_;
};

}  // namespace hx
