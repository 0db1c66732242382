// What travels inside the TLS tunnels, and the keys the TLS methods derive:
// EAP-TTLS's attribute-value pairs (RFC 5281), PEAP's Result TLV, the
// keying-material labels, and LEAP's session key.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "eap/mschap.h"
#include "eap/packet.h"

namespace hx::eap {

// Keying material: RFC 5216 (EAP-TLS, and PEAPv0 with the same label) and
// RFC 5281 (EAP-TTLS). The first 64 bytes are the MSK, the next 64 the EMSK.
inline constexpr std::string_view kTlsKeyLabel = "client EAP encryption";
inline constexpr std::string_view kTtlsKeyLabel = "ttls keying material";
inline constexpr std::string_view kTtlsChallengeLabel = "ttls challenge";
inline constexpr size_t kMskLength = 64;

// ---- EAP-TTLS attribute-value pairs ------------------------------------------

inline constexpr uint32_t kVendorMicrosoft = 311;
enum AvpCode : uint32_t {
  kAvpUserName = 1,
  kAvpUserPassword = 2,
  kAvpEapMessage = 79,
  // Microsoft's, vendor 311.
  kAvpMsChapChallenge = 11,
  kAvpMsChap2Response = 25,
  kAvpMsChap2Success = 26,
  kAvpMsChapError = 2,
};
inline constexpr uint8_t kAvpVendorFlag = 0x80;
inline constexpr uint8_t kAvpMandatoryFlag = 0x40;

struct Avp {
  uint32_t code = 0;
  uint32_t vendor = 0;  // 0: none
  bool mandatory = true;
  SecretBytes data;
};
// One AVP, padded to four bytes.
void AppendAvp(SecretBytes& out, uint32_t code, uint32_t vendor, ByteView data, bool mandatory = true);
// The AVPs of a run; none when one does not fit.
std::optional<std::vector<Avp>> ReadAvps(ByteView run);
const Avp* FindAvp(const std::vector<Avp>& avps, uint32_t code, uint32_t vendor = 0);
// A PAP password padded with zeros to a multiple of 16 bytes, as RFC 5281
// wants it; and back (the zeros taken off).
SecretBytes PadPassword(std::string_view password);
std::string_view UnpadPassword(ByteView padded);

// ---- PEAP ------------------------------------------------------------------------

// PEAP's Result TLV in an EAP-TLV packet (type 33): 1 success, 2 failure.
inline constexpr uint16_t kResultSuccess = 1;
inline constexpr uint16_t kResultFailure = 2;
Bytes ResultTlv(uint16_t result);
// The result an EAP-TLV packet's type data carries; none when there is no
// Result TLV.
std::optional<uint16_t> ReadResultTlv(ByteView typeData);

// PEAPv0 carries inner EAP packets without their 4-byte header, except the
// EAP-TLV packets; these read them back into whole packets.
Bytes CompressInner(const Packet& packet);
std::optional<Packet> ExpandInner(ByteView tunnelled, uint8_t code, uint8_t identifier);

// ---- LEAP ------------------------------------------------------------------------

// LEAP's packets: version 1, a reserved byte, the count of the challenge or
// response that follows, then the user name.
Bytes LeapData(ByteView challengeOrResponse, std::string_view userName);
struct LeapMessage {
  Bytes value;  // an 8-byte challenge or a 24-byte response
  std::string name;
};
std::optional<LeapMessage> ReadLeap(ByteView typeData);
// The 16-byte session key both ends derive once the exchange is over: MD5 of
// the hash of the password hash, the access point's challenge and answer,
// and the peer's challenge and answer.
std::optional<SecretBytes> LeapSessionKey(const mschap::Hash& hashHash, ByteView apChallenge,
                                          ByteView apResponse, ByteView peerChallenge, ByteView peerResponse);

}  // namespace hx::eap
