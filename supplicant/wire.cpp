#include "supplicant/wire.h"

#include <cstring>

namespace hx {
namespace {

constexpr uint32_t kEthernetHeader = 14;
// NDIS_802_11_ASSOCIATION_INFORMATION: its fixed part and the block fields.
constexpr uint32_t kAssocFixed = 40;
constexpr uint32_t kRequestIeLength = 16, kOffsetRequestIes = 20;
constexpr uint32_t kResponseIeLength = 32, kOffsetResponseIes = 36;
// NDIS_WLAN_BSSID_EX: the entry's fields and its declared size.
constexpr uint32_t kEntryMac = 4, kEntrySsidLength = 12, kEntrySsid = 16, kEntryIeLength = 112;
constexpr uint32_t kEntryIes = 116, kEntryFixed = 120;
constexpr uint32_t kFixedIes = 12;  // timestamp, beacon interval, capabilities
constexpr uint32_t kListHeader = 4;

uint32_t Word(const unsigned char* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

// The block of `length` bytes at `offset`, when it lies within `returned`.
// Sums are taken in 64 bits so that no offset or length can wrap them.
ByteSpan Block(const unsigned char* base, uint32_t returned, uint32_t offset, uint32_t length) {
  if (length == 0 || uint64_t{length} + kAssocFixed > returned || uint64_t{offset} + length > returned)
    return {};
  return {base + offset, length};
}

}  // namespace

std::optional<ReceivedFrame> ParseReceivedFrame(const unsigned char* data, uint32_t available) {
  if (data == nullptr || available < 4) return std::nullopt;
  const uint32_t length = Word(data);
  if (length <= kEthernetHeader || length > available - 4) return std::nullopt;
  const unsigned char* frame = data + 4;
  const uint16_t etherType = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
  if (etherType != kEtherTypeEapol && etherType != kEtherTypePreauthentication) return std::nullopt;
  return ReceivedFrame{etherType, frame, frame + 6, {frame + kEthernetHeader, length - kEthernetHeader}};
}

AssociationIes FindAssociationIes(const unsigned char* info, uint32_t returned) {
  if (info == nullptr || returned < kAssocFixed) return {};
  return {Block(info, returned, Word(info + kOffsetRequestIes), Word(info + kRequestIeLength)),
          Block(info, returned, Word(info + kOffsetResponseIes), Word(info + kResponseIeLength))};
}

ByteSpan FindBeaconIes(const unsigned char* list, uint32_t returned, const unsigned char* bssid,
                       const unsigned char* ssid, uint32_t ssidLength) {
  if (list == nullptr || returned < kListHeader + kEntryFixed || ssidLength > 32) return {};
  const uint32_t count = Word(list);
  uint32_t at = kListHeader;
  for (uint32_t i = 0; i < count; ++i) {
    if (returned - at < 4) break;
    const unsigned char* entry = list + at;
    const uint32_t length = Word(entry);
    if (length < kEntryFixed || length > returned - at) break;
    const bool match = std::memcmp(entry + kEntryMac, bssid, 6) == 0 &&
                       Word(entry + kEntrySsidLength) == ssidLength &&
                       std::memcmp(entry + kEntrySsid, ssid, ssidLength) == 0;
    const uint32_t ieLength = Word(entry + kEntryIeLength);
    if (match && ieLength > kFixedIes && uint64_t{ieLength} + kEntryIes <= length)
      return {entry + kEntryIes + kFixedIes, ieLength - kFixedIes};
    at += length;
  }
  return {};
}

}  // namespace hx
