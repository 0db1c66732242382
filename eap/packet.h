// EAP packets (RFC 3748) and the EAPOL frames that carry them (IEEE 802.1X),
// read and written the same way by the station's supplicant, the access
// point and the authentication server.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "crypto/secret.h"

namespace hx::eap {

using crypto::Bytes;
using crypto::ByteView;
using crypto::SecretBytes;
using crypto::SecretText;

enum Code : uint8_t { kRequest = 1, kResponse = 2, kSuccess = 3, kFailure = 4 };

// Method types.
enum Type : uint8_t {
  kIdentity = 1,
  kNotification = 2,
  kNak = 3,
  kMd5Challenge = 4,
  kGtc = 6,
  kTls = 13,
  kLeap = 17,
  kTtls = 21,
  kPeap = 25,
  kMsChapV2 = 26,
  kTlv = 33,
};

// The name of a method type for messages ("PEAP", "EAP-TLS"...).
const char* TypeName(uint8_t type);

inline constexpr size_t kHeader = 4;  // code, identifier, 16-bit length

// One EAP packet. Requests and responses carry a type and its data; Success
// and Failure carry neither.
struct Packet {
  uint8_t code = 0;
  uint8_t identifier = 0;
  uint8_t type = 0;
  Bytes data;

  bool HasType() const { return code == kRequest || code == kResponse; }
};

// The packet in `bytes`, or none when its length field does not fit the
// bytes present or a request or response lacks its type. Bytes past the
// declared length are padding and are ignored.
std::optional<Packet> Parse(ByteView bytes);
Bytes Build(const Packet& packet);
Bytes Build(uint8_t code, uint8_t identifier, uint8_t type = 0, ByteView data = {});
// Its declared length, or 0 when there is no whole header.
size_t DeclaredLength(ByteView bytes);

// EAPOL (IEEE 802.1X) packet types.
enum EapolType : uint8_t { kEapolPacket = 0, kEapolStart = 1, kEapolLogoff = 2, kEapolKey = 3 };
inline constexpr size_t kEapolHeader = 4;  // version, type, 16-bit body length

struct Eapol {
  uint8_t version = 0;
  uint8_t type = 0;
  ByteView body;  // exactly the declared length; link padding left out
};
// The frame's header and body; none when the body length runs past the
// bytes present.
std::optional<Eapol> ParseEapol(ByteView frame);
Bytes BuildEapol(uint8_t version, uint8_t type, ByteView body);

// The text of a type's data, as Identity and GTC carry it.
inline std::string_view Text(ByteView data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}
inline ByteView View(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace hx::eap
