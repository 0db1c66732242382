// RADIUS packets as 802.1X carries EAP in them: RFC 2865 (packets,
// attributes, authenticators), RFC 3579 (EAP-Message, Message-Authenticator)
// and RFC 2548 (Microsoft's MPPE key attributes). The access point's client
// and the built-in server both read and write through it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/secret.h"

namespace hx::radius {

using crypto::Bytes;
using crypto::ByteView;
using crypto::SecretBytes;
using Authenticator = std::array<uint8_t, 16>;

enum Code : uint8_t { kAccessRequest = 1, kAccessAccept = 2, kAccessReject = 3, kAccessChallenge = 11 };

enum AttributeType : uint8_t {
  kUserName = 1,
  kNasIpAddress = 4,
  kNasPort = 5,
  kServiceType = 6,
  kFramedMtu = 12,
  kReplyMessage = 18,
  kState = 24,
  kVendorSpecific = 26,
  kCalledStationId = 30,
  kCallingStationId = 31,
  kNasIdentifier = 32,
  kNasPortType = 61,
  kConnectInfo = 77,
  kEapMessage = 79,
  kMessageAuthenticator = 80,
};

inline constexpr uint32_t kVendorMicrosoft = 311;
inline constexpr uint8_t kMsMppeSendKey = 16;
inline constexpr uint8_t kMsMppeRecvKey = 17;
inline constexpr uint32_t kNasPortTypeWireless = 19;  // IEEE 802.11

inline constexpr size_t kHeader = 20;  // code, identifier, length, authenticator
inline constexpr size_t kMaxPacket = 4096;
inline constexpr size_t kMaxAttributeValue = 253;

struct Attribute {
  uint8_t type = 0;
  Bytes value;
};

struct Packet {
  uint8_t code = 0;
  uint8_t identifier = 0;
  Authenticator authenticator{};
  std::vector<Attribute> attributes;

  void Add(uint8_t type, ByteView value);
  void AddText(uint8_t type, std::string_view text);
  void AddNumber(uint8_t type, uint32_t value);
  // The first attribute of `type`.
  const Attribute* Find(uint8_t type) const;
};

// The packet in `bytes`; none unless its length lies between 20 and 4096
// and within the bytes present and its attributes fill it exactly (bytes
// past the length are ignored, as RFC 2865 says).
std::optional<Packet> Parse(ByteView bytes);
// The packet's bytes as they are (attributes longer than 253 bytes are cut).
Bytes Encode(const Packet& packet);

// EAP-Message: split into attributes of at most 253 bytes, and joined again.
void AddEapMessage(Packet& packet, ByteView eap);
std::optional<Bytes> EapMessage(const Packet& packet);

// A Vendor-Specific attribute with one sub-attribute, and its value back.
void AddVendorAttribute(Packet& packet, uint32_t vendor, uint8_t type, ByteView value);
std::optional<Bytes> FindVendorAttribute(const Packet& packet, uint32_t vendor, uint8_t type);

// A request's bytes with its Message-Authenticator (HMAC-MD5 under the
// secret over the packet with that attribute zeroed), added when missing.
Bytes SealRequest(Packet request, std::string_view secret);
// A response's bytes: Message-Authenticator over the packet with the
// request's authenticator in place, then the Response Authenticator (MD5 of
// the packet with the request's authenticator, then the secret).
Bytes SealResponse(Packet response, const Authenticator& requestAuthenticator, std::string_view secret);

// Whether a response (its bytes as received) carries the right Response
// Authenticator and, where it has one or carries EAP, the right
// Message-Authenticator, for the request sent with `requestAuthenticator`.
bool VerifyResponse(ByteView bytes, const Authenticator& requestAuthenticator, std::string_view secret);
// Whether a request carries a right Message-Authenticator; one carrying EAP
// must have one.
bool VerifyRequest(ByteView bytes, std::string_view secret);

// RFC 2548's MS-MPPE key attributes: a two-byte salt (high bit set), then the
// key's length, the key and padding, encrypted with MD5 of the secret, the
// request authenticator and the salt.
Bytes EncryptMppeKey(ByteView key, std::string_view secret, const Authenticator& requestAuthenticator,
                     uint16_t salt);
std::optional<SecretBytes> DecryptMppeKey(ByteView value, std::string_view secret,
                                          const Authenticator& requestAuthenticator);

const char* CodeName(uint8_t code);

}  // namespace hx::radius
