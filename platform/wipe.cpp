#include "platform/wipe.h"

#include <cstring>

namespace hx {

void WipeSecret(void* bytes, size_t size) {
  if (size == 0) return;
  std::memset(bytes, 0, size);
  // The compiler must assume the asm reads the zeros, so it cannot drop the
  // memset as a store to memory about to be freed or go out of scope.
  __asm__ __volatile__("" : : "r"(bytes) : "memory");
}

}  // namespace hx
