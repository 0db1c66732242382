#include "platform/wipe.h"

namespace hx {

void WipeSecret(void* bytes, size_t size) {
  // Volatile stores are observable behaviour: they survive even when the
  // memory is freed right after.
  volatile unsigned char* p = static_cast<volatile unsigned char*>(bytes);
  for (size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace hx
