// The RSN key hierarchy and the EAPOL-Key frames of IEEE 802.11: WPA2 with
// CCMP (key descriptor version 2: HMAC-SHA1 MICs, AES key wrap) and WPA with
// TKIP (version 1: HMAC-MD5 MICs, RC4-encrypted key data). Pass phrase to
// PMK, the PRF and the PTK, key frames built, read and sealed with their
// MIC, key data wrapped or encrypted and its GTK found. The supplicant
// engine and the simulated access point both speak through it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "crypto/secret.h"

namespace hx::rsn {

using crypto::Bytes;
using crypto::ByteView;
using crypto::SecretBytes;
using Mac = std::array<uint8_t, 6>;
using Nonce = std::array<uint8_t, 32>;

// Key Information bits.
inline constexpr uint16_t kInfoVersionMask = 0x0007;
inline constexpr uint16_t kInfoVersionRc4 = 1;  // HMAC-MD5 MIC, RC4 key data (TKIP)
inline constexpr uint16_t kInfoVersionAes = 2;  // HMAC-SHA1-128 MIC, AES key wrap
inline constexpr uint16_t kInfoPairwise = 0x0008;
inline constexpr uint16_t kInfoKeyIndexMask = 0x0030;  // WPA's group key index
inline constexpr int kInfoKeyIndexShift = 4;
inline constexpr uint16_t kInfoInstall = 0x0040;
inline constexpr uint16_t kInfoAck = 0x0080;
inline constexpr uint16_t kInfoMic = 0x0100;
inline constexpr uint16_t kInfoSecure = 0x0200;
inline constexpr uint16_t kInfoError = 0x0400;
inline constexpr uint16_t kInfoRequest = 0x0800;
inline constexpr uint16_t kInfoEncrypted = 0x1000;

inline constexpr uint8_t kEapolKey = 3;         // EAPOL packet type
inline constexpr uint8_t kRsnDescriptor = 2;    // key descriptor type of WPA2
inline constexpr uint8_t kWpaDescriptor = 254;  // and of WPA
inline constexpr size_t kCcmpKeyLength = 16;    // TK and GTK of CCMP
inline constexpr size_t kTkipKeyLength = 32;    // TK and GTK of TKIP, their MIC keys included
inline constexpr uint8_t kRsnElementId = 0x30;

// The PMK of a pass phrase (8 to 63 printable ASCII characters) on an SSID
// of 1 to 32 bytes; a pass phrase of 64 hexadecimal digits is the PMK
// itself. None for anything else.
std::optional<SecretBytes> PassphraseToPmk(std::string_view passphrase, ByteView ssid);

// The PRF of IEEE 802.11 over HMAC-SHA1: out.size() bytes of
// HMAC(key, label || 0 || data || i) for i = 0, 1, ...
bool Prf(ByteView key, std::string_view label, ByteView data, std::span<uint8_t> out);

struct Ptk {
  SecretBytes kck, kek, tk;  // 16 bytes each; TKIP's TK is 32
};
std::optional<Ptk> DerivePtk(ByteView pmk, const Mac& aa, const Mac& spa, const Nonce& anonce,
                             const Nonce& snonce, size_t tkLength = kCcmpKeyLength);

// An EAPOL-Key frame of the RSN or the WPA descriptor.
struct KeyFrame {
  uint8_t protocolVersion = 2;  // of the EAPOL header
  uint8_t descriptor = kRsnDescriptor;
  uint16_t info = 0;
  uint16_t keyLength = 0;
  uint64_t replayCounter = 0;
  Nonce nonce{};
  std::array<uint8_t, 16> iv{};
  std::array<uint8_t, 8> rsc{};
  std::array<uint8_t, 16> mic{};
  Bytes data;
};

// The frame an EAPOL body holds, or none when it is not an RSN or WPA
// EAPOL-Key frame whose lengths agree with the bytes present. Bytes past the
// declared body are link padding.
std::optional<KeyFrame> ParseKeyFrame(ByteView eapol);
// The frame's bytes, its MIC computed under `kck` when one is given (by the
// frame's descriptor version: HMAC-MD5 for 1, HMAC-SHA1 for 2).
Bytes BuildKeyFrame(const KeyFrame& frame, ByteView kck = {});
// Whether the MIC in `eapol` (a frame ParseKeyFrame took) is right under
// `kck`, by the descriptor version the frame names.
bool MicMatches(ByteView eapol, ByteView kck);

// The whole element `id` (header included) in a run of elements.
std::optional<ByteView> FindElement(ByteView elements, uint8_t id);
// The WPA element (vendor element 00:50:F2 type 1) in a run of elements.
std::optional<ByteView> FindWpaElement(ByteView elements);
// The element a network's keys are negotiated in: RSN, else WPA.
std::optional<ByteView> FindSecurityElement(ByteView elements);

struct GroupKey {
  uint8_t keyId = 0;  // 0 to 3
  SecretBytes key;
};
// The GTK key data element (KDE) in (unwrapped) key data.
std::optional<GroupKey> FindGroupKey(ByteView keyData);
// Key data holding `elements` (taken as they are) and a GTK KDE for `gtk`.
SecretBytes KeyDataWithGroupKey(ByteView elements, const GroupKey& gtk);

// Key data padded as key wrap needs (0xDD, then zeros) and wrapped under the
// KEK; and back (the padding stays).
bool WrapKeyData(ByteView kek, ByteView plain, Bytes& wrapped);
bool UnwrapKeyData(ByteView kek, ByteView wrapped, SecretBytes& plain);
// Version 1's key data: RC4 under the frame's key IV and the KEK, its first
// 256 bytes of key stream thrown away; the same both ways, in place. False
// where the system's cryptography has no RC4.
bool Rc4KeyData(ByteView kek, const std::array<uint8_t, 16>& iv, std::span<uint8_t> data);

// A fresh nonce from the cryptographic random source.
bool RandomNonce(Nonce& nonce);

}  // namespace hx::rsn
