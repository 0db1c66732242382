// The pieces of 802.1X both ends share, against published answers and bytes
// written out: MS-CHAP-V2 (RFC 2759's worked example), TLS records cut into
// EAP fragments and gathered again (RFC 5216's L, M and S flags), EAP and
// EAPOL framing, EAP-TTLS attributes (RFC 5281), PEAP's Result TLV and its
// compressed inner packets, LEAP's packets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eap/fragments.h"
#include "eap/mschap.h"
#include "eap/packet.h"
#include "eap/tunnel.h"

namespace hx::test {
namespace {

using eap::Bytes;
namespace mschap = eap::mschap;

Bytes Hex(const std::string& text) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return bytes;
}
template <class Range>
Bytes Plain(const Range& r) {
  return Bytes(r.begin(), r.end());
}
template <size_t N>
std::array<uint8_t, N> Array(const std::string& hex) {
  std::array<uint8_t, N> out{};
  const Bytes bytes = Hex(hex);
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

// RFC 2759 section 9.2: user "User", password "clientPass".
TEST(MsChapV2Test, Rfc2759WorkedExample) {
  const auto authenticator = Array<16>("5b5d7c7d7b3f2f3e3c2c602132262628");
  const auto peer = Array<16>("21402324255e262a28295f2b3a337c7e");
  const std::optional<mschap::Hash> hash = mschap::NtPasswordHash("clientPass");
  if (!hash) GTEST_SKIP() << "no MD4 in this system's cryptography";
  EXPECT_EQ(Plain(*hash), Hex("44ebba8d5312b8d611474411f56989ae"));
  EXPECT_EQ(Plain(*mschap::HashNtPasswordHash(*hash)), Hex("41c00c584bd2d91c4017a2a12fa59f3f"));
  EXPECT_EQ(Plain(*mschap::ChallengeHash(peer, authenticator, "User")), Hex("d02e4386bce91226"));
  const std::optional<mschap::NtResponse> response =
      mschap::GenerateNtResponse(authenticator, peer, "User", *hash);
  if (!response) GTEST_SKIP() << "no single DES in this system's cryptography";
  EXPECT_EQ(Plain(*response), Hex("82309ecd8d708b5ea08faa3981cd83544233114a3d85d6df"));
  EXPECT_EQ(mschap::AuthenticatorResponse(*hash, *response, peer, authenticator, "User"),
            "S=407A5589115FD0D6209F510FE9C04566932CDA56");
  // The domain of DOMAIN\user is not hashed.
  EXPECT_EQ(mschap::WithoutDomain("CORP\\User"), "User");
  EXPECT_EQ(mschap::WithoutDomain("User"), "User");
}

TEST(MsChapV2Test, PacketsWrittenAndRead) {
  const auto challenge = Array<16>("000102030405060708090a0b0c0d0e0f");
  const Bytes challengeData = mschap::ChallengeData(7, challenge, "srv");
  EXPECT_EQ(challengeData, Hex("01070018"
                               "10"
                               "000102030405060708090a0b0c0d0e0f"
                               "737276"));
  const std::optional<mschap::Message> read = mschap::ReadMessage(challengeData);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->opCode, mschap::kChallenge);
  EXPECT_EQ(read->id, 7);
  EXPECT_EQ(Plain(read->challenge), Plain(challenge));
  EXPECT_EQ(read->text, "srv");

  mschap::NtResponse nt{};
  nt.fill(0x24);
  const Bytes response = mschap::ResponseData(7, challenge, nt, "bob");
  ASSERT_EQ(response.size(), 4u + 1 + 49 + 3);
  EXPECT_EQ(Bytes(response.begin(), response.begin() + 5), Hex("0207003931"));
  EXPECT_EQ(Bytes(response.begin() + 21, response.begin() + 29), Bytes(8, 0)) << "reserved";
  EXPECT_EQ(response[53], 0) << "flags";
  const std::optional<mschap::Message> back = mschap::ReadMessage(response);
  ASSERT_TRUE(back);
  EXPECT_EQ(Plain(back->response), Plain(nt));
  EXPECT_EQ(back->text, "bob");
  EXPECT_EQ(mschap::SuccessRequestData(7, "S=AB", "hi"), Hex("0307000d"
                                                             "533d4142204d3d6869"));
  struct Case {
    const char* name;
    Bytes data;
  } bad[] = {
      {"empty", {}},
      {"a lone challenge op code", {0x01}},
      {"MS-Length past the data", Hex("0107002010")},
      {"challenge of another size", Hex("010700060f00")},
      {"response cut short", Hex("0207000831000000")},
      {"unknown op code", Hex("09070004")},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(mschap::ReadMessage(c.data));
  }
  EXPECT_EQ(mschap::ReadMessage(mschap::OpCodeOnly(mschap::kSuccess))->opCode, mschap::kSuccess);
}

TEST(FragmentsTest, MessagesAreCutAndGatheredAsRfc5216Says) {
  Bytes message(2500);
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 13);
  eap::Fragmenter fragments(message, 1000, 0x01, eap::kFlagStart);
  std::vector<Bytes> sent;
  while (fragments.Pending()) sent.push_back(fragments.Next());
  ASSERT_EQ(sent.size(), 3u);
  // L, M and S with the version on the first, with the 4-byte total; M on
  // the middle; only the version on the last.
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 5), Hex("e1000009c4"));
  EXPECT_EQ(sent[0].size(), 5u + 1000);
  EXPECT_EQ(sent[1][0], 0x41);
  EXPECT_EQ(sent[1].size(), 1u + 1000);
  EXPECT_EQ(sent[2][0], 0x01);
  EXPECT_EQ(sent[2].size(), 1u + 500);
  eap::Reassembler gathered;
  EXPECT_EQ(gathered.Add(sent[0]), eap::Reassembler::Status::kMore);
  EXPECT_EQ(gathered.FirstFlags(), 0xE1);
  EXPECT_EQ(gathered.Add(sent[1]), eap::Reassembler::Status::kMore);
  EXPECT_EQ(gathered.Add(sent[2]), eap::Reassembler::Status::kComplete);
  EXPECT_EQ(gathered.Message(), message);
  // A message that fits goes whole, without L; an empty one is an acknowledgement.
  eap::Fragmenter whole(Hex("16030300"), 1000, 0);
  EXPECT_EQ(whole.Next(), Hex("0016030300"));
  EXPECT_TRUE(whole.Done());
  eap::Fragmenter ack({}, 1000, 0x01);
  EXPECT_EQ(ack.Next(), Hex("01"));
  EXPECT_FALSE(eap::Fragmenter().Pending());
}

TEST(FragmentsTest, FragmentsThatDoNotAddUpAreRefused) {
  using Status = eap::Reassembler::Status;
  struct Case {
    const char* name;
    std::vector<Bytes> pieces;
    Status last;
  } cases[] = {
      {"the total said, then more", {Hex("c000000002aabb"), Hex("00cc")}, Status::kError},
      {"the total said, then less", {Hex("c000000004aabb"), Hex("00cc")}, Status::kError},
      {"the total changed", {Hex("c000000003aa"), Hex("c000000004bb")}, Status::kError},
      {"a total first said by a later fragment, not held",
       {Hex("40aa"), Hex("800000000abb")},
       Status::kError},
      {"a total first said by a later fragment, held", {Hex("40aa"), Hex("8000000002bb")}, Status::kComplete},
      {"more than any message", {Hex("c000010001aa")}, Status::kError},
      {"an empty fragment with more to come", {Hex("40")}, Status::kError},
      {"L without its length", {Hex("800000")}, Status::kError},
      {"no flags byte", {{}}, Status::kError},
      {"the total in every fragment", {Hex("c000000002aa"), Hex("8000000002bb")}, Status::kComplete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    eap::Reassembler r;
    Status status = Status::kError;
    for (const Bytes& piece : c.pieces) status = r.Add(piece);
    EXPECT_EQ(status, c.last);
    EXPECT_FALSE(r.InProgress());
  }
}

TEST(EapFramingTest, PacketsAndFrames) {
  const std::optional<eap::Packet> identity = eap::Parse(Hex("0201000801626f62eeee"));
  ASSERT_TRUE(identity) << "bytes past the length are padding";
  EXPECT_EQ(identity->code, eap::kResponse);
  EXPECT_EQ(identity->type, eap::kIdentity);
  EXPECT_EQ(eap::Text(identity->data), "bob");
  EXPECT_EQ(eap::Build(*identity), Hex("0201000801626f62"));
  EXPECT_EQ(eap::Build(eap::kSuccess, 9), Hex("03090004"));
  for (const char* bad : {"020100", "0201000901626f62", "02010004", "05010004", "03010003"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(eap::Parse(Hex(bad)));
  }
  EXPECT_EQ(eap::BuildEapol(1, eap::kEapolPacket, Hex("03090004")), Hex("0100000403090004"));
  const Bytes padded = Hex("010000040309000400");
  const std::optional<eap::Eapol> frame = eap::ParseEapol(padded);
  ASSERT_TRUE(frame);
  EXPECT_EQ(Plain(frame->body), Hex("03090004"));
  EXPECT_FALSE(eap::ParseEapol(Hex("01000005030900")));
}

TEST(TunnelTest, TtlsAttributesPeapResultsAndLeap) {
  hx::crypto::SecretBytes avps;
  eap::AppendAvp(avps, eap::kAvpUserName, 0, eap::View("bob"));
  eap::AppendAvp(avps, eap::kAvpMsChapChallenge, eap::kVendorMicrosoft, Hex("0102"));
  EXPECT_EQ(Plain(avps), Hex("00000001"
                             "4000000b"
                             "626f6200"
                             "0000000b"
                             "c000000e"
                             "00000137"
                             "01020000"));
  const std::optional<std::vector<eap::Avp>> read = eap::ReadAvps(avps);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), 2u);
  EXPECT_EQ(Plain(eap::FindAvp(*read, eap::kAvpMsChapChallenge, eap::kVendorMicrosoft)->data), Hex("0102"));
  EXPECT_EQ(eap::FindAvp(*read, eap::kAvpMsChapChallenge), nullptr) << "the vendor counts";
  EXPECT_FALSE(eap::ReadAvps(Hex("000000014000000c626f62")));  // length past the run
  EXPECT_FALSE(eap::ReadAvps(Hex("0000000140000007")));        // length below its header
  EXPECT_EQ(Plain(eap::PadPassword("s3cret")), Hex("73336372657400000000000000000000"));
  EXPECT_EQ(Plain(eap::PadPassword("0123456789abcdef")).size(), 32u) << "a whole block gets a block of zeros";
  EXPECT_EQ(eap::UnpadPassword(eap::PadPassword("s3cret")), "s3cret");

  EXPECT_EQ(eap::ResultTlv(eap::kResultSuccess), Hex("800300020001"));
  EXPECT_EQ(eap::ReadResultTlv(Hex("000700010080030002"
                                   "0002")),
            eap::kResultFailure)
      << "after another TLV";
  EXPECT_FALSE(eap::ReadResultTlv(Hex("8003000300")));
  // PEAPv0's inner packets go without their header, EAP-TLV ones with it.
  const eap::Packet identity{eap::kResponse, 5, eap::kIdentity, Hex("626f62")};
  EXPECT_EQ(eap::CompressInner(identity), Hex("01626f62"));
  const eap::Packet tlv{eap::kResponse, 5, eap::kTlv, eap::ResultTlv(1)};
  EXPECT_EQ(eap::CompressInner(tlv), Hex("0205000b21800300020001"));
  EXPECT_EQ(eap::ExpandInner(Hex("01626f62"), eap::kResponse, 5)->identifier, 5);
  EXPECT_EQ(eap::ExpandInner(Hex("0205000b21800300020001"), eap::kRequest, 9)->type, eap::kTlv);

  EXPECT_EQ(eap::LeapData(Hex("0102030405060708"), "bob"), Hex("0100080102030405060708626f62"));
  const std::optional<eap::LeapMessage> leap = eap::ReadLeap(Hex("0100080102030405060708626f62"));
  ASSERT_TRUE(leap);
  EXPECT_EQ(leap->value, Hex("0102030405060708"));
  EXPECT_EQ(leap->name, "bob");
  for (const char* bad : {"0200080102030405060708", "0100090102030405060708", "01000801020304"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(eap::ReadLeap(Hex(bad)));
  }
}

}  // namespace
}  // namespace hx::test
