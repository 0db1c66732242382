// The stand-in toolkit's pre-shared-key supplicant: the 4-way and group key
// handshakes against an authenticator the test plays, the bytes of its
// answers and keys, and every frame it must not take.
#include <array>

#include "crypto/crypto.h"
#include "crypto/rsn.h"
#include "tests/toolkit/engine_fixture.h"

namespace {

namespace rsn = hx::rsn;

const rsn::Mac kAa = {0x00, 0x11, 0x22, 0x33, 0x44, 0x07};
const rsn::Mac kSpa = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
// The RSN element of a WPA2-PSK network with CCMP; the station associated
// with the same.
const Bytes kRsnElement = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                           0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x00};
const Bytes kBeaconIes = {0x00, 0x0A, 'H',  'a',  'l',  'v',  'e',  'x',  'H',  'o',  'm',  'e',  0x03,
                          0x01, 0x06, 0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                          0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x00};
const Bytes kGtk1(16, 0x5A);
const Bytes kGtk2(16, 0x6B);
const std::array<uint8_t, 8> kRsc = {0x11, 0x22, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes Plain(hx::crypto::ByteView bytes) {
  return Bytes(bytes.begin(), bytes.end());
}

// The access point's side, as the test plays it.
struct Authenticator {
  rsn::Nonce anonce{};
  std::optional<rsn::Ptk> ptk;

  static const hx::crypto::SecretBytes& Pmk() {
    static const hx::crypto::SecretBytes pmk =
        *rsn::PassphraseToPmk("correct horse", Bytes{'H', 'a', 'l', 'v', 'e', 'x', 'H', 'o', 'm', 'e'});
    return pmk;
  }

  Bytes Message1(uint64_t counter, uint8_t anonceByte = 0xA0) {
    anonce.fill(anonceByte);
    rsn::KeyFrame frame;
    frame.info = 0x008A;
    frame.keyLength = 16;
    frame.replayCounter = counter;
    frame.nonce = anonce;
    return rsn::BuildKeyFrame(frame);
  }
  // Derives the PTK from the station's message 2.
  void Take(const Bytes& message2) {
    const std::optional<rsn::KeyFrame> frame = rsn::ParseKeyFrame(message2);
    ASSERT_TRUE(frame);
    ptk = rsn::DerivePtk(Pmk(), kAa, kSpa, anonce, frame->nonce);
  }
  Bytes Sealed(uint16_t info, uint64_t counter, const Bytes& plainKeyData, bool withNonce) {
    rsn::KeyFrame frame;
    frame.info = info;
    frame.keyLength = 16;
    frame.replayCounter = counter;
    if (withNonce) frame.nonce = anonce;
    frame.rsc = kRsc;
    if (!plainKeyData.empty()) {
      EXPECT_TRUE(rsn::WrapKeyData(ptk->kek, plainKeyData, frame.data));
    }
    return rsn::BuildKeyFrame(frame, ptk->kck);
  }
  static Bytes KeyData(const Bytes& element, const Bytes& gtk, uint8_t keyId) {
    rsn::GroupKey group;
    group.keyId = keyId;
    group.key.assign(gtk.begin(), gtk.end());
    return Plain(rsn::KeyDataWithGroupKey(element, group));
  }
  Bytes Message3(uint64_t counter, uint16_t info = 0x13CA) {
    return Sealed(info, counter, KeyData(kRsnElement, kGtk1, 1), true);
  }
  Bytes GroupMessage1(uint64_t counter, const Bytes& gtk, uint8_t keyId) {
    return Sealed(0x1382, counter, KeyData({}, gtk, keyId), false);
  }
};

// An NDIS_802_11_KEY record as the driver must get it.
Bytes KeyRecord(uint32_t index, const std::array<uint8_t, 8>& rsc, const Bytes& material) {
  // Sized up front: GCC 12 misreads an insert after a braced list (-Warray-bounds).
  Bytes record(32 + material.size(), 0);
  const uint8_t head[18] = {static_cast<UCHAR>(record.size()),
                            0,
                            0,
                            0,
                            static_cast<UCHAR>(index),
                            0,
                            0,
                            static_cast<UCHAR>(index >> 24),
                            static_cast<UCHAR>(material.size()),
                            0,
                            0,
                            0,
                            0x00,
                            0x11,
                            0x22,
                            0x33,
                            0x44,
                            0x07};
  std::copy(head, head + 18, record.begin());
  std::copy(rsc.begin(), rsc.end(), record.begin() + 24);
  std::copy(material.begin(), material.end(), record.begin() + 32);
  return record;
}

class PskEngineTest : public SupplicantEngineTest {
 protected:
  void SetUp() override {
    SupplicantEngineTest::SetUp();
    ODSIM_SetHandshakeTimeout(60000);
    ASSERT_EQ(SetPskNetwork(3, "correct horse"), 0);
    ASSERT_EQ(ODSTK_LINK_PortUp(side_.link), 0);
    StartLink();
  }

  int SetPskNetwork(ULONG cipher, const char* passphrase) {
    SUPP_NETWORK_INFO info{};
    info.Size = sizeof info;
    info.Protocol = 4;
    info.KeyManagement = 1;
    info.Cipher = cipher;
    std::copy(kSpa.begin(), kSpa.end(), info.OwnAddress);
    std::copy(kAa.begin(), kAa.end(), info.Bssid);
    std::string phrase = passphrase ? passphrase : "";
    info.Passphrase = passphrase ? phrase.data() : nullptr;
    UCHAR ssid[] = "HalvexHome";
    info.Ssid = ssid;
    info.SsidLength = 10;
    Bytes request = {0x00, 0x0A, 'H', 'a', 'l', 'v', 'e', 'x', 'H', 'o', 'm', 'e'};
    request.insert(request.end(), requestElement_.begin(), requestElement_.end());
    info.RequestIes = request.data();
    info.RequestIesLength = static_cast<ULONG>(request.size());
    Bytes beacon = beaconIes_;
    info.BeaconIes = beacon.data();
    info.BeaconIesLength = static_cast<ULONG>(beacon.size());
    return ODSTK_LINK_SetNetworkInfoA(side_.link, &info);
  }

  // Messages 1 and 2: returns message 2.
  Bytes Handshake12() {
    EXPECT_EQ(Receive(ap_.Message1(1)), 0);
    EXPECT_EQ(Types(), (std::vector<ULONG>{1, 8}));
    if (side_.events.size() != 2) return {};
    const Bytes message2 = side_.events[1].bytes;
    ap_.Take(message2);
    side_.events.clear();
    return message2;
  }
  void Handshake() {
    Handshake12();
    ASSERT_EQ(Receive(ap_.Message3(2)), 0);
    ASSERT_EQ(Types(), (std::vector<ULONG>{2, 8, 6, 6, 1, 3}));
    side_.events.clear();
  }

  Bytes beaconIes_ = kBeaconIes;
  Bytes requestElement_ = kRsnElement;
  Authenticator ap_;
};

TEST_F(PskEngineTest, FourWayHandshakeAnswersAndInstallsTheKeys) {
  ASSERT_EQ(Receive(ap_.Message1(1)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{1, 8}));
  EXPECT_EQ(side_.events[0].state, 3u);
  // Message 2: version 1, key information 0x010A, the replay counter of
  // message 1, the SNonce, the MIC and the association's RSN element.
  const Bytes message2 = side_.events[1].bytes;
  ASSERT_EQ(message2.size(), 121u);
  EXPECT_EQ(Bytes(message2.begin(), message2.begin() + 17),
            (Bytes{0x01, 0x03, 0x00, 0x75, 0x02, 0x01, 0x0A, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x01}));
  EXPECT_NE(Bytes(message2.begin() + 17, message2.begin() + 49), Bytes(32, 0)) << "an SNonce";
  EXPECT_EQ(Bytes(message2.begin() + 97, message2.end()),
            (Bytes{0x00, 0x16, 0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00,
                   0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x00}));
  ap_.Take(message2);
  ASSERT_TRUE(ap_.ptk);
  EXPECT_TRUE(rsn::MicMatches(message2, ap_.ptk->kck));
  side_.events.clear();

  ASSERT_EQ(Receive(ap_.Message3(2)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{2, 8, 6, 6, 1, 3}));
  EXPECT_EQ(side_.events[0].state, 7u);
  // Message 4: key information 0x030A, message 3's replay counter, no nonce, no data.
  const Bytes message4 = side_.events[1].bytes;
  ASSERT_EQ(message4.size(), 99u);
  EXPECT_EQ(Bytes(message4.begin(), message4.begin() + 17),
            (Bytes{0x01, 0x03, 0x00, 0x5F, 0x02, 0x03, 0x0A, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x02}));
  EXPECT_EQ(Bytes(message4.begin() + 17, message4.begin() + 81), Bytes(64, 0));
  EXPECT_EQ(Bytes(message4.begin() + 97, message4.end()), (Bytes{0x00, 0x00}));
  EXPECT_TRUE(rsn::MicMatches(message4, ap_.ptk->kck));
  // The pairwise key, then the group key with the RSC of message 3.
  EXPECT_EQ(side_.events[2].bytes, KeyRecord(0xC0000000, {}, Plain(ap_.ptk->tk)));
  EXPECT_EQ(side_.events[3].bytes, KeyRecord(0x20000001, kRsc, kGtk1));
  EXPECT_EQ(side_.events[4].state, 4u);
  for (const Seen& seen : side_.events) EXPECT_EQ(seen.onLinkThread, 1);
}

TEST_F(PskEngineTest, RepeatedMessage1KeepsTheSnonceANewANonceGetsANewOne) {
  const Bytes first = Handshake12();
  ASSERT_EQ(Receive(ap_.Message1(2)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{8})) << "the session is under way already";
  EXPECT_EQ(Bytes(side_.events[0].bytes.begin() + 17, side_.events[0].bytes.begin() + 49),
            Bytes(first.begin() + 17, first.begin() + 49));
  side_.events.clear();
  ASSERT_EQ(Receive(ap_.Message1(2)), 0);
  EXPECT_TRUE(side_.events.empty()) << "the same counter again";
  ASSERT_EQ(Receive(ap_.Message1(3, 0xB0)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{8}));
  EXPECT_NE(Bytes(side_.events[0].bytes.begin() + 17, side_.events[0].bytes.begin() + 49),
            Bytes(first.begin() + 17, first.begin() + 49));
  // Message 3 holds to the latest ANonce.
  ap_.Take(side_.events[0].bytes);
  side_.events.clear();
  ASSERT_EQ(Receive(ap_.Message3(4)), 0);
  EXPECT_EQ(Types(), (std::vector<ULONG>{2, 8, 6, 6, 1, 3}));
}

TEST_F(PskEngineTest, Message3ThatDoesNotCheckOutIsDropped) {
  Handshake12();
  auto flip = [](Bytes frame, size_t at) {
    frame[at] ^= 0x01;
    return frame;
  };
  Authenticator other = ap_;
  other.anonce.fill(0xC3);
  Authenticator wrongKek = ap_;
  wrongKek.ptk->kek[0] ^= 0x01;
  struct Case {
    const char* name;
    Bytes frame;
  } cases[] = {
      {"MIC off by a bit", flip(ap_.Message3(2), 81)},
      {"replay counter of message 1", ap_.Message3(1)},
      {"another ANonce", other.Message3(3)},
      {"no install bit", ap_.Message3(4, 0x138A)},
      {"key data in the clear", ap_.Message3(5, 0x03CA)},
      {"key descriptor version 1", ap_.Message3(6, 0x13C9)},
      {"a request", ap_.Message3(7, 0x1BCA)},
      {"without its last byte",
       [&] {
         Bytes cut = ap_.Message3(8);
         cut.pop_back();
         return cut;
       }()},
      {"no GTK", ap_.Sealed(0x13CA, 9, kRsnElement, true)},
      {"key data that does not unwrap", wrongKek.Message3(10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Receive(c.frame), 0);
    EXPECT_TRUE(side_.events.empty());
    side_.events.clear();
  }
  // The handshake goes on as if nothing had come.
  ASSERT_EQ(Receive(ap_.Message3(11)), 0);
  EXPECT_EQ(Types(), (std::vector<ULONG>{2, 8, 6, 6, 1, 3}));
}

TEST_F(PskEngineTest, Message3MustCarryTheElementTheNetworkAnnounced) {
  const Bytes otherCiphers = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x01, 0x00, 0x00,
                              0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x00};
  // A hidden network's beacon names no SSID: the scan list has no elements
  // for it, and the association's element (chosen from the probe response)
  // is what message 3 must match.
  const Bytes hiddenBeacon = {0x00, 0x00, 0x03, 0x01, 0x06};
  struct Case {
    const char* name;
    Bytes beacon, request;
    std::vector<ULONG> types;
  } cases[] = {
      {"the beacon offered other ciphers", otherCiphers, kRsnElement, {16}},
      {"hidden: the association's element", hiddenBeacon, kRsnElement, {2, 8, 6, 6, 1, 3}},
      {"hidden: the association asked for other ciphers", hiddenBeacon, otherCiphers, {16}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    beaconIes_ = c.beacon;
    requestElement_ = c.request;
    ASSERT_EQ(SetPskNetwork(3, "correct horse"), 0);
    side_.events.clear();
    Handshake12();
    ASSERT_EQ(Receive(ap_.Message3(2)), 0);
    EXPECT_EQ(Types(), c.types);
    side_.events.clear();
  }
}

// WPA with TKIP: key descriptor 254 and version 1 (HMAC-MD5 MICs), the WPA
// element plain in message 3 and no group key there, the GTK RC4-encrypted
// in the group key handshake that follows.
TEST_F(PskEngineTest, WpaWithTkipTakesItsGroupKeyInAHandshakeOfItsOwn) {
  const Bytes wpa = {0xDD, 0x16, 0x00, 0x50, 0xF2, 0x01, 0x01, 0x00, 0x00, 0x50, 0xF2, 0x02,
                     0x01, 0x00, 0x00, 0x50, 0xF2, 0x02, 0x01, 0x00, 0x00, 0x50, 0xF2, 0x02};
  beaconIes_ = {0x00, 0x0A, 'H', 'a', 'l', 'v', 'e', 'x', 'H', 'o', 'm', 'e'};
  beaconIes_.insert(beaconIes_.end(), wpa.begin(), wpa.end());
  requestElement_ = wpa;
  ASSERT_EQ(SetPskNetwork(2, "correct horse"), 0);
  ASSERT_EQ(ODSTK_LINK_PortUp(side_.link), 0);
  side_.events.clear();
  const auto frame = [](uint16_t info, uint64_t counter) {
    rsn::KeyFrame f;
    f.descriptor = 254;
    f.info = info;
    f.keyLength = 32;
    f.replayCounter = counter;
    return f;
  };
  rsn::KeyFrame m1 = frame(0x0089, 1);
  m1.nonce.fill(0xA0);
  ASSERT_EQ(Receive(rsn::BuildKeyFrame(m1)), 0);
  uint8_t probe[1] = {};
  if (!hx::crypto::Rc4(Bytes{1}, 0, probe)) {
    // No RC4 in this system's cryptography: TKIP is refused at once, and said to be.
    ASSERT_EQ(Types(), (std::vector<ULONG>{2}));
    EXPECT_EQ(side_.events[0].state, 3u);
    GTEST_SKIP() << "no RC4 here: TKIP refused";
  }
  ASSERT_EQ(Types(), (std::vector<ULONG>{1, 8}));
  const Bytes message2 = side_.events[1].bytes;
  ASSERT_EQ(message2.size(), 123u);
  EXPECT_EQ(Bytes(message2.begin(), message2.begin() + 17),
            (Bytes{0x01, 0x03, 0x00, 0x77, 0xFE, 0x01, 0x09, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x01}));
  EXPECT_EQ(Bytes(message2.begin() + 99, message2.end()), wpa);
  rsn::Nonce snonce;
  std::copy(message2.begin() + 17, message2.begin() + 49, snonce.begin());
  const std::optional<rsn::Ptk> ptk = rsn::DerivePtk(Authenticator::Pmk(), kAa, kSpa, m1.nonce, snonce, 32);
  ASSERT_TRUE(ptk);
  ASSERT_EQ(ptk->tk.size(), 32u);
  EXPECT_TRUE(rsn::MicMatches(message2, ptk->kck));
  side_.events.clear();

  rsn::KeyFrame m3 = frame(0x01C9, 2);
  m3.nonce = m1.nonce;
  m3.data = wpa;
  ASSERT_EQ(Receive(rsn::BuildKeyFrame(m3, ptk->kck)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{2, 8, 6})) << "no group key yet, not connected yet";
  EXPECT_EQ(side_.events[0].state, 7u);
  const Bytes message4 = side_.events[1].bytes;
  EXPECT_EQ(Bytes(message4.begin(), message4.begin() + 17),
            (Bytes{0x01, 0x03, 0x00, 0x5F, 0xFE, 0x01, 0x09, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x02}));
  EXPECT_TRUE(rsn::MicMatches(message4, ptk->kck));
  EXPECT_EQ(side_.events[2].bytes, KeyRecord(0xC0000000, {}, Plain(ptk->tk)));
  side_.events.clear();

  const Bytes gtk(32, 0x3C);
  rsn::KeyFrame g1 = frame(0x0391, 3);  // secure, MIC, ack, key index 1
  g1.rsc = kRsc;
  g1.iv.fill(0x17);
  g1.data.assign(gtk.begin(), gtk.end());
  ASSERT_TRUE(rsn::Rc4KeyData(ptk->kek, g1.iv, g1.data));
  ASSERT_EQ(Receive(rsn::BuildKeyFrame(g1, ptk->kck)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{6, 8, 1, 3}));
  EXPECT_EQ(side_.events[0].bytes, KeyRecord(0x20000001, kRsc, gtk));
  const Bytes group2 = side_.events[1].bytes;
  EXPECT_EQ(Bytes(group2.begin(), group2.begin() + 17),
            (Bytes{0x01, 0x03, 0x00, 0x5F, 0xFE, 0x03, 0x11, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x03}));
  EXPECT_TRUE(rsn::MicMatches(group2, ptk->kck));
  EXPECT_EQ(side_.events[2].state, 4u);
}

TEST_F(PskEngineTest, RetransmittedMessage3IsAnsweredButKeysStayReplaysAreDropped) {
  Handshake();
  ASSERT_EQ(Receive(ap_.Message3(3)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{8}));
  EXPECT_EQ(side_.events[0].bytes[16], 0x03);
  side_.events.clear();
  for (uint64_t counter : {3, 2, 1}) {
    ASSERT_EQ(Receive(ap_.Message3(counter)), 0);
    EXPECT_TRUE(side_.events.empty()) << counter;
  }
}

TEST_F(PskEngineTest, GroupKeyHandshakeInstallsEachNewKeyOnce) {
  Handshake();
  ASSERT_EQ(Receive(ap_.GroupMessage1(3, kGtk2, 2)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{6, 8}));
  EXPECT_EQ(side_.events[0].bytes, KeyRecord(0x20000002, kRsc, kGtk2));
  const Bytes message2 = side_.events[1].bytes;
  EXPECT_EQ(Bytes(message2.begin(), message2.begin() + 17),
            (Bytes{0x01, 0x03, 0x00, 0x5F, 0x02, 0x03, 0x02, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x03}));
  EXPECT_TRUE(rsn::MicMatches(message2, ap_.ptk->kck));
  side_.events.clear();
  // The same key again is answered, not installed; replays and forgeries are dropped.
  ASSERT_EQ(Receive(ap_.GroupMessage1(4, kGtk2, 2)), 0);
  EXPECT_EQ(Types(), (std::vector<ULONG>{8}));
  side_.events.clear();
  Bytes forged = ap_.GroupMessage1(6, kGtk1, 1);
  forged[90] ^= 0x01;
  for (const Bytes& frame : {ap_.GroupMessage1(4, kGtk1, 1), forged, ap_.Sealed(0x1382, 7, {}, false)}) {
    ASSERT_EQ(Receive(frame), 0);
    EXPECT_TRUE(side_.events.empty());
  }
  ASSERT_EQ(Receive(ap_.GroupMessage1(8, kGtk1, 1)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{6, 8}));
  EXPECT_EQ(side_.events[0].bytes, KeyRecord(0x20000001, kRsc, kGtk1));
}

TEST_F(PskEngineTest, GroupMessageBeforeThePairwiseKeysIsDropped) {
  Handshake12();
  ASSERT_EQ(Receive(ap_.GroupMessage1(2, kGtk2, 2)), 0);
  EXPECT_TRUE(side_.events.empty());
}

TEST_F(PskEngineTest, TimeOutsReportWhatWentMissing) {
  struct Case {
    const char* name;
    bool message1;
    ULONG type, state;
  } cases[] = {
      {"no message 1: open, timed out", false, 1, 7},
      {"no message 3: authentication failed", true, 2, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ODSIM_SetHandshakeTimeout(60000);
    ASSERT_EQ(SetPskNetwork(3, "correct horse"), 0);
    ASSERT_EQ(ODSTK_LINK_PortUp(side_.link), 0);
    {
      std::lock_guard lock(g_eventsMutex);
      side_.events.clear();
    }
    if (c.message1) Handshake12();
    // The port coming up again restarts the clock of the same handshake.
    ODSIM_SetHandshakeTimeout(20);
    ASSERT_EQ(ODSTK_LINK_PortUp(side_.link), 0);
    ASSERT_TRUE(WaitForEvents(1));
    std::lock_guard lock(g_eventsMutex);
    ASSERT_EQ(side_.events.size(), 1u);
    EXPECT_EQ(side_.events[0].type, c.type);
    EXPECT_EQ(side_.events[0].state, c.state);
  }
}

TEST_F(PskEngineTest, NetworksTheHandshakeCannotServeRefuseFrames) {
  struct Case {
    const char* name;
    ULONG cipher;
    const char* passphrase;
  } cases[] = {
      {"WEP", 1, "correct horse"},
      {"no pass phrase", 3, nullptr},
      {"an empty pass phrase", 3, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(SetPskNetwork(c.cipher, c.passphrase), 0);
    EXPECT_EQ(Receive(ap_.Message1(1)), 1);
    EXPECT_TRUE(side_.events.empty());
  }
  // A pass phrase no PMK can be made of fails the authentication.
  ASSERT_EQ(SetPskNetwork(3, "short"), 0);
  ASSERT_EQ(Receive(ap_.Message1(1)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{2}));
  EXPECT_EQ(side_.events[0].state, 3u);
}

TEST_F(PskEngineTest, NewNetworkInformationStartsTheHandshakeAfresh) {
  Handshake();
  // A new association: its authenticator counts from 1 again.
  ASSERT_EQ(SetPskNetwork(3, "correct horse"), 0);
  ASSERT_EQ(Receive(ap_.Message1(1)), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{1, 8}));
  ap_.Take(side_.events[1].bytes);
  side_.events.clear();
  ASSERT_EQ(Receive(ap_.Message3(2)), 0);
  EXPECT_EQ(Types(), (std::vector<ULONG>{2, 8, 6, 6, 1, 3}));
}

}  // namespace
