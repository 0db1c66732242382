// The RADIUS codec against bytes worked out apart from it (RFC 2865's
// authenticators, RFC 3579's Message-Authenticator and RFC 2548's MPPE key
// encryption, computed by a short script with Python's hmac and hashlib):
// sealed requests and answers, checks that refuse forgeries, EAP-Message
// split at 253 bytes, and packets that do not read.
#ifdef HALVEX_HAS_RADIUS
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "radius/codec.h"

namespace hx::test {
namespace {

using radius::Bytes;

Bytes Hex(const std::string& text) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return bytes;
}

const radius::Authenticator kRequestAuthenticator = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const Bytes kSealedRequest =
    Hex("01070035000102030405060708090a0b0c0d0e0f0105626f624f0a0201000801626f62501284fd78efb09e9ab76ddedc809f"
        "f7a67e");
const Bytes kSealedAccept =
    Hex("0207002c0548777bf6fe6191315cea2acb6c88cb4f060301000450127b50b7cb0044736bd10adda6415fe088");

TEST(RadiusCodecTest, SealedPacketsAreTheBytesRfc2865And3579Give) {
  radius::Packet request;
  request.code = radius::kAccessRequest;
  request.identifier = 7;
  request.authenticator = kRequestAuthenticator;
  request.AddText(radius::kUserName, "bob");
  radius::AddEapMessage(request, Hex("0201000801626f62"));
  EXPECT_EQ(radius::SealRequest(request, "halvex"), kSealedRequest);
  EXPECT_TRUE(radius::VerifyRequest(kSealedRequest, "halvex"));

  radius::Packet accept;
  accept.code = radius::kAccessAccept;
  accept.identifier = 7;
  radius::AddEapMessage(accept, Hex("03010004"));
  EXPECT_EQ(radius::SealResponse(accept, kRequestAuthenticator, "halvex"), kSealedAccept);
  EXPECT_TRUE(radius::VerifyResponse(kSealedAccept, kRequestAuthenticator, "halvex"));
}

TEST(RadiusCodecTest, ForgedOrDamagedPacketsDoNotVerify) {
  const auto flipped = [](Bytes b, size_t at) {
    b[at] ^= 0x01;
    return b;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    radius::Authenticator request;
    const char* secret;
  } answers[] = {
      {"another secret", kSealedAccept, kRequestAuthenticator, "halvex2"},
      {"another request", kSealedAccept, {1}, "halvex"},
      {"Response Authenticator off by a bit", flipped(kSealedAccept, 4), kRequestAuthenticator, "halvex"},
      {"an attribute off by a bit", flipped(kSealedAccept, 25), kRequestAuthenticator, "halvex"},
      {"Message-Authenticator off by a bit", flipped(kSealedAccept, 40), kRequestAuthenticator, "halvex"},
      {"cut short", Bytes(kSealedAccept.begin(), kSealedAccept.end() - 1), kRequestAuthenticator, "halvex"},
  };
  for (const Case& c : answers) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(radius::VerifyResponse(c.bytes, c.request, c.secret));
  }
  EXPECT_FALSE(radius::VerifyRequest(kSealedRequest, "halvex2"));
  EXPECT_FALSE(radius::VerifyRequest(flipped(kSealedRequest, 30), "halvex"));
  // EAP without a Message-Authenticator is refused (RFC 3579); an answer
  // without EAP may go without one.
  radius::Packet bare;
  bare.code = radius::kAccessRequest;
  radius::AddEapMessage(bare, Hex("0201000801626f62"));
  EXPECT_FALSE(radius::VerifyRequest(radius::Encode(bare), "halvex"));
  radius::Packet reject;
  reject.code = radius::kAccessReject;
  reject.identifier = 7;
  // An answer whose authenticator was never worked out does not verify.
  EXPECT_FALSE(radius::VerifyResponse(radius::Encode(reject), kRequestAuthenticator, "halvex"));
}

TEST(RadiusCodecTest, EapMessageGoesIn253BytePiecesAndComesBackWhole) {
  for (size_t length : {size_t{4}, size_t{253}, size_t{254}, size_t{600}}) {
    SCOPED_TRACE(length);
    Bytes eap(length);
    for (size_t i = 0; i < length; ++i) eap[i] = static_cast<uint8_t>(i * 7);
    radius::Packet p;
    radius::AddEapMessage(p, eap);
    std::vector<size_t> pieces;
    for (const radius::Attribute& a : p.attributes) pieces.push_back(a.value.size());
    std::vector<size_t> expected;
    for (size_t left = length; left > 0; left -= std::min<size_t>(left, 253))
      expected.push_back(std::min<size_t>(left, 253));
    EXPECT_EQ(pieces, expected);
    const std::optional<radius::Packet> read = radius::Parse(radius::Encode(p));
    ASSERT_TRUE(read);
    EXPECT_EQ(radius::EapMessage(*read), eap);
  }
  EXPECT_FALSE(radius::EapMessage(radius::Packet{}));
}

TEST(RadiusCodecTest, MppeKeysEncryptAsRfc2548SaysAndDecryptBack) {
  Bytes key(32);
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i);
  const Bytes expected = Hex(
      "81232c78b781c2189e8103fca796e32233dc57eeac54703733977c56886249a0c8de7834b7deb71b852801aafb809440338e");
  EXPECT_EQ(radius::EncryptMppeKey(key, "halvex", kRequestAuthenticator, 0x0123), expected);
  const std::optional<radius::SecretBytes> back =
      radius::DecryptMppeKey(expected, "halvex", kRequestAuthenticator);
  ASSERT_TRUE(back);
  EXPECT_EQ(Bytes(back->begin(), back->end()), key);
  // Under another secret the length byte comes out wrong, or the key does.
  const std::optional<radius::SecretBytes> wrong =
      radius::DecryptMppeKey(expected, "other", kRequestAuthenticator);
  EXPECT_TRUE(!wrong || Bytes(wrong->begin(), wrong->end()) != key);
  EXPECT_FALSE(
      radius::DecryptMppeKey(Bytes(expected.begin(), expected.end() - 1), "halvex", kRequestAuthenticator));
  Bytes noSaltBit = expected;
  noSaltBit[0] &= 0x7F;
  EXPECT_FALSE(radius::DecryptMppeKey(noSaltBit, "halvex", kRequestAuthenticator));
  // A vendor attribute carrying it, found again among others.
  radius::Packet p;
  radius::AddVendorAttribute(p, 9, radius::kMsMppeRecvKey, Hex("0102"));
  radius::AddVendorAttribute(p, radius::kVendorMicrosoft, radius::kMsMppeSendKey, Hex("0304"));
  radius::AddVendorAttribute(p, radius::kVendorMicrosoft, radius::kMsMppeRecvKey, expected);
  EXPECT_EQ(radius::Encode(p).size(), 20u + (2 + 6 + 2) * 2 + 2 + 6 + expected.size());
  EXPECT_EQ(radius::FindVendorAttribute(p, radius::kVendorMicrosoft, radius::kMsMppeRecvKey), expected);
  EXPECT_EQ(radius::FindVendorAttribute(p, radius::kVendorMicrosoft, radius::kMsMppeSendKey), Hex("0304"));
  EXPECT_FALSE(radius::FindVendorAttribute(p, 311, 1));
}

TEST(RadiusCodecTest, PacketsThatDoNotRead) {
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"header cut short", Hex("0107001400010203")},
      {"length below a header", Hex("01070013000102030405060708090a0b0c0d0e0f")},
      {"length past the bytes", Hex("01070016000102030405060708090a0b0c0d0e0f01")},
      {"attribute past the packet", Hex("01070017000102030405060708090a0b0c0d0e0f010462")},
      {"attribute of length 1", Hex("01070016000102030405060708090a0b0c0d0e0f0101")},
      {"attribute header cut", Hex("01070015000102030405060708090a0b0c0d0e0f01")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(radius::Parse(c.bytes));
  }
  // Bytes past the declared length are not the packet's.
  Bytes padded = kSealedRequest;
  padded.push_back(0xEE);
  const std::optional<radius::Packet> read = radius::Parse(padded);
  ASSERT_TRUE(read);
  EXPECT_EQ(radius::Encode(*read), kSealedRequest);
  EXPECT_TRUE(radius::VerifyRequest(padded, "halvex"));
}

}  // namespace
}  // namespace hx::test
#endif
