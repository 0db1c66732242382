// Status queries with their own rules: connection status and MAC address.
#include <cstring>

#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "platform/win32.h"

namespace {

uint64_t PackMac(const unsigned char* mac) {
  uint64_t packed = 0;
  for (int i = 5; i >= 0; --i) packed = packed << 8 | mac[i];
  return packed;
}

void UnpackMac(uint64_t packed, unsigned char* mac) {
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<unsigned char>(packed >> (8 * i));
}

}  // namespace

int HalvexGetConnectStatus(void* adapter) {
  uint32_t answer[2] = {0, 0};
  if (hx::QueryOid(adapter, OID_GEN_MEDIA_CONNECT_STATUS, answer, sizeof answer) != hx::kSuccess) return 0;
  return answer[0] == 0 ? 1 : 0;  // media state 0 is connected
}

int HalvexGetMacAddress(void* adapter, unsigned char* buffer, ULONG length) {
  if (IsBadWritePtr(buffer, length) || length < 6) return hx::kBadBuffer;
  auto& s = hx::State();
  uint64_t cached = s.CachedMacAddress.load(std::memory_order_acquire);
  if (cached == s.MacSentinel) {
    unsigned char mac[6] = {};
    if (hx::QueryOid(adapter, OID_802_3_CURRENT_ADDRESS, mac, sizeof mac) != hx::kSuccess)
      return hx::kFailure;
    cached = PackMac(mac);
    s.CachedMacAddress.store(cached, std::memory_order_release);
  }
  UnpackMac(cached, buffer);
  return hx::kSuccess;
}
