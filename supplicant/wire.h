// Readers of the bytes the supplicant bridge takes from the driver: received
// frames, association information and the scan list. They only locate what
// the toolkit is given; nothing is read past the bytes the driver returned.
#pragma once

#include <cstdint>
#include <optional>

namespace hx {

struct ByteSpan {
  const unsigned char* data = nullptr;
  uint32_t size = 0;
};

inline constexpr uint16_t kEtherTypeEapol = 0x888E;
inline constexpr uint16_t kEtherTypePreauthentication = 0x88C7;

// A frame of a code-132 record. The pointers lead into the record.
struct ReceivedFrame {
  uint16_t etherType;
  const unsigned char* destination;  // 6 bytes
  const unsigned char* source;       // 6 bytes
  ByteSpan body;
};

// `data` holds a 32-bit frame length, then the frame; `available` bytes of it
// can be read. None for a frame of 14 bytes or less, one that runs past
// `available`, or one that is neither EAPOL nor pre-authentication.
std::optional<ReceivedFrame> ParseReceivedFrame(const unsigned char* data, uint32_t available);

// The request and response elements of an NDIS_802_11_ASSOCIATION_INFORMATION
// of which `returned` bytes came back; a block whose offset or length points
// past them is left empty.
struct AssociationIes {
  ByteSpan request;
  ByteSpan response;
};
AssociationIes FindAssociationIes(const unsigned char* info, uint32_t returned);

// The variable elements (after the 12 fixed bytes) of the first scan-list
// entry for `bssid` and the `ssidLength` bytes of `ssid` (at most 32) that has
// some, in an NDIS_802_11_BSSID_LIST_EX of which `returned` bytes came back.
// The walk ends at the entry count, at an entry that would end past
// `returned`, or at an entry shorter than an NDIS_WLAN_BSSID_EX.
ByteSpan FindBeaconIes(const unsigned char* list, uint32_t returned, const unsigned char* bssid,
                       const unsigned char* ssid, uint32_t ssidLength);

}  // namespace hx
