#include "eap/packet.h"

#include <algorithm>

namespace hx::eap {
namespace {

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

const char* TypeName(uint8_t type) {
  switch (type) {
    case kIdentity:
      return "Identity";
    case kNotification:
      return "Notification";
    case kNak:
      return "Nak";
    case kMd5Challenge:
      return "MD5-Challenge";
    case kGtc:
      return "GTC";
    case kTls:
      return "EAP-TLS";
    case kLeap:
      return "LEAP";
    case kTtls:
      return "EAP-TTLS";
    case kPeap:
      return "PEAP";
    case kMsChapV2:
      return "EAP-MSCHAPv2";
    case kTlv:
      return "EAP-TLV";
    default:
      return "an unknown method";
  }
}

size_t DeclaredLength(ByteView bytes) {
  return bytes.size() < kHeader ? 0 : Get16(bytes.data() + 2);
}

std::optional<Packet> Parse(ByteView bytes) {
  const size_t length = DeclaredLength(bytes);
  if (length < kHeader || length > bytes.size()) return std::nullopt;
  Packet packet;
  packet.code = bytes[0];
  packet.identifier = bytes[1];
  if (packet.HasType()) {
    if (length < kHeader + 1) return std::nullopt;
    packet.type = bytes[kHeader];
    packet.data.assign(bytes.begin() + kHeader + 1, bytes.begin() + static_cast<std::ptrdiff_t>(length));
  } else if (packet.code != kSuccess && packet.code != kFailure) {
    return std::nullopt;
  }
  return packet;
}

Bytes Build(uint8_t code, uint8_t identifier, uint8_t type, ByteView data) {
  const bool typed = code == kRequest || code == kResponse;
  // The 16-bit length bounds the data: a longer one is cut to fit.
  const size_t room = 0xFFFF - kHeader - 1;
  const size_t n = typed ? std::min(data.size(), room) : 0;
  const size_t length = kHeader + (typed ? 1 + n : 0);
  Bytes bytes(length);
  bytes[0] = code;
  bytes[1] = identifier;
  bytes[2] = static_cast<uint8_t>(length >> 8);
  bytes[3] = static_cast<uint8_t>(length);
  if (typed) {
    bytes[kHeader] = type;
    std::copy_n(data.begin(), n, bytes.begin() + kHeader + 1);
  }
  return bytes;
}

Bytes Build(const Packet& packet) {
  return Build(packet.code, packet.identifier, packet.type, packet.data);
}

std::optional<Eapol> ParseEapol(ByteView frame) {
  if (frame.size() < kEapolHeader) return std::nullopt;
  const size_t length = Get16(frame.data() + 2);
  if (length > frame.size() - kEapolHeader) return std::nullopt;
  return Eapol{frame[0], frame[1], frame.subspan(kEapolHeader, length)};
}

Bytes BuildEapol(uint8_t version, uint8_t type, ByteView body) {
  const size_t n = std::min<size_t>(body.size(), 0xFFFF);
  Bytes frame(kEapolHeader + n);
  frame[0] = version;
  frame[1] = type;
  frame[2] = static_cast<uint8_t>(n >> 8);
  frame[3] = static_cast<uint8_t>(n);
  std::copy_n(body.begin(), n, frame.begin() + kEapolHeader);
  return frame;
}

}  // namespace hx::eap
