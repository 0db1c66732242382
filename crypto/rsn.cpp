#include "crypto/rsn.h"

#include <algorithm>
#include <cstring>

#include "crypto/crypto.h"
#include "platform/hex.h"

namespace hx::rsn {
namespace {

constexpr size_t kEapolHeader = 4;  // version, packet type, 16-bit body length
// Descriptor type, key information, key length, replay counter, nonce, IV,
// RSC, reserved, MIC, key data length.
constexpr size_t kKeyBody = 95;
constexpr size_t kMicOffset = kEapolHeader + 77;
constexpr size_t kMicLength = 16;
constexpr size_t kPmkLength = 32;
constexpr uint32_t kPbkdf2Iterations = 4096;
constexpr uint8_t kVendorElement = 0xDD;
constexpr uint8_t kGtkKde[4] = {0x00, 0x0F, 0xAC, 0x01};  // OUI and data type 1

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// The elements of `run` in order, until one does not fit or padding starts.
template <class Visit>
void ForEachElement(ByteView run, Visit visit) {
  size_t at = 0;
  while (run.size() - at >= 2) {
    const uint8_t id = run[at];
    const size_t length = run[at + 1];
    // Key data padding: 0xDD and zeros after it.
    if (id == kVendorElement && length == 0) return;
    if (length > run.size() - at - 2) return;
    if (visit(run.subspan(at, 2 + length))) return;
    at += 2 + length;
  }
}

// The MIC of a key frame by its descriptor version: HMAC-MD5 (16 bytes) for
// 1, the first 16 bytes of HMAC-SHA1 for 2.
bool ComputeMic(uint16_t info, ByteView kck, ByteView frame, std::array<uint8_t, crypto::kSha1Length>& mac) {
  if ((info & kInfoVersionMask) == kInfoVersionRc4)
    return crypto::HmacMd5(kck, {frame},
                           std::span<uint8_t, crypto::kMd5Length>(mac.data(), crypto::kMd5Length));
  return crypto::HmacSha1(kck, {frame}, mac);
}

constexpr uint8_t kWpaOui[4] = {0x00, 0x50, 0xF2, 0x01};  // OUI and vendor type 1

}  // namespace

std::optional<SecretBytes> PassphraseToPmk(std::string_view passphrase, ByteView ssid) {
  if (ssid.empty() || ssid.size() > 32) return std::nullopt;
  // 64 hexadecimal digits are the PMK itself.
  if (passphrase.size() == 2 * kPmkLength) return hex::Decode<SecretBytes>(passphrase);
  SecretBytes pmk(kPmkLength);
  const bool printable =
      std::all_of(passphrase.begin(), passphrase.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
  if (passphrase.size() < 8 || passphrase.size() > 63 || !printable) return std::nullopt;
  const ByteView password(reinterpret_cast<const uint8_t*>(passphrase.data()), passphrase.size());
  if (!crypto::Pbkdf2HmacSha1(password, ssid, kPbkdf2Iterations, pmk)) return std::nullopt;
  return pmk;
}

bool Prf(ByteView key, std::string_view label, ByteView data, std::span<uint8_t> out) {
  const ByteView labelBytes(reinterpret_cast<const uint8_t*>(label.data()), label.size());
  const uint8_t zero = 0;
  std::array<uint8_t, crypto::kSha1Length> block;
  WipeOnExit wipe(block.data(), block.size());
  for (size_t done = 0, i = 0; done < out.size(); ++i) {
    const uint8_t counter = static_cast<uint8_t>(i);
    if (!crypto::HmacSha1(key, {labelBytes, ByteView(&zero, 1), data, ByteView(&counter, 1)}, block))
      return false;
    const size_t n = std::min(block.size(), out.size() - done);
    std::memcpy(out.data() + done, block.data(), n);
    done += n;
  }
  return true;
}

std::optional<Ptk> DerivePtk(ByteView pmk, const Mac& aa, const Mac& spa, const Nonce& anonce,
                             const Nonce& snonce, size_t tkLength) {
  uint8_t data[2 * 6 + 2 * 32];
  const bool aaFirst = aa < spa;
  std::memcpy(data, (aaFirst ? aa : spa).data(), 6);
  std::memcpy(data + 6, (aaFirst ? spa : aa).data(), 6);
  const bool anonceFirst = anonce < snonce;
  std::memcpy(data + 12, (anonceFirst ? anonce : snonce).data(), 32);
  std::memcpy(data + 44, (anonceFirst ? snonce : anonce).data(), 32);
  SecretBytes ptk(2 * kCcmpKeyLength + tkLength);
  if (!Prf(pmk, "Pairwise key expansion", data, ptk)) return std::nullopt;
  Ptk keys;
  keys.kck.assign(ptk.begin(), ptk.begin() + 16);
  keys.kek.assign(ptk.begin() + 16, ptk.begin() + 32);
  keys.tk.assign(ptk.begin() + 32, ptk.end());
  return keys;
}

std::optional<KeyFrame> ParseKeyFrame(ByteView eapol) {
  if (eapol.size() < kEapolHeader) return std::nullopt;
  const size_t bodyLength = Get16(&eapol[2]);
  if (eapol[0] == 0 || eapol[1] != kEapolKey || bodyLength > eapol.size() - kEapolHeader ||
      bodyLength < kKeyBody)
    return std::nullopt;
  const uint8_t* body = eapol.data() + kEapolHeader;
  if (body[0] != kRsnDescriptor && body[0] != kWpaDescriptor) return std::nullopt;
  const size_t dataLength = Get16(body + kKeyBody - 2);
  if (dataLength > bodyLength - kKeyBody) return std::nullopt;
  KeyFrame frame;
  frame.protocolVersion = eapol[0];
  frame.descriptor = body[0];
  frame.info = Get16(body + 1);
  frame.keyLength = Get16(body + 3);
  for (int i = 0; i < 8; ++i) frame.replayCounter = frame.replayCounter << 8 | body[5 + i];
  std::memcpy(frame.nonce.data(), body + 13, 32);
  std::memcpy(frame.iv.data(), body + 45, 16);
  std::memcpy(frame.rsc.data(), body + 61, 8);
  std::memcpy(frame.mic.data(), body + 77, 16);
  frame.data.assign(body + kKeyBody, body + kKeyBody + dataLength);
  return frame;
}

Bytes BuildKeyFrame(const KeyFrame& frame, ByteView kck) {
  const size_t bodyLength = kKeyBody + frame.data.size();
  Bytes bytes(kEapolHeader + bodyLength, 0);
  bytes[0] = frame.protocolVersion;
  bytes[1] = kEapolKey;
  Put16(&bytes[2], static_cast<uint16_t>(bodyLength));
  uint8_t* body = bytes.data() + kEapolHeader;
  body[0] = frame.descriptor;
  Put16(body + 1, frame.info);
  Put16(body + 3, frame.keyLength);
  for (int i = 0; i < 8; ++i) body[5 + i] = static_cast<uint8_t>(frame.replayCounter >> (56 - 8 * i));
  std::memcpy(body + 13, frame.nonce.data(), 32);
  std::memcpy(body + 45, frame.iv.data(), 16);
  std::memcpy(body + 61, frame.rsc.data(), 8);
  Put16(body + kKeyBody - 2, static_cast<uint16_t>(frame.data.size()));
  std::copy(frame.data.begin(), frame.data.end(), body + kKeyBody);
  if (kck.empty()) {
    std::memcpy(body + 77, frame.mic.data(), 16);
    return bytes;
  }
  // The MIC covers the whole frame with its own field zero.
  std::array<uint8_t, crypto::kSha1Length> mac{};
  if (ComputeMic(frame.info, kck, bytes, mac)) std::memcpy(bytes.data() + kMicOffset, mac.data(), kMicLength);
  return bytes;
}

bool MicMatches(ByteView eapol, ByteView kck) {
  if (eapol.size() < kMicOffset + kMicLength) return false;
  const size_t length = kEapolHeader + Get16(&eapol[2]);
  if (length > eapol.size()) return false;
  Bytes copy(eapol.begin(), eapol.begin() + static_cast<std::ptrdiff_t>(length));
  std::fill_n(copy.begin() + kMicOffset, kMicLength, 0);
  std::array<uint8_t, crypto::kSha1Length> mac{};
  if (!ComputeMic(Get16(&eapol[kEapolHeader + 1]), kck, copy, mac)) return false;
  // Compared in full whatever differs first: no early way out.
  uint8_t differs = 0;
  for (size_t i = 0; i < kMicLength; ++i) differs |= static_cast<uint8_t>(mac[i] ^ eapol[kMicOffset + i]);
  return differs == 0;
}

std::optional<ByteView> FindElement(ByteView elements, uint8_t id) {
  std::optional<ByteView> found;
  ForEachElement(elements, [&](ByteView element) {
    if (element[0] != id) return false;
    found = element;
    return true;
  });
  return found;
}

std::optional<ByteView> FindWpaElement(ByteView elements) {
  std::optional<ByteView> found;
  ForEachElement(elements, [&](ByteView element) {
    if (element[0] != kVendorElement || element.size() < 2 + 4 ||
        !std::equal(kWpaOui, kWpaOui + 4, element.begin() + 2))
      return false;
    found = element;
    return true;
  });
  return found;
}

std::optional<ByteView> FindSecurityElement(ByteView elements) {
  if (std::optional<ByteView> rsn = FindElement(elements, kRsnElementId)) return rsn;
  return FindWpaElement(elements);
}

std::optional<GroupKey> FindGroupKey(ByteView keyData) {
  std::optional<GroupKey> found;
  ForEachElement(keyData, [&](ByteView element) {
    // Header, OUI and type, key ID and reserved byte, then the key.
    if (element[0] != kVendorElement || element.size() < 2 + 6 + kCcmpKeyLength ||
        !std::equal(kGtkKde, kGtkKde + 4, element.begin() + 2))
      return false;
    GroupKey gtk;
    gtk.keyId = element[6] & 0x03;
    gtk.key.assign(element.begin() + 8, element.end());
    found = std::move(gtk);
    return true;
  });
  return found;
}

SecretBytes KeyDataWithGroupKey(ByteView elements, const GroupKey& gtk) {
  SecretBytes data(elements.begin(), elements.end());
  data.push_back(kVendorElement);
  data.push_back(static_cast<uint8_t>(6 + gtk.key.size()));
  data.insert(data.end(), kGtkKde, kGtkKde + 4);
  data.push_back(gtk.keyId & 0x03);
  data.push_back(0);
  data.insert(data.end(), gtk.key.begin(), gtk.key.end());
  return data;
}

bool WrapKeyData(ByteView kek, ByteView plain, Bytes& wrapped) {
  SecretBytes padded(plain.begin(), plain.end());
  if (padded.size() < 16 || padded.size() % 8 != 0) {
    padded.push_back(kVendorElement);
    while (padded.size() < 16 || padded.size() % 8 != 0) padded.push_back(0);
  }
  return crypto::AesKeyWrap(kek, padded, wrapped);
}

bool UnwrapKeyData(ByteView kek, ByteView wrapped, SecretBytes& plain) {
  return crypto::AesKeyUnwrap(kek, wrapped, plain);
}

bool Rc4KeyData(ByteView kek, const std::array<uint8_t, 16>& iv, std::span<uint8_t> data) {
  SecretBytes key(iv.begin(), iv.end());
  key.insert(key.end(), kek.begin(), kek.end());
  return crypto::Rc4(key, 256, data);
}

bool RandomNonce(Nonce& nonce) {
  return crypto::RandomBytes(nonce);
}

}  // namespace hx::rsn
