#include "eap/tunnel.h"

#include <algorithm>

#include "crypto/crypto.h"

namespace hx::eap {
namespace {

constexpr size_t kAvpHeader = 8;  // code, flags, 24-bit length
constexpr uint16_t kTlvMandatory = 0x8000;
constexpr uint16_t kTlvResult = 3;
constexpr uint8_t kLeapVersion = 1;

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
template <class Out>
void Put32(Out& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

void AppendAvp(SecretBytes& out, uint32_t code, uint32_t vendor, ByteView data, bool mandatory) {
  const size_t length = kAvpHeader + (vendor != 0 ? 4 : 0) + data.size();
  Put32(out, code);
  out.push_back(
      static_cast<uint8_t>((vendor != 0 ? kAvpVendorFlag : 0) | (mandatory ? kAvpMandatoryFlag : 0)));
  out.push_back(static_cast<uint8_t>(length >> 16));
  out.push_back(static_cast<uint8_t>(length >> 8));
  out.push_back(static_cast<uint8_t>(length));
  if (vendor != 0) Put32(out, vendor);
  out.insert(out.end(), data.begin(), data.end());
  while (out.size() % 4 != 0) out.push_back(0);
}

std::optional<std::vector<Avp>> ReadAvps(ByteView run) {
  std::vector<Avp> avps;
  size_t at = 0;
  while (at < run.size()) {
    if (run.size() - at < kAvpHeader) return std::nullopt;
    Avp avp;
    avp.code = Get32(&run[at]);
    const uint8_t flags = run[at + 4];
    const size_t length =
        static_cast<size_t>(run[at + 5]) << 16 | static_cast<size_t>(run[at + 6]) << 8 | run[at + 7];
    const size_t header = kAvpHeader + ((flags & kAvpVendorFlag) ? 4 : 0);
    if (length < header || length > run.size() - at) return std::nullopt;
    if (flags & kAvpVendorFlag) avp.vendor = Get32(&run[at + kAvpHeader]);
    avp.mandatory = (flags & kAvpMandatoryFlag) != 0;
    avp.data.assign(run.begin() + static_cast<std::ptrdiff_t>(at + header),
                    run.begin() + static_cast<std::ptrdiff_t>(at + length));
    avps.push_back(std::move(avp));
    // The padding after the last one may be left out.
    at += std::min(run.size() - at, (length + 3) & ~size_t{3});
  }
  return avps;
}

const Avp* FindAvp(const std::vector<Avp>& avps, uint32_t code, uint32_t vendor) {
  auto it = std::find_if(avps.begin(), avps.end(),
                         [&](const Avp& avp) { return avp.code == code && avp.vendor == vendor; });
  return it == avps.end() ? nullptr : &*it;
}

SecretBytes PadPassword(std::string_view password) {
  SecretBytes padded(password.begin(), password.end());
  do {
    padded.push_back(0);
  } while (padded.size() % 16 != 0);
  return padded;
}

std::string_view UnpadPassword(ByteView padded) {
  size_t n = padded.size();
  while (n > 0 && padded[n - 1] == 0) --n;
  return Text(padded.first(n));
}

Bytes ResultTlv(uint16_t result) {
  return {static_cast<uint8_t>((kTlvMandatory | kTlvResult) >> 8),
          static_cast<uint8_t>(kTlvResult),
          0x00,
          0x02,
          static_cast<uint8_t>(result >> 8),
          static_cast<uint8_t>(result)};
}

std::optional<uint16_t> ReadResultTlv(ByteView data) {
  size_t at = 0;
  while (data.size() - at >= 4) {
    const uint16_t type = static_cast<uint16_t>((data[at] << 8 | data[at + 1]) & 0x3FFF);
    const size_t length = static_cast<size_t>(data[at + 2] << 8 | data[at + 3]);
    if (length > data.size() - at - 4) return std::nullopt;
    if (type == kTlvResult && length == 2) return static_cast<uint16_t>(data[at + 4] << 8 | data[at + 5]);
    at += 4 + length;
  }
  return std::nullopt;
}

Bytes CompressInner(const Packet& packet) {
  if (packet.type == kTlv || !packet.HasType()) return Build(packet);
  Bytes data;
  data.reserve(1 + packet.data.size());
  data.push_back(packet.type);
  data.insert(data.end(), packet.data.begin(), packet.data.end());
  return data;
}

std::optional<Packet> ExpandInner(ByteView tunnelled, uint8_t code, uint8_t identifier) {
  if (tunnelled.empty()) return std::nullopt;
  // A whole EAP-TLV packet comes with its header.
  if (tunnelled.size() >= kHeader + 1 && (tunnelled[0] == kRequest || tunnelled[0] == kResponse) &&
      tunnelled[kHeader] == kTlv && DeclaredLength(tunnelled) == tunnelled.size())
    return Parse(tunnelled);
  Packet packet;
  packet.code = code;
  packet.identifier = identifier;
  packet.type = tunnelled[0];
  packet.data.assign(tunnelled.begin() + 1, tunnelled.end());
  return packet;
}

Bytes LeapData(ByteView value, std::string_view userName) {
  // Sized up front: GCC 12 misreads an insert after a braced list (-Warray-bounds).
  Bytes data(3 + value.size() + userName.size());
  data[0] = kLeapVersion;
  data[2] = static_cast<uint8_t>(value.size());
  std::copy(value.begin(), value.end(), data.begin() + 3);
  std::copy(userName.begin(), userName.end(), data.begin() + 3 + static_cast<std::ptrdiff_t>(value.size()));
  return data;
}

std::optional<LeapMessage> ReadLeap(ByteView data) {
  if (data.size() < 3 || data[0] != kLeapVersion) return std::nullopt;
  const size_t count = data[2];
  if (count != 8 && count != 24) return std::nullopt;
  if (data.size() - 3 < count) return std::nullopt;
  LeapMessage message;
  message.value.assign(data.begin() + 3, data.begin() + 3 + static_cast<std::ptrdiff_t>(count));
  message.name = std::string(Text(data.subspan(3 + count)));
  return message;
}

std::optional<SecretBytes> LeapSessionKey(const mschap::Hash& hashHash, ByteView apChallenge,
                                          ByteView apResponse, ByteView peerChallenge,
                                          ByteView peerResponse) {
  std::array<uint8_t, crypto::kMd5Length> key{};
  if (!crypto::Md5({hashHash, apChallenge, apResponse, peerChallenge, peerResponse}, key))
    return std::nullopt;
  SecretBytes out(key.begin(), key.end());
  WipeSecret(key.data(), key.size());
  return out;
}

}  // namespace hx::eap
