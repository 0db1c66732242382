// MS-CHAP-V2 (RFC 2759) as EAP-MSCHAPv2, PEAP's and EAP-TTLS's inner
// methods, and LEAP use it: password hashes, the NT-Response and the
// authenticator's answer, and the packets of EAP-MSCHAPv2. The same code
// answers on the station and checks on the server.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "eap/packet.h"

namespace hx::eap::mschap {

using Hash = std::array<uint8_t, 16>;
using Challenge = std::array<uint8_t, 16>;
using Challenge8 = std::array<uint8_t, 8>;
using NtResponse = std::array<uint8_t, 24>;

// MD4 of the password's UTF-16LE form (its 8-bit characters widened), and
// MD4 of that. None when the system's cryptography lacks MD4.
std::optional<Hash> NtPasswordHash(std::string_view password);
std::optional<Hash> HashNtPasswordHash(const Hash& hash);

// The 8-byte challenge both sides compute from the two challenges and the
// user name (without any domain).
std::optional<Challenge8> ChallengeHash(const Challenge& peer, const Challenge& authenticator,
                                        std::string_view userName);
// Three DES encryptions of an 8-byte challenge under the 16-byte hash.
std::optional<NtResponse> ChallengeResponse(const Challenge8& challenge, const Hash& hash);

std::optional<NtResponse> GenerateNtResponse(const Challenge& authenticator, const Challenge& peer,
                                             std::string_view userName, const Hash& passwordHash);
// "S=" and 40 uppercase hexadecimal digits.
std::optional<std::string> AuthenticatorResponse(const Hash& passwordHash, const NtResponse& response,
                                                 const Challenge& peer, const Challenge& authenticator,
                                                 std::string_view userName);

// The user name MS-CHAP hashes: the part after the last backslash.
std::string_view WithoutDomain(std::string_view name);

// EAP-MSCHAPv2's op codes.
enum OpCode : uint8_t { kChallenge = 1, kResponse = 2, kSuccess = 3, kFailure = 4 };

// The type data of EAP-MSCHAPv2 packets: op code, MS-CHAPv2 identifier,
// 16-bit MS-Length, then the op code's fields.
Bytes ChallengeData(uint8_t id, const Challenge& challenge, std::string_view serverName);
Bytes ResponseData(uint8_t id, const Challenge& peer, const NtResponse& response, std::string_view name);
Bytes SuccessRequestData(uint8_t id, std::string_view authenticatorResponse, std::string_view message);
Bytes FailureRequestData(uint8_t id, std::string_view text);
// A peer's one-byte answer to a success or failure request.
Bytes OpCodeOnly(uint8_t opCode);

struct Message {
  uint8_t opCode = 0;
  uint8_t id = 0;
  Challenge challenge{};  // kChallenge: the authenticator's; kResponse: the peer's
  NtResponse response{};  // kResponse
  std::string text;       // kChallenge/kResponse: the name; kSuccess/kFailure: the message
};
// The message in EAP-MSCHAPv2 type data; none when it does not read as one.
std::optional<Message> ReadMessage(ByteView typeData);

}  // namespace hx::eap::mschap
