// Known answers of the crypto layer, on whichever library backs it (OpenSSL
// natively, CNG under Windows): RFC 6070 (PBKDF2-HMAC-SHA1), RFC 2202
// (HMAC-SHA1), RFC 3394 (AES key wrap), IEEE 802.11 Annex J (pass phrase to
// PSK, the PRF), and the RSN frames built on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "crypto/rsn.h"

namespace hx::test {
namespace {

using crypto::Bytes;
using crypto::ByteView;

Bytes Hex(const std::string& text) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return bytes;
}
Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}
template <class Range>
Bytes Plain(const Range& bytes) {
  return Bytes(bytes.begin(), bytes.end());
}
Bytes Counting(uint8_t first, size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

TEST(CryptoKnownAnswerTest, Pbkdf2HmacSha1) {
  struct Case {
    std::string password, salt;
    uint32_t iterations;
    std::string derived;
  } cases[] = {
      {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password + "/" + std::to_string(c.iterations));
    Bytes out(c.derived.size() / 2);
    ASSERT_TRUE(crypto::Pbkdf2HmacSha1(Text(c.password), Text(c.salt), c.iterations, out));
    EXPECT_EQ(out, Hex(c.derived));
  }
}

TEST(CryptoKnownAnswerTest, HmacSha1OverPartsIsOverTheirConcatenation) {
  struct Case {
    Bytes key;
    std::vector<std::string> parts;
    std::string mac;
  } cases[] = {
      {Bytes(20, 0x0B), {"Hi There"}, "b617318655057264e28bc0b6fb378c8ef146be00"},
      {Text("Jefe"), {"what do ya want ", "", "for nothing?"}, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, 20> mac{};
    const Bytes first = Text(c.parts[0]);
    const Bytes rest = c.parts.size() > 1 ? Text(c.parts[1]) : Bytes{};
    const Bytes last = c.parts.size() > 2 ? Text(c.parts[2]) : Bytes{};
    ASSERT_TRUE(crypto::HmacSha1(c.key, {first, rest, last}, mac));
    EXPECT_EQ(Plain(mac), Hex(c.mac));
  }
}

// The digests and old ciphers MS-CHAP, LEAP, RADIUS and TKIP use: RFC 1321
// (MD5), RFC 1320 (MD4), FIPS 180 (SHA-1), RFC 2202 (HMAC-MD5), the classic
// DES example, RFC 6229 (RC4) and TKIP's key data (RC4 under IV || KEK with
// 256 bytes thrown away, computed by an RC4 written apart).
TEST(CryptoKnownAnswerTest, DigestsAndTheOldCiphers) {
  std::array<uint8_t, 16> md{};
  ASSERT_TRUE(crypto::Md5({Text("a"), Text("bc")}, md));
  EXPECT_EQ(Plain(md), Hex("900150983cd24fb0d6963f7d28e17f72"));
  std::array<uint8_t, 20> sha{};
  ASSERT_TRUE(crypto::Sha1({Text("abc")}, sha));
  EXPECT_EQ(Plain(sha), Hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  struct Mac {
    Bytes key;
    std::string data, mac;
  } macs[] = {{Bytes(16, 0x0B), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
              {Text("Jefe"), "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"}};
  for (const Mac& m : macs) {
    ASSERT_TRUE(crypto::HmacMd5(m.key, {Text(m.data)}, md));
    EXPECT_EQ(Plain(md), Hex(m.mac));
  }
  // MD4, DES and RC4 may be missing from a system's cryptography (then the
  // methods that need them refuse); where present they must be right.
  if (crypto::Md4(Text("abc"), md)) {
    EXPECT_EQ(Plain(md), Hex("a448017aaf21d8525fc10ae87aa6729d"));
    ASSERT_TRUE(crypto::Md4({}, md));
    EXPECT_EQ(Plain(md), Hex("31d6cfe0d16ae931b73c59d7e0c089c0"));
  }
  const Bytes desKey = Hex("133457799bbcdff1"), desPlain = Hex("0123456789abcdef");
  std::array<uint8_t, 8> des{};
  if (crypto::DesEncrypt(std::span<const uint8_t, 8>(desKey.data(), 8),
                         std::span<const uint8_t, 8>(desPlain.data(), 8), des)) {
    EXPECT_EQ(Plain(des), Hex("85e813540f0ab405"));
  }
  Bytes stream(16, 0);
  if (crypto::Rc4(Hex("0102030405"), 0, stream)) {
    EXPECT_EQ(stream, Hex("b2396305f03dc027ccc3524a0a1118a8"));
    stream.assign(16, 0);
    ASSERT_TRUE(crypto::Rc4(Hex("0102030405"), 256, stream));
    EXPECT_EQ(stream, Hex("1cfcf62b03eddb641d77dfcf7f8d8c93"));
    std::array<uint8_t, 16> iv;
    for (size_t i = 0; i < iv.size(); ++i) iv[i] = static_cast<uint8_t>(0x10 + i);
    Bytes gtk(32, 0x3C);
    ASSERT_TRUE(rsn::Rc4KeyData(Counting(0x00, 16), iv, gtk));
    EXPECT_EQ(gtk, Hex("71f609f6bf5396230ae1d05b82363863dbca92adf2d16594ea84aa5c4ab633e2"));
  }
#ifndef _WIN32
  // Natively all three come from OpenSSL's legacy provider.
  EXPECT_TRUE(crypto::Md4({}, md));
  EXPECT_TRUE(crypto::Rc4(Hex("01"), 0, stream));
#endif
}

TEST(CryptoKnownAnswerTest, AesKeyWrapBothWays) {
  const std::string key128 = "00112233445566778899AABBCCDDEEFF";
  struct Case {
    const char* name;
    std::string kek, plain, wrapped;
  } cases[] = {
      {"4.1", "000102030405060708090A0B0C0D0E0F", key128, "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5"},
      {"4.2", "000102030405060708090A0B0C0D0E0F1011121314151617", key128,
       "96778B25AE6CA435F92B5B97C050AED2468AB8A17AD84E5D"},
      {"4.3", "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", key128,
       "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7"},
      {"4.6", "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
       "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
       "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes wrapped;
    ASSERT_TRUE(crypto::AesKeyWrap(Hex(c.kek), Hex(c.plain), wrapped));
    EXPECT_EQ(wrapped, Hex(c.wrapped));
    crypto::SecretBytes plain;
    ASSERT_TRUE(crypto::AesKeyUnwrap(Hex(c.kek), Hex(c.wrapped), plain));
    EXPECT_EQ(Plain(plain), Hex(c.plain));
    // One bit off anywhere fails the integrity check.
    for (size_t at : {size_t{0}, size_t{9}, wrapped.size() - 1}) {
      Bytes bad = Hex(c.wrapped);
      bad[at] ^= 0x01;
      EXPECT_FALSE(crypto::AesKeyUnwrap(Hex(c.kek), bad, plain)) << at;
    }
  }
  // Shapes key wrap does not take.
  Bytes out;
  crypto::SecretBytes plain;
  EXPECT_FALSE(crypto::AesKeyWrap(Hex(cases[0].kek), Bytes(8, 1), out));
  EXPECT_FALSE(crypto::AesKeyWrap(Hex(cases[0].kek), Bytes(20, 1), out));
  EXPECT_FALSE(crypto::AesKeyWrap(Bytes(15, 1), Bytes(16, 1), out));
  EXPECT_FALSE(crypto::AesKeyUnwrap(Hex(cases[0].kek), Bytes(16, 1), plain));
  EXPECT_FALSE(crypto::AesKeyUnwrap(Hex(cases[0].kek), Bytes(25, 1), plain));
}

TEST(CryptoKnownAnswerTest, RandomBytesDiffer) {
  Bytes a(32), b(32);
  ASSERT_TRUE(crypto::RandomBytes(a));
  ASSERT_TRUE(crypto::RandomBytes(b));
  EXPECT_NE(a, b);
  EXPECT_NE(a, Bytes(32, 0));
}

// A block a secret vector lets go of is wiped before it is freed. The
// allocator's next block of the same size is most often the one just freed;
// where it is not (sanitizers hold freed blocks back), there is nothing to see.
TEST(SecretBytesTest, FreedBlocksHoldNoSecret) {
  const uint8_t* freed;
  {
    crypto::SecretBytes secret(256, 0xC7);
    freed = secret.data();
  }
  std::unique_ptr<uint8_t[]> next(new uint8_t[256]);
  if (next.get() != freed) GTEST_SKIP() << "the allocator gave another block";
  // The allocator's own bookkeeping may take the first bytes.
  EXPECT_EQ(std::count(next.get() + 32, next.get() + 256, 0xC7), 0);
}

TEST(RsnKnownAnswerTest, PassPhraseToPsk) {
  struct Case {
    std::string passphrase, ssid;
    std::optional<std::string> pmk;
  } cases[] = {
      {"password", "IEEE", "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e"},
      {"ThisIsAPassword", "ThisIsASSID", "0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af"},
      {std::string(32, 'a'), std::string(32, 'Z'),
       "becb93866bb8c3832cb777c2f559807c8c59afcb6eae734885001300a981cc62"},
      // 64 hexadecimal digits are the key itself.
      {"000102030405060708090a0b0c0d0e0f101112131415161718191A1B1C1D1E1F", "any",
       "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"},
      {"seven77", "IEEE", std::nullopt},
      // The longest pass phrase (computed independently, Python hashlib).
      {std::string(63, 'p'), "IEEE", "4fce3de309b0d3e56b403791a4dcc712417e575546d16dd6024265cd2faee56e"},
      {std::string(64, 'g'), "IEEE", std::nullopt},
      {"pass\tphrase", "IEEE", std::nullopt},
      {"password", "", std::nullopt},
      {"password", std::string(33, 's'), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.passphrase + "/" + c.ssid);
    const std::optional<crypto::SecretBytes> pmk = rsn::PassphraseToPmk(c.passphrase, Text(c.ssid));
    ASSERT_EQ(pmk.has_value(), c.pmk.has_value());
    if (pmk) {
      EXPECT_EQ(Plain(*pmk), Hex(*c.pmk));
    }
  }
}

TEST(RsnKnownAnswerTest, PrfAndPairwiseKeys) {
  struct Case {
    Bytes key;
    std::string data, out;
  } cases[] = {
      {Bytes(20, 0x0B), "Hi There",
       "bcd4c650b30b9684951829e0d75f9d54b862175ed9f00606e17d8da35402ffee75df78c3d31e0f889f012120c0862beb67753"
       "e7439ae"
       "242edb8373698356cf5a"},
      {Text("Jefe"), "what do ya want for nothing?",
       "51f4de5b33f249adf81aeb713a3c20f4fe631446fabdfa58244759ae58ef9009a99abf4eac2ca5fa87e692c440eb40023e7ba"
       "bb206"
       "d61de7b92f41529092b8fc"},
      {Bytes(20, 0xAA), std::string(50, '\xDD'),
       "e1ac546ec4cb636f9976487be5c86be17a0252ca5d8d8df12cfb0473525249ce9dd8d177ead710bc9b590547239107aef7b4a"
       "bd43d"
       "87f0a68f1cbd9e2b6f7607"},
  };
  for (const Case& c : cases) {
    Bytes out(64);
    ASSERT_TRUE(rsn::Prf(c.key, "prefix", Text(c.data), out));
    EXPECT_EQ(out, Hex(c.out));
  }
  // PTK of the Annex J PSK ("ThisIsAPassword"), AA a0..a5, SPA b0..b5,
  // ANonce e0..ff, SNonce c0..df; computed independently (Python hmac). The
  // order of addresses and nonces must not matter: swapped roles agree.
  const Bytes pmk = Hex("0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af");
  const rsn::Mac aa = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, spa = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
  rsn::Nonce anonce, snonce;
  for (uint8_t i = 0; i < 32; ++i)
    anonce[i] = static_cast<uint8_t>(0xE0 + i), snonce[i] = static_cast<uint8_t>(0xC0 + i);
  for (bool swapped : {false, true}) {
    const std::optional<rsn::Ptk> ptk =
        swapped ? rsn::DerivePtk(pmk, spa, aa, snonce, anonce) : rsn::DerivePtk(pmk, aa, spa, anonce, snonce);
    ASSERT_TRUE(ptk);
    EXPECT_EQ(Plain(ptk->kck), Hex("e677aae82af1fb9a25e93e22ad77022e"));
    EXPECT_EQ(Plain(ptk->kek), Hex("d90489e672adcc6ae148d0afafb92b69"));
    EXPECT_EQ(Plain(ptk->tk), Hex("36606222ae74d4d2d1db3ac91f6c2809"));
  }
}

// Message 2 under that PTK's KCK: every byte where a reader expects it, the
// MIC computed independently (Python hmac over the frame with a zero MIC).
TEST(RsnKnownAnswerTest, KeyFrameBytesAndMic) {
  const Bytes rsnElement = Hex("30140100000fac040100000fac040100000fac020000");
  rsn::KeyFrame frame;
  frame.protocolVersion = 1;
  frame.info = 0x010A;
  frame.replayCounter = 1;
  for (uint8_t i = 0; i < 32; ++i) frame.nonce[i] = static_cast<uint8_t>(0xC0 + i);
  frame.data = rsnElement;
  const Bytes kck = Hex("e677aae82af1fb9a25e93e22ad77022e");
  const Bytes built = rsn::BuildKeyFrame(frame, kck);
  Bytes expected = Hex("0103007502010a00000000000000000001");
  const Bytes nonce = Counting(0xC0, 32);
  expected.insert(expected.end(), nonce.begin(), nonce.end());
  expected.resize(expected.size() + 32, 0);  // IV, RSC, reserved
  const Bytes mic = Hex("4b68b6ef2ab7b3e4be16d2a7dc2eb086");
  expected.insert(expected.end(), mic.begin(), mic.end());
  expected.push_back(0x00);
  expected.push_back(0x16);
  expected.insert(expected.end(), rsnElement.begin(), rsnElement.end());
  EXPECT_EQ(built, expected);
  EXPECT_TRUE(rsn::MicMatches(built, kck));
  // Read back as built; padding after the body is ignored by both.
  Bytes padded = built;
  padded.resize(built.size() + 3, 0xEE);
  const std::optional<rsn::KeyFrame> read = rsn::ParseKeyFrame(padded);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->info, 0x010A);
  EXPECT_EQ(read->replayCounter, 1u);
  EXPECT_EQ(Plain(read->mic), mic);
  EXPECT_EQ(read->data, rsnElement);
  EXPECT_TRUE(rsn::MicMatches(padded, kck));
  for (size_t at : {size_t{5}, size_t{20}, size_t{81}, built.size() - 1}) {
    Bytes bad = built;
    bad[at] ^= 0x80;
    EXPECT_FALSE(rsn::MicMatches(bad, kck)) << at;
  }
}

TEST(RsnKnownAnswerTest, KeyFramesThatDoNotRead) {
  const Bytes good = rsn::BuildKeyFrame(rsn::KeyFrame{});
  struct Case {
    const char* name;
    size_t at;
    uint8_t value;
    size_t keep;
  } cases[] = {
      {"version 0", 0, 0x00, 99},           {"an EAP packet", 1, 0x00, 99},
      {"body past the bytes", 3, 0x60, 99}, {"body shorter than a key frame", 3, 0x5E, 99},
      {"no such descriptor", 4, 0x01, 99},  {"key data past the body", 98, 0x01, 99},
      {"header only", 0, 0x02, 4},          {"cut in the middle", 0, 0x02, 50},
  };
  ASSERT_TRUE(rsn::ParseKeyFrame(good));
  Bytes wpa = good;
  wpa[4] = 0xFE;  // WPA's descriptor reads too
  ASSERT_TRUE(rsn::ParseKeyFrame(wpa));
  EXPECT_EQ(rsn::ParseKeyFrame(wpa)->descriptor, 0xFE);
  for (const Case& c : cases) {
    Bytes bad(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(c.keep));
    bad[c.at] = c.value;
    EXPECT_FALSE(rsn::ParseKeyFrame(bad)) << c.name;
  }
}

TEST(RsnKnownAnswerTest, KeyDataWithGroupKeyWrapsAndReadsBack) {
  const Bytes kek = Hex("d90489e672adcc6ae148d0afafb92b69");
  const Bytes rsnElement = Hex("30140100000fac040100000fac040100000fac020000");
  rsn::GroupKey gtk;
  gtk.keyId = 2;
  gtk.key.assign(16, 0x5A);
  const crypto::SecretBytes plain = rsn::KeyDataWithGroupKey(rsnElement, gtk);
  Bytes kde = Hex("dd16000fac0102005a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a");
  Bytes expected = rsnElement;
  expected.insert(expected.end(), kde.begin(), kde.end());
  EXPECT_EQ(Plain(plain), expected);
  Bytes wrapped;
  ASSERT_TRUE(rsn::WrapKeyData(kek, plain, wrapped));
  EXPECT_EQ(wrapped.size(), 56u);  // 46 bytes, padded with DD 00 to 48, and 8 more
  crypto::SecretBytes unwrapped;
  ASSERT_TRUE(rsn::UnwrapKeyData(kek, wrapped, unwrapped));
  Bytes padded = expected;
  padded.push_back(0xDD);
  padded.push_back(0x00);
  EXPECT_EQ(Plain(unwrapped), padded);
  const auto found = rsn::FindGroupKey(unwrapped);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->keyId, 2);
  EXPECT_EQ(Plain(found->key), Bytes(16, 0x5A));
  EXPECT_EQ(Plain(*rsn::FindElement(unwrapped, 0x30)), rsnElement);
  // WPA's element is the vendor element 00:50:F2 of type 1, however short;
  // not WMM's (type 2), not a cut one.
  EXPECT_EQ(Plain(*rsn::FindWpaElement(Hex("dd040050f201"))), Hex("dd040050f201"));
  EXPECT_FALSE(rsn::FindWpaElement(Hex("dd040050f202")));
  EXPECT_FALSE(rsn::FindWpaElement(Hex("dd030050f2")));
  Bytes both = Hex("dd040050f201");
  both.insert(both.end(), rsnElement.begin(), rsnElement.end());
  EXPECT_EQ(Plain(*rsn::FindSecurityElement(both)), rsnElement) << "RSN first";
  // No GTK in other vendor elements, cut ones or padding.
  EXPECT_FALSE(rsn::FindGroupKey(Hex("dd16000fac0202005a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a")));
  EXPECT_FALSE(rsn::FindGroupKey(Hex("dd17000fac0102005a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a")));
  EXPECT_FALSE(rsn::FindGroupKey(Hex("dd00dd16000fac0102005a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a")));
}

}  // namespace
}  // namespace hx::test
