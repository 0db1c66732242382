// Scan list and association information: variable-length driver records,
// passed through to the caller unread.
#include <algorithm>
#include <cstring>

#include "frame/channel.h"
#include "frame/oids.h"
#include "platform/win32.h"

namespace {

constexpr ULONG kAssocInfoSize = 500;

}  // namespace

int HalvexQueryScanList(void* adapter, unsigned char* buffer, ULONG length) {
  if (IsBadWritePtr(buffer, length)) return hx::kBadBuffer;
  if (length != 0) std::memset(buffer, 0, length);
  return hx::QueryOid(adapter, OID_802_11_BSSID_LIST, buffer, length);
}

int HalvexQueryScanListLength(void* adapter, unsigned char* buffer, ULONG length, ULONG& returned) {
  if (IsBadWritePtr(buffer, length) || IsBadWritePtr(&returned, sizeof returned)) return hx::kBadBuffer;
  if (length != 0) std::memset(buffer, 0, length);
  ULONG count = length;
  const int result = hx::QueryOidWithLength(adapter, hx::OID_HALVEX_SCAN_LIST, buffer, length, count);
  // The request's padding word lets the driver report up to 4 bytes more than
  // the caller's buffer received; a caller reading `returned` bytes must not
  // read past it.
  returned = std::min(count, length);
  return result;
}

int HalvexQueryAssocInfo(void* adapter, unsigned char* buffer, ULONG& returned) {
  if (IsBadWritePtr(buffer, kAssocInfoSize) || IsBadWritePtr(&returned, sizeof returned))
    return hx::kBadBuffer;
  // The caller reads `returned` after result 0 as the answer's true length,
  // also when a failed control call still delivered the answer; with no
  // answer at all it is 0, never a stale value.
  ULONG count = 0;
  const int result =
      hx::QueryOidAnswerLength(adapter, OID_802_11_ASSOCIATION_INFORMATION, buffer, kAssocInfoSize, count);
  returned = std::min(count, kAssocInfoSize);
  return result;
}
