#include "eap/mschap.h"

#include <algorithm>
#include <cstring>

#include "crypto/crypto.h"

namespace hx::eap::mschap {
namespace {

constexpr uint8_t kValueSizeChallenge = 16;
constexpr uint8_t kValueSizeResponse = 49;  // peer challenge, 8 reserved, NT-Response, flags
constexpr size_t kFixed = 4;                // op code, identifier, MS-Length

// A 7-byte piece of the hash spread over the 8 bytes of a DES key (the low
// bit of each, the parity bit, is not used).
std::array<uint8_t, 8> DesKey(const uint8_t* in) {
  return {in[0],
          static_cast<uint8_t>(in[0] << 7 | in[1] >> 1),
          static_cast<uint8_t>(in[1] << 6 | in[2] >> 2),
          static_cast<uint8_t>(in[2] << 5 | in[3] >> 3),
          static_cast<uint8_t>(in[3] << 4 | in[4] >> 4),
          static_cast<uint8_t>(in[4] << 3 | in[5] >> 5),
          static_cast<uint8_t>(in[5] << 2 | in[6] >> 6),
          static_cast<uint8_t>(in[6] << 1)};
}

Bytes Header(uint8_t opCode, uint8_t id, size_t rest) {
  const size_t length = kFixed + rest;
  return {opCode, id, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

// The header and `text` after it, in one block made at its full size (GCC
// 12 at -O3 took the growth of a 4-byte vector for a write past it).
Bytes Packet(uint8_t opCode, uint8_t id, std::string_view text) {
  const size_t length = kFixed + text.size();
  Bytes data(4 + text.size());
  data[0] = opCode;
  data[1] = id;
  data[2] = static_cast<uint8_t>(length >> 8);
  data[3] = static_cast<uint8_t>(length);
  std::copy(text.begin(), text.end(), data.begin() + 4);
  return data;
}

}  // namespace

std::string_view WithoutDomain(std::string_view name) {
  const size_t slash = name.rfind('\\');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

std::optional<Hash> NtPasswordHash(std::string_view password) {
  SecretBytes unicode;
  unicode.reserve(2 * password.size());
  for (char c : password) {
    unicode.push_back(static_cast<uint8_t>(c));
    unicode.push_back(0);
  }
  Hash hash{};
  if (!crypto::Md4(unicode, hash)) return std::nullopt;
  return hash;
}

std::optional<Hash> HashNtPasswordHash(const Hash& hash) {
  Hash twice{};
  if (!crypto::Md4(hash, twice)) return std::nullopt;
  return twice;
}

std::optional<Challenge8> ChallengeHash(const Challenge& peer, const Challenge& authenticator,
                                        std::string_view userName) {
  std::array<uint8_t, crypto::kSha1Length> digest{};
  if (!crypto::Sha1({peer, authenticator, View(userName)}, digest)) return std::nullopt;
  Challenge8 challenge{};
  std::copy_n(digest.begin(), challenge.size(), challenge.begin());
  return challenge;
}

std::optional<NtResponse> ChallengeResponse(const Challenge8& challenge, const Hash& hash) {
  uint8_t padded[21] = {};
  WipeOnExit wipe(padded, sizeof padded);
  std::memcpy(padded, hash.data(), hash.size());
  NtResponse response{};
  for (size_t i = 0; i < 3; ++i) {
    std::array<uint8_t, 8> key = DesKey(padded + 7 * i);
    const bool ok = crypto::DesEncrypt(key, challenge, std::span<uint8_t, 8>(response.data() + 8 * i, 8));
    WipeSecret(key.data(), key.size());
    if (!ok) return std::nullopt;
  }
  return response;
}

std::optional<NtResponse> GenerateNtResponse(const Challenge& authenticator, const Challenge& peer,
                                             std::string_view userName, const Hash& passwordHash) {
  const std::optional<Challenge8> challenge = ChallengeHash(peer, authenticator, userName);
  if (!challenge) return std::nullopt;
  return ChallengeResponse(*challenge, passwordHash);
}

std::optional<std::string> AuthenticatorResponse(const Hash& passwordHash, const NtResponse& response,
                                                 const Challenge& peer, const Challenge& authenticator,
                                                 std::string_view userName) {
  static constexpr std::string_view kMagic1 = "Magic server to client signing constant";
  static constexpr std::string_view kMagic2 = "Pad to make it do more than one iteration";
  std::optional<Hash> hashHash = HashNtPasswordHash(passwordHash);
  const WipeOnExit wipeHashHash(hashHash ? hashHash->data() : nullptr, hashHash ? hashHash->size() : 0);
  const std::optional<Challenge8> challenge = ChallengeHash(peer, authenticator, userName);
  if (!hashHash || !challenge) return std::nullopt;
  std::array<uint8_t, crypto::kSha1Length> digest{};
  if (!crypto::Sha1({*hashHash, response, View(kMagic1)}, digest)) return std::nullopt;
  std::array<uint8_t, crypto::kSha1Length> final{};
  if (!crypto::Sha1({digest, *challenge, View(kMagic2)}, final)) return std::nullopt;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "S=";
  for (uint8_t b : final) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

Bytes ChallengeData(uint8_t id, const Challenge& challenge, std::string_view serverName) {
  Bytes data = Header(kChallenge, id, 1 + challenge.size() + serverName.size());
  data.push_back(kValueSizeChallenge);
  data.insert(data.end(), challenge.begin(), challenge.end());
  data.insert(data.end(), serverName.begin(), serverName.end());
  return data;
}

Bytes ResponseData(uint8_t id, const Challenge& peer, const NtResponse& response, std::string_view name) {
  Bytes data = Header(kResponse, id, 1 + kValueSizeResponse + name.size());
  data.push_back(kValueSizeResponse);
  data.insert(data.end(), peer.begin(), peer.end());
  data.insert(data.end(), 8, 0);  // reserved
  data.insert(data.end(), response.begin(), response.end());
  data.push_back(0);  // flags
  data.insert(data.end(), name.begin(), name.end());
  return data;
}

Bytes SuccessRequestData(uint8_t id, std::string_view authenticatorResponse, std::string_view message) {
  const std::string text = std::string(authenticatorResponse) + " M=" + std::string(message);
  return Packet(kSuccess, id, text);
}

Bytes FailureRequestData(uint8_t id, std::string_view text) {
  return Packet(kFailure, id, text);
}

Bytes OpCodeOnly(uint8_t opCode) {
  return Bytes{opCode};
}

std::optional<Message> ReadMessage(ByteView data) {
  if (data.empty()) return std::nullopt;
  Message message;
  message.opCode = data[0];
  // A peer answers a success or failure with its op code alone.
  if (data.size() == 1) {
    if (message.opCode != kSuccess && message.opCode != kFailure) return std::nullopt;
    return message;
  }
  if (data.size() < kFixed) return std::nullopt;
  message.id = data[1];
  const size_t length = static_cast<size_t>(data[2] << 8 | data[3]);
  // MS-Length counts from the op code; bytes past it are not the message's.
  if (length < kFixed || length > data.size()) return std::nullopt;
  const ByteView body = data.subspan(kFixed, length - kFixed);
  switch (message.opCode) {
    case kChallenge:
      if (body.size() < 1 + 16 || body[0] != kValueSizeChallenge) return std::nullopt;
      std::copy_n(body.begin() + 1, 16, message.challenge.begin());
      message.text = std::string(Text(body.subspan(17)));
      return message;
    case kResponse:
      if (body.size() < 1 + kValueSizeResponse || body[0] != kValueSizeResponse) return std::nullopt;
      std::copy_n(body.begin() + 1, 16, message.challenge.begin());
      std::copy_n(body.begin() + 1 + 16 + 8, 24, message.response.begin());
      message.text = std::string(Text(body.subspan(1 + kValueSizeResponse)));
      return message;
    case kSuccess:
    case kFailure:
      message.text = std::string(Text(body));
      return message;
    default:
      return std::nullopt;
  }
}

}  // namespace hx::eap::mschap
