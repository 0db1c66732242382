// The adapter setting store. Until adapter discovery can find the adapter's
// registry key, no setting can be stored or read: every access fails.
#include "registry/store.h"

#include "frame/channel.h"

namespace hx {

int WriteAdapterString(void*, const char*, const void*, ULONG) {
  return kFailure;
}
int WriteAdapterNumber(void*, const char*, ULONG, int) {
  return kFailure;
}
int ReadAdapterString(void*, const char*, void*, ULONG*) {
  return kFailure;
}
int ReadAdapterNumber(void*, const char*, ULONG&) {
  return kFailure;
}

}  // namespace hx
