// The simulated WPA2-PSK access point's authenticator, driven through the
// adapter's request channel alone: the 4-way handshake with a station the
// test plays, its retries, the keys the driver must hold for traffic to flow,
// the group rekey and the capture of what the adapter carried.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "crypto/rsn.h"
#include "tests/sim/channel_fixture.h"

namespace hx::test {
namespace {

using sim::Bytes;
using namespace std::chrono_literals;

constexpr DWORD kBound = 5000;  // a safety bound only
const rsn::Mac kAa = {0x00, 0x11, 0x22, 0x33, 0x44, 0x08};
const rsn::Mac kSpa = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const Bytes kRsnElement = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                           0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x00};

class PskAuthenticatorTest : public SimChannelTest {
 protected:
  void SetUp() override {
    sim::RadioWorld world = sim::RadioWorld::Default();
    world.current.reset();
    world.accessPoints.push_back(sim::PskAccessPoint("HalvexLab", 0x08, 1, "lab pass phrase"));
    Install(world);
    adapter_->SetHandshakeRetry(60s);  // retries only where a test asks for them
    pmk_ = *rsn::PassphraseToPmk("lab pass phrase", Bytes{'H', 'a', 'l', 'v', 'e', 'x', 'L', 'a', 'b'});
  }

  // The Ethernet frame of a code-132 record (a 32-bit length, then the frame).
  static Bytes Frame(const Record& r) {
    const uint32_t length = r.data.size() >= 4 ? sim::ReadWord(r.data.data()) : 0;
    return length + 4 <= r.data.size() ? Bytes(r.data.begin() + 4, r.data.begin() + 4 + length) : Bytes{};
  }
  std::vector<uint32_t> Codes(const std::vector<Record>& records) {
    std::vector<uint32_t> codes;
    for (const Record& r : records) codes.push_back(r.code);
    return codes;
  }
  // The records that come by themselves (the access point's timer).
  std::vector<Record> AwaitRecords() {
    // A signal may be left over from records already fetched.
    for (;;) {
      if (WaitForSingleObject(notify_.get(), kBound) != WAIT_OBJECT_0) return {};
      std::vector<Record> records = Fetch();
      if (!records.empty()) return records;
    }
  }

  // Joins the network; returns message 1's EAPOL frame.
  Bytes Join(uint32_t authMode = sim::ndis::kAuthWpa2Psk) {
    ResetEvent(notify_.get());
    EXPECT_TRUE(Set(OID_802_11_AUTHENTICATION_MODE, sim::WordBytes(authMode)));
    Bytes name = {9, 0, 0, 0, 'H', 'a', 'l', 'v', 'e', 'x', 'L', 'a', 'b'};
    name.resize(36, 0);
    EXPECT_TRUE(Set(OID_802_11_SSID, name));
    EXPECT_EQ(WaitForSingleObject(notify_.get(), kBound), WAIT_OBJECT_0);
    const std::vector<Record> records = Fetch();
    if (authMode != sim::ndis::kAuthWpa2Psk) {
      EXPECT_EQ(Codes(records), (std::vector<uint32_t>{0}));
      return {};
    }
    EXPECT_EQ(Codes(records), (std::vector<uint32_t>{1, 132}));
    return records.size() == 2 ? Eapol(Frame(records[1])) : Bytes{};
  }
  static Bytes Eapol(const Bytes& ethernet) {
    EXPECT_EQ(Bytes(ethernet.begin(), ethernet.begin() + 14),
              (Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x11, 0x22, 0x33, 0x44, 0x08, 0x88, 0x8E}));
    return Bytes(ethernet.begin() + 14, ethernet.end());
  }

  // Transmits an EAPOL frame as the library does; returns the records it brought.
  std::vector<Record> Transmit(const Bytes& eapol) {
    Bytes frame = {0x00, 0x11, 0x22, 0x33, 0x44, 0x08, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x88, 0x8E};
    frame.insert(frame.end(), eapol.begin(), eapol.end());
    Bytes payload = {static_cast<uint8_t>(frame.size()), static_cast<uint8_t>(frame.size() >> 8), 0, 0};
    payload.insert(payload.end(), frame.begin(), frame.end());
    EXPECT_TRUE(Set(OID_HALVEX_EAPOL_TX, payload));
    return Fetch();
  }

  // The station's message 2 to `message1`, under the PMK of `pmk`.
  Bytes Message2(const Bytes& message1, const hx::crypto::SecretBytes& pmk,
                 const Bytes& element = kRsnElement) {
    const rsn::KeyFrame m1 = *rsn::ParseKeyFrame(message1);
    snonce_.fill(0x77);
    ptk_ = rsn::DerivePtk(pmk, kAa, kSpa, m1.nonce, snonce_);
    rsn::KeyFrame m2;
    m2.protocolVersion = 1;
    m2.info = 0x010A;
    m2.replayCounter = m1.replayCounter;
    m2.nonce = snonce_;
    m2.data = element;
    return rsn::BuildKeyFrame(m2, ptk_->kck);
  }
  Bytes Answer(uint16_t info, uint64_t counter) {
    rsn::KeyFrame frame;
    frame.protocolVersion = 1;
    frame.info = info;
    frame.replayCounter = counter;
    return rsn::BuildKeyFrame(frame, ptk_->kck);
  }
  // Adds a key through the driver as the library does.
  void AddKey(uint32_t index, const Bytes& material) {
    Bytes record(32 + material.size(), 0);
    record[0] = static_cast<uint8_t>(record.size());
    std::memcpy(record.data() + 4, &index, 4);
    record[8] = static_cast<uint8_t>(material.size());
    std::copy(kAa.begin(), kAa.end(), record.begin() + 12);
    std::copy(material.begin(), material.end(), record.begin() + 32);
    EXPECT_TRUE(Set(OID_802_11_ADD_KEY, record));
  }
  // Messages 1 to 4 and the pairwise key; returns message 3.
  Bytes Complete() {
    const Bytes message1 = Join();
    const std::vector<Record> third = Transmit(Message2(message1, pmk_));
    EXPECT_EQ(Codes(third), (std::vector<uint32_t>{133, 132}));
    if (third.size() != 2) return {};
    const Bytes message3 = Eapol(Frame(third[1]));
    EXPECT_EQ(Codes(Transmit(Answer(0x030A, rsn::ParseKeyFrame(message3)->replayCounter))),
              (std::vector<uint32_t>{133}));
    AddKey(0xC0000000, Bytes(ptk_->tk.begin(), ptk_->tk.end()));
    return message3;
  }

  hx::crypto::SecretBytes pmk_;
  rsn::Nonce snonce_{};
  std::optional<rsn::Ptk> ptk_;
};

TEST_F(PskAuthenticatorTest, HandshakeWithTheRightKeyOpensThePort) {
  const Bytes message1 = Join();
  // Message 1: version 2, key information 0x008A, key length 16, replay 1.
  ASSERT_EQ(message1.size(), 99u);
  EXPECT_EQ(Bytes(message1.begin(), message1.begin() + 17),
            (Bytes{0x02, 0x03, 0x00, 0x5F, 0x02, 0x00, 0x8A, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x01}));
  EXPECT_NE(Bytes(message1.begin() + 17, message1.begin() + 49), Bytes(32, 0)) << "an ANonce";
  EXPECT_FALSE(adapter_->PortOpen());

  const std::vector<Record> third = Transmit(Message2(message1, pmk_));
  ASSERT_EQ(Codes(third), (std::vector<uint32_t>{133, 132}));
  const Bytes message3 = Eapol(Frame(third[1]));
  EXPECT_EQ(Bytes(message3.begin(), message3.begin() + 17),
            (Bytes{0x02, 0x03, 0x00, 0x97, 0x02, 0x13, 0xCA, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x02}));
  EXPECT_EQ(Bytes(message3.begin() + 17, message3.begin() + 49),
            Bytes(message1.begin() + 17, message1.begin() + 49));
  EXPECT_EQ(Bytes(message3.begin() + 65, message3.begin() + 73), (Bytes{0x2A, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(rsn::MicMatches(message3, ptk_->kck));
  // Its key data: the beacon's RSN element and the BSS's GTK as key 1.
  hx::crypto::SecretBytes keyData;
  ASSERT_TRUE(rsn::UnwrapKeyData(ptk_->kek, rsn::ParseKeyFrame(message3)->data, keyData));
  EXPECT_EQ(Bytes(keyData.begin(), keyData.begin() + 22), kRsnElement);
  const std::optional<rsn::GroupKey> gtk = rsn::FindGroupKey(keyData);
  ASSERT_TRUE(gtk);
  EXPECT_EQ(gtk->keyId, 1);
  const std::optional<sim::BssGroupKey> group = adapter_->World().GroupKey();
  ASSERT_TRUE(group);
  EXPECT_EQ(gtk->key, group->gtk.key);

  EXPECT_EQ(Codes(Transmit(Answer(0x030A, 2))), (std::vector<uint32_t>{133}));
  EXPECT_TRUE(adapter_->World().Handshake().Completed());
  // Traffic flows once the driver holds the very pairwise key.
  EXPECT_FALSE(adapter_->PortOpen()) << "no key yet";
  Bytes wrong(ptk_->tk.begin(), ptk_->tk.end());
  wrong[15] ^= 0x01;
  AddKey(0xC0000000, wrong);
  EXPECT_FALSE(adapter_->PortOpen());
  AddKey(0x00000001, Bytes(ptk_->tk.begin(), ptk_->tk.end()));
  EXPECT_FALSE(adapter_->PortOpen()) << "a group key of the same bytes";
  AddKey(0xC0000000, Bytes(ptk_->tk.begin(), ptk_->tk.end()));
  EXPECT_TRUE(adapter_->PortOpen());
  // And stops with the association.
  EXPECT_TRUE(Set(OID_802_11_DISASSOCIATE, {}));
  EXPECT_FALSE(adapter_->PortOpen());
}

TEST_F(PskAuthenticatorTest, AnswersThatDoNotCheckOutAreIgnored) {
  const Bytes message1 = Join();
  const auto otherPmk =
      *rsn::PassphraseToPmk("another pass phrase", Bytes{'H', 'a', 'l', 'v', 'e', 'x', 'L', 'a', 'b'});
  Bytes tampered = Message2(message1, pmk_);
  tampered[20] ^= 0x01;
  struct Case {
    const char* name;
    Bytes frame;
    uint32_t micFailures;
  } cases[] = {
      {"another pass phrase", Message2(message1, otherPmk), 1},
      {"a tampered SNonce", tampered, 2},
      {"a replay counter not sent",
       [&] {
         rsn::KeyFrame m1 = *rsn::ParseKeyFrame(message1);
         m1.replayCounter = 2;
         return Message2(rsn::BuildKeyFrame(m1), pmk_);
       }(),
       2},
      {"message 4 for message 2", Answer(0x030A, 1), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Codes(Transmit(c.frame)), (std::vector<uint32_t>{133}));
    EXPECT_EQ(adapter_->World().station.pskMicFailures, c.micFailures);
  }
  EXPECT_EQ(Codes(Transmit(Message2(message1, pmk_))), (std::vector<uint32_t>{133, 132}));
}

TEST_F(PskAuthenticatorTest, AnotherRsnElementInMessage2DropsTheStation) {
  const Bytes message1 = Join();
  Bytes tkip = kRsnElement;
  tkip[13] = 0x02;
  EXPECT_EQ(Codes(Transmit(Message2(message1, pmk_, tkip))), (std::vector<uint32_t>{133, 0}));
  EXPECT_FALSE(adapter_->World().current.has_value());
}

TEST_F(PskAuthenticatorTest, UnansweredMessagesAreSentAgainThenTheStationIsDropped) {
  adapter_->SetHandshakeRetry(20ms);
  const Bytes message1 = Join();
  // Message 1 three more times, each with the next replay counter, then the disassociation.
  for (uint8_t counter = 2; counter <= 4; ++counter) {
    const std::vector<Record> again = AwaitRecords();
    ASSERT_EQ(Codes(again), (std::vector<uint32_t>{132}));
    const Bytes resent = Eapol(Frame(again[0]));
    EXPECT_EQ(resent[16], counter);
    EXPECT_EQ(Bytes(resent.begin() + 17, resent.begin() + 49),
              Bytes(message1.begin() + 17, message1.begin() + 49));
  }
  EXPECT_EQ(Codes(AwaitRecords()), (std::vector<uint32_t>{0}));
  EXPECT_FALSE(adapter_->World().current.has_value());

  // Message 3 likewise; an answer to any message 1 sent is taken.
  const Bytes again = Join();
  const std::vector<Record> resent = AwaitRecords();
  ASSERT_EQ(Codes(resent), (std::vector<uint32_t>{132}));
  const std::vector<Record> third = Transmit(Message2(again, pmk_));
  ASSERT_EQ(Codes(third), (std::vector<uint32_t>{133, 132}));
  EXPECT_EQ(Eapol(Frame(third[1]))[16], 3);
  for (uint8_t counter = 4; counter <= 6; ++counter)
    EXPECT_EQ(Eapol(Frame(AwaitRecords().at(0)))[16], counter);
  EXPECT_EQ(Codes(AwaitRecords()), (std::vector<uint32_t>{0}));
}

TEST_F(PskAuthenticatorTest, GroupRekeySendsTheNewKeyAndTakesItsAnswer) {
  EXPECT_FALSE(adapter_->RekeyGroup()) << "no station yet";
  Complete();
  const sim::BssGroupKey first = *adapter_->World().GroupKey();
  const Bytes before(first.gtk.key.begin(), first.gtk.key.end());
  ASSERT_TRUE(adapter_->RekeyGroup());
  const std::vector<Record> records = Fetch();
  ASSERT_EQ(Codes(records), (std::vector<uint32_t>{132}));
  const Bytes group1 = Eapol(Frame(records[0]));
  EXPECT_EQ(Bytes(group1.begin(), group1.begin() + 17),
            (Bytes{0x02, 0x03, 0x00, 0x7F, 0x02, 0x13, 0x82, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x03}));
  EXPECT_TRUE(rsn::MicMatches(group1, ptk_->kck));
  hx::crypto::SecretBytes keyData;
  ASSERT_TRUE(rsn::UnwrapKeyData(ptk_->kek, rsn::ParseKeyFrame(group1)->data, keyData));
  const std::optional<rsn::GroupKey> gtk = rsn::FindGroupKey(keyData);
  ASSERT_TRUE(gtk);
  EXPECT_EQ(gtk->keyId, 2);
  EXPECT_NE(Bytes(gtk->key.begin(), gtk->key.end()), before);
  EXPECT_EQ(adapter_->World().Handshake().phase(), sim::RsnAuthenticator::Phase::kAwaitGroupMessage2);
  EXPECT_EQ(Codes(Transmit(Answer(0x0302, 2))), (std::vector<uint32_t>{133})) << "an old counter";
  EXPECT_EQ(adapter_->World().Handshake().phase(), sim::RsnAuthenticator::Phase::kAwaitGroupMessage2);
  EXPECT_EQ(Codes(Transmit(Answer(0x0302, 3))), (std::vector<uint32_t>{133}));
  EXPECT_EQ(adapter_->World().Handshake().phase(), sim::RsnAuthenticator::Phase::kComplete);
  EXPECT_TRUE(adapter_->PortOpen());
}

TEST_F(PskAuthenticatorTest, OnlyAPreSharedKeyStationIsTaken) {
  Join(sim::ndis::kAuthWpa2);
  EXPECT_FALSE(adapter_->World().current.has_value());
}

TEST_F(PskAuthenticatorTest, CaptureHoldsEveryFrameCarried) {
  const std::string path = ::testing::TempDir() + "halvex_sim_capture.pcap";
  std::string error;
  EXPECT_FALSE(adapter_->StartCapture(::testing::TempDir() + "no/such/dir/x.pcap", &error));
  EXPECT_FALSE(error.empty());
  ASSERT_TRUE(adapter_->StartCapture(path, &error)) << error;
  const Bytes message3 = Complete();
  adapter_->StopCapture();
  Transmit(Answer(0x030A, 9));  // after the capture: not in it
  std::ifstream in(path, std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The file header: magic, version 2.4, zone 0, accuracy 0, snap length 65535, Ethernet.
  ASSERT_GE(file.size(), 24u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 24),
            (Bytes{0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0,    0,    0,    0,
                   0,    0,    0,    0,    0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
  // Messages 1 to 4, in and out, each whole in a record of its own.
  std::vector<Bytes> frames;
  for (size_t at = 24; at + 16 <= file.size();) {
    const uint32_t kept = sim::ReadWord(file.data() + at + 8);
    EXPECT_EQ(sim::ReadWord(file.data() + at + 12), kept);
    frames.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at + 16),
                        file.begin() + static_cast<std::ptrdiff_t>(at + 16 + kept));
    at += 16 + kept;
  }
  ASSERT_EQ(frames.size(), 4u);
  const auto sent = adapter_->World().station.eapolFrames;
  EXPECT_EQ(frames[1], Bytes(sent[0].begin(), sent[0].end()));
  EXPECT_EQ(Bytes(frames[2].begin() + 14, frames[2].end()), message3);
  EXPECT_EQ(frames[3], Bytes(sent[1].begin(), sent[1].end()));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace hx::test
