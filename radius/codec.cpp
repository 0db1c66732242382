#include "radius/codec.h"

#include <algorithm>
#include <cstring>

#include "crypto/crypto.h"

namespace hx::radius {
namespace {

constexpr size_t kAuthenticatorOffset = 4;
constexpr size_t kMacLength = 16;

ByteView View(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Where the value of the first Message-Authenticator sits in `bytes` (a
// packet Parse took), or 0.
size_t MacOffset(ByteView bytes) {
  const size_t length = static_cast<size_t>(bytes[2] << 8 | bytes[3]);
  for (size_t at = kHeader; at + 2 <= length;) {
    const size_t n = bytes[at + 1];
    if (bytes[at] == kMessageAuthenticator && n == 2 + kMacLength) return at + 2;
    at += n;
  }
  return 0;
}

bool SameBytes(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  uint8_t differs = 0;  // compared in full: no early way out
  for (size_t i = 0; i < a.size(); ++i) differs |= static_cast<uint8_t>(a[i] ^ b[i]);
  return differs == 0;
}

// Message-Authenticator over `bytes` with that value zeroed and `authenticator`
// in the header, written at `macAt`.
bool ComputeMac(Bytes& bytes, size_t macAt, const Authenticator& authenticator, std::string_view secret,
                std::array<uint8_t, kMacLength>& mac) {
  std::copy(authenticator.begin(), authenticator.end(), bytes.begin() + kAuthenticatorOffset);
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(macAt), kMacLength, 0);
  return crypto::HmacMd5(View(secret), {bytes}, mac);
}

}  // namespace

void Packet::Add(uint8_t type, ByteView value) {
  attributes.push_back({type, Bytes(value.begin(), value.end())});
}

void Packet::AddText(uint8_t type, std::string_view text) {
  Add(type, View(text));
}

void Packet::AddNumber(uint8_t type, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  Add(type, bytes);
}

const Attribute* Packet::Find(uint8_t type) const {
  auto it =
      std::find_if(attributes.begin(), attributes.end(), [&](const Attribute& a) { return a.type == type; });
  return it == attributes.end() ? nullptr : &*it;
}

std::optional<Packet> Parse(ByteView bytes) {
  if (bytes.size() < kHeader) return std::nullopt;
  const size_t length = static_cast<size_t>(bytes[2] << 8 | bytes[3]);
  if (length < kHeader || length > kMaxPacket || length > bytes.size()) return std::nullopt;
  Packet packet;
  packet.code = bytes[0];
  packet.identifier = bytes[1];
  std::copy_n(bytes.begin() + kAuthenticatorOffset, packet.authenticator.size(),
              packet.authenticator.begin());
  for (size_t at = kHeader; at < length;) {
    if (length - at < 2) return std::nullopt;
    const size_t n = bytes[at + 1];
    if (n < 2 || n > length - at) return std::nullopt;
    packet.attributes.push_back({bytes[at], Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                                  bytes.begin() + static_cast<std::ptrdiff_t>(at + n))});
    at += n;
  }
  return packet;
}

Bytes Encode(const Packet& packet) {
  Bytes bytes(kHeader);
  bytes[0] = packet.code;
  bytes[1] = packet.identifier;
  std::copy(packet.authenticator.begin(), packet.authenticator.end(), bytes.begin() + kAuthenticatorOffset);
  for (const Attribute& a : packet.attributes) {
    const size_t n = std::min(a.value.size(), kMaxAttributeValue);
    if (bytes.size() + 2 + n > kMaxPacket) break;
    bytes.push_back(a.type);
    bytes.push_back(static_cast<uint8_t>(2 + n));
    bytes.insert(bytes.end(), a.value.begin(), a.value.begin() + static_cast<std::ptrdiff_t>(n));
  }
  bytes[2] = static_cast<uint8_t>(bytes.size() >> 8);
  bytes[3] = static_cast<uint8_t>(bytes.size());
  return bytes;
}

void AddEapMessage(Packet& packet, ByteView eap) {
  for (size_t at = 0; at < eap.size(); at += kMaxAttributeValue)
    packet.Add(kEapMessage, eap.subspan(at, std::min(kMaxAttributeValue, eap.size() - at)));
}

std::optional<Bytes> EapMessage(const Packet& packet) {
  std::optional<Bytes> eap;
  for (const Attribute& a : packet.attributes) {
    if (a.type != kEapMessage) continue;
    if (!eap) eap.emplace();
    eap->insert(eap->end(), a.value.begin(), a.value.end());
  }
  return eap;
}

void AddVendorAttribute(Packet& packet, uint32_t vendor, uint8_t type, ByteView value) {
  const size_t n = std::min(value.size(), kMaxAttributeValue - 6);
  Bytes bytes = {static_cast<uint8_t>(vendor >> 24),
                 static_cast<uint8_t>(vendor >> 16),
                 static_cast<uint8_t>(vendor >> 8),
                 static_cast<uint8_t>(vendor),
                 type,
                 static_cast<uint8_t>(2 + n)};
  bytes.insert(bytes.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(n));
  packet.Add(kVendorSpecific, bytes);
}

std::optional<Bytes> FindVendorAttribute(const Packet& packet, uint32_t vendor, uint8_t type) {
  for (const Attribute& a : packet.attributes) {
    if (a.type != kVendorSpecific || a.value.size() < 6) continue;
    const uint32_t id = static_cast<uint32_t>(a.value[0]) << 24 | static_cast<uint32_t>(a.value[1]) << 16 |
                        static_cast<uint32_t>(a.value[2]) << 8 | a.value[3];
    if (id != vendor) continue;
    // One vendor attribute may hold several sub-attributes.
    for (size_t at = 4; a.value.size() - at >= 2;) {
      const size_t n = a.value[at + 1];
      if (n < 2 || n > a.value.size() - at) break;
      if (a.value[at] == type)
        return Bytes(a.value.begin() + static_cast<std::ptrdiff_t>(at + 2),
                     a.value.begin() + static_cast<std::ptrdiff_t>(at + n));
      at += n;
    }
  }
  return std::nullopt;
}

Bytes SealRequest(Packet request, std::string_view secret) {
  if (request.Find(kMessageAuthenticator) == nullptr)
    request.Add(kMessageAuthenticator, Bytes(kMacLength, 0));
  Bytes bytes = Encode(request);
  const size_t macAt = MacOffset(bytes);
  std::array<uint8_t, kMacLength> mac{};
  if (macAt != 0 && ComputeMac(bytes, macAt, request.authenticator, secret, mac))
    std::copy(mac.begin(), mac.end(), bytes.begin() + static_cast<std::ptrdiff_t>(macAt));
  return bytes;
}

Bytes SealResponse(Packet response, const Authenticator& requestAuthenticator, std::string_view secret) {
  if (response.Find(kMessageAuthenticator) == nullptr)
    response.Add(kMessageAuthenticator, Bytes(kMacLength, 0));
  Bytes bytes = Encode(response);
  const size_t macAt = MacOffset(bytes);
  std::array<uint8_t, kMacLength> mac{};
  if (macAt != 0 && ComputeMac(bytes, macAt, requestAuthenticator, secret, mac))
    std::copy(mac.begin(), mac.end(), bytes.begin() + static_cast<std::ptrdiff_t>(macAt));
  // The header still holds the request's authenticator: just what the MD5 covers.
  Authenticator sum{};
  crypto::Md5({bytes, View(secret)}, sum);
  std::copy(sum.begin(), sum.end(), bytes.begin() + kAuthenticatorOffset);
  return bytes;
}

bool VerifyResponse(ByteView received, const Authenticator& requestAuthenticator, std::string_view secret) {
  const std::optional<Packet> packet = Parse(received);
  if (!packet) return false;
  const size_t length = static_cast<size_t>(received[2] << 8 | received[3]);
  Bytes bytes(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(length));
  std::copy(requestAuthenticator.begin(), requestAuthenticator.end(), bytes.begin() + kAuthenticatorOffset);
  Authenticator sum{};
  if (!crypto::Md5({bytes, View(secret)}, sum) || !SameBytes(sum, packet->authenticator)) return false;
  const size_t macAt = MacOffset(bytes);
  if (macAt == 0)
    return packet->Find(kEapMessage) == nullptr && packet->Find(kMessageAuthenticator) == nullptr;
  const Bytes got(bytes.begin() + static_cast<std::ptrdiff_t>(macAt),
                  bytes.begin() + static_cast<std::ptrdiff_t>(macAt + kMacLength));
  std::array<uint8_t, kMacLength> mac{};
  return ComputeMac(bytes, macAt, requestAuthenticator, secret, mac) && SameBytes(mac, got);
}

bool VerifyRequest(ByteView received, std::string_view secret) {
  const std::optional<Packet> packet = Parse(received);
  if (!packet) return false;
  const size_t length = static_cast<size_t>(received[2] << 8 | received[3]);
  Bytes bytes(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(length));
  const size_t macAt = MacOffset(bytes);
  if (macAt == 0)
    return packet->Find(kEapMessage) == nullptr && packet->Find(kMessageAuthenticator) == nullptr;
  const Bytes got(bytes.begin() + static_cast<std::ptrdiff_t>(macAt),
                  bytes.begin() + static_cast<std::ptrdiff_t>(macAt + kMacLength));
  std::array<uint8_t, kMacLength> mac{};
  return ComputeMac(bytes, macAt, packet->authenticator, secret, mac) && SameBytes(mac, got);
}

Bytes EncryptMppeKey(ByteView key, std::string_view secret, const Authenticator& requestAuthenticator,
                     uint16_t salt) {
  const uint8_t saltBytes[2] = {static_cast<uint8_t>(0x80 | (salt >> 8)), static_cast<uint8_t>(salt)};
  SecretBytes plain;
  plain.push_back(static_cast<uint8_t>(key.size()));
  plain.insert(plain.end(), key.begin(), key.end());
  while (plain.size() % 16 != 0) plain.push_back(0);
  Bytes out(saltBytes, saltBytes + 2);
  std::array<uint8_t, 16> b{};
  for (size_t at = 0; at < plain.size(); at += 16) {
    if (at == 0)
      crypto::Md5({View(secret), requestAuthenticator, ByteView(saltBytes, 2)}, b);
    else
      crypto::Md5({View(secret), ByteView(out.data() + 2 + at - 16, 16)}, b);
    for (size_t i = 0; i < 16; ++i) out.push_back(static_cast<uint8_t>(plain[at + i] ^ b[i]));
  }
  WipeSecret(b.data(), b.size());
  return out;
}

std::optional<SecretBytes> DecryptMppeKey(ByteView value, std::string_view secret,
                                          const Authenticator& requestAuthenticator) {
  if (value.size() < 2 + 16 || (value.size() - 2) % 16 != 0 || (value[0] & 0x80) == 0) return std::nullopt;
  const ByteView salt = value.first(2);
  const ByteView cipher = value.subspan(2);
  SecretBytes plain(cipher.size());
  std::array<uint8_t, 16> b{};
  for (size_t at = 0; at < cipher.size(); at += 16) {
    const bool ok = at == 0 ? crypto::Md5({View(secret), requestAuthenticator, salt}, b)
                            : crypto::Md5({View(secret), cipher.subspan(at - 16, 16)}, b);
    if (!ok) return std::nullopt;
    for (size_t i = 0; i < 16; ++i) plain[at + i] = static_cast<uint8_t>(cipher[at + i] ^ b[i]);
  }
  WipeSecret(b.data(), b.size());
  const size_t length = plain[0];
  if (length == 0 || length > plain.size() - 1) return std::nullopt;
  return SecretBytes(plain.begin() + 1, plain.begin() + 1 + static_cast<std::ptrdiff_t>(length));
}

const char* CodeName(uint8_t code) {
  switch (code) {
    case kAccessRequest:
      return "Access-Request";
    case kAccessAccept:
      return "Access-Accept";
    case kAccessReject:
      return "Access-Reject";
    case kAccessChallenge:
      return "Access-Challenge";
    default:
      return "an unknown packet";
  }
}

}  // namespace hx::radius
