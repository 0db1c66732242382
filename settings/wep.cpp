// Static WEP keys: installed in the driver, then recorded under the adapter's
// key so the connection snapshot can carry them.
#include <cstddef>
#include <cstring>

#include "frame/channel.h"
#include "frame/oids.h"
#include "platform/win32.h"
#include "platform/wipe.h"
#include "registry/store.h"

namespace hx {
namespace {

constexpr ULONG kHeaderSize = offsetof(NDIS_802_11_WEP, KeyMaterial);
// The record's Length counts three bytes past the key; they are sent as zeros.
constexpr ULONG kTrailerSize = 3;
// The connection snapshot keeps each stored key in a field of this size and
// puts back "WepKeySize" bytes of it after a failed join: a longer key could
// be stored but never restored.
constexpr ULONG kLongestKey = sizeof(CONNECTIONINFO::WepKey1);
constexpr ULONG kTransmitKey = 0x80000000;

constexpr const char* kKeyValues[] = {"WepKey1", "WepKey2", "WepKey3", "WepKey4"};

void PutWord(unsigned char* at, ULONG word) {
  std::memcpy(at, &word, sizeof word);
}

}  // namespace
}  // namespace hx

int HalvexSetWepKey(void* adapter, unsigned int index, unsigned char* key, unsigned int keyLength,
                    int transmit) {
  if (keyLength == 0 || keyLength > hx::kLongestKey) return hx::kFailure;
  const ULONG keyIndex = index > 0 ? index - 1 : 0;
  // An index reaching bit 31 would reach the driver as the transmit flag.
  if ((keyIndex & hx::kTransmitKey) != 0) return hx::kFailure;

  if (IsBadReadPtr(key, keyLength)) return hx::kBadBuffer;

  unsigned char record[hx::kHeaderSize + hx::kLongestKey + hx::kTrailerSize] = {};
  // The record holds the key: wiped on every way out.
  const hx::WipeOnExit wipeRecord(record, sizeof record);
  const ULONG length = hx::kHeaderSize + keyLength + hx::kTrailerSize;
  hx::PutWord(record + offsetof(NDIS_802_11_WEP, Length), length);
  hx::PutWord(record + offsetof(NDIS_802_11_WEP, KeyIndex),
              keyIndex | (transmit != 0 ? hx::kTransmitKey : 0));
  hx::PutWord(record + offsetof(NDIS_802_11_WEP, KeyLength), keyLength);
  std::memcpy(record + hx::kHeaderSize, key, keyLength);

  const int result = hx::SetOid(adapter, OID_802_11_ADD_WEP, record, length);
  if (result != hx::kSuccess) return result;

  // Only what the driver accepted is recorded; the write outcomes do not
  // change the result.
  if (index >= 1 && index <= 4) hx::WriteAdapterString(adapter, hx::kKeyValues[index - 1], key, keyLength);
  hx::WriteAdapterNumber(adapter, "WepKeySize", keyLength, 0);
  if (transmit != 0) hx::WriteAdapterNumber(adapter, "TxWepKey", keyIndex, 0);
  return hx::kSuccess;
}
