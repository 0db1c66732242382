// A WPA2-PSK join end to end: the utility's calls, the library, the stand-in
// toolkit's 4-way handshake and the simulated access point's authenticator,
// with the right and a wrong pass phrase, a group rekey, a replayed message 3
// and a capture that tshark reads.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

constexpr ULONG kWpa2Psk = 7;     // NDIS authentication mode
constexpr ULONG kAesEnabled = 6;  // NDIS encryption status
constexpr ULONG kRsnPsk = 9;      // the utility's security mode
constexpr ULONG kAes = 3;

// The NDIS_802_11_KEY records the driver received: index, BSSID, RSC, material.
struct KeyRecord {
  uint32_t index = 0;
  Bytes bssid, rsc, material;
};
KeyRecord ReadKey(const Bytes& record) {
  KeyRecord key;
  uint32_t length = 0;
  std::memcpy(&key.index, record.data() + 4, 4);
  std::memcpy(&length, record.data() + 8, 4);
  key.bssid.assign(record.begin() + 12, record.begin() + 18);
  key.rsc.assign(record.begin() + 24, record.begin() + 32);
  key.material.assign(record.begin() + 32, record.begin() + 32 + length);
  return key;
}

const Bytes kBssid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x06};

class PskJoinTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    EngineAndNetwork(sim::PskAccessPoint("HalvexHome", 0x06, 6, "correct horse"));
    // No message sent twice however slow the run: retries only where a test asks.
    sim->SetHandshakeRetry(std::chrono::seconds(60));
  }

  void WaitForCount(const Message& wanted, size_t count) {
    WaitFor([&](const Message&) {
      const auto messages = recorder.Messages();
      return static_cast<size_t>(std::count(messages.begin(), messages.end(), wanted)) >= count;
    });
  }

  // The utility's side of a join: security information, auth mode and
  // encryption, then the SSID.
  void Join(const char* passphrase) {
    char ssid[] = "HalvexHome";
    std::string phrase = passphrase;
    ASSERT_EQ(HalvexSetWPAInformation(adapter, kRsnPsk, kAes, reinterpret_cast<unsigned char*>(phrase.data()),
                                      ssid),
              0);
    HalvexSetAuthMode(adapter, kWpa2Psk);
    HalvexSetWepStatus(adapter, kAesEnabled);
    ASSERT_EQ(HalvexSetSsid(adapter, ssid, 10), 0);
  }

  void JoinAndConnect() {
    Join("correct horse");
    WaitFor([](const Message& m) { return m.code == 1008; });
    ASSERT_TRUE(recorder.WaitForCount(10));  // and the text that follows it
  }

  std::vector<KeyRecord> Keys() const {
    std::vector<KeyRecord> keys;
    for (const auto& record : sim->World().station.keys)
      keys.push_back(ReadKey(Bytes(record.begin(), record.end())));
    return keys;
  }
};

TEST_F(PskJoinTest, RightPassPhraseInstallsTheAccessPointsKeys) {
  JoinAndConnect();
  EXPECT_EQ(recorder.Messages(),
            (std::vector<Message>{Code(1), Text("[Link]: Key wait"), Text("[Auth]: Authenticated"),
                                  Text("Adding key......"), Text("Connected"), Text("Adding key......"),
                                  Text("Connected"), Code(1008), Text("Connected"), Text("Connected")}));
  const sim::RadioWorld world = sim->World();
  ASSERT_TRUE(world.Handshake().Completed());
  // The pairwise key carries the TK the access point derived, the group key
  // its GTK, key ID and packet number.
  const std::vector<KeyRecord> keys = Keys();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].index, 0xC0000000u);
  EXPECT_EQ(keys[0].bssid, kBssid);
  EXPECT_EQ(keys[0].rsc, Bytes(8, 0));
  const auto tk = world.Handshake().TemporalKey();
  EXPECT_EQ(keys[0].material, Bytes(tk.begin(), tk.end()));
  const std::optional<sim::BssGroupKey> group = world.GroupKey();
  ASSERT_TRUE(group);
  EXPECT_EQ(keys[1].index, 0x20000001u);
  EXPECT_EQ(keys[1].bssid, kBssid);
  EXPECT_EQ(keys[1].rsc, (Bytes{0x2A, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(keys[1].material, Bytes(group->gtk.key.begin(), group->gtk.key.end()));
  EXPECT_TRUE(sim->PortOpen());
  EXPECT_EQ(world.station.pskMicFailures, 0u);
  // Out: messages 2 and 4; in: messages 1 and 3.
  ASSERT_EQ(world.station.eapolFrames.size(), 2u);
  EXPECT_EQ(world.station.receivedFrames.size(), 2u);
  EXPECT_EQ(HalvexGetWPASuppStatus(1), 4);
  EXPECT_EQ(HalvexGetWPASuppStatus(2), 7);
  EXPECT_EQ(Bridge().PortOpen.load(), 1u);
}

TEST_F(PskJoinTest, WrongPassPhraseFailsAfterTheRetriesWithNoKey) {
  sim->SetHandshakeRetry(std::chrono::milliseconds(50));
  ODSIM_SetHandshakeTimeout(600);
  Join("wrong horse");
  WaitFor([](const Message& m) { return m.text == "[Auth]: Authentication failed"; });
  WaitFor([](const Message& m) { return !m.hasText && m.code == 0; });  // the disassociation
  const auto messages = recorder.Messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), Code(1008)), 0);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), Code(0)), 1);
  EXPECT_EQ(ODSIM_PortState(Link()), 0);
  EXPECT_EQ(Bridge().PortOpen.load(), 0u);
  const sim::RadioWorld world = sim->World();
  EXPECT_FALSE(world.current.has_value());
  EXPECT_GE(world.station.pskMicFailures, 1u);
  EXPECT_TRUE(world.station.keys.empty());
  EXPECT_FALSE(sim->PortOpen());
  EXPECT_EQ(HalvexGetWPASuppStatus(2), 3);
}

TEST_F(PskJoinTest, GroupRekeyInstallsTheNewGroupKey) {
  JoinAndConnect();
  recorder.Clear();
  ASSERT_TRUE(sim->RekeyGroup());
  WaitForCount(Text("Connected"), 1);
  ASSERT_EQ(ODSIM_WaitIdle(Link(), 5000), ODSIM_DELIVERED);
  const sim::RadioWorld world = sim->World();
  const std::vector<KeyRecord> keys = Keys();
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[2].index, 0x20000002u);
  EXPECT_EQ(keys[2].rsc, Bytes(8, 0));
  const std::optional<sim::BssGroupKey> group = world.GroupKey();
  ASSERT_TRUE(group);
  EXPECT_EQ(keys[2].material, Bytes(group->gtk.key.begin(), group->gtk.key.end()));
  EXPECT_NE(keys[2].material, keys[1].material);
  // Once connected, a key only says so.
  EXPECT_EQ(recorder.Messages(), (std::vector<Message>{Text("Connected")}));
  EXPECT_EQ(world.Handshake().phase(), sim::RsnAuthenticator::Phase::kComplete);
  EXPECT_TRUE(sim->PortOpen());
}

TEST_F(PskJoinTest, ReplayedMessage3IsIgnored) {
  JoinAndConnect();
  const sim::RadioWorld before = sim->World();
  ASSERT_EQ(before.station.receivedFrames.size(), 2u);
  const Bytes message3 = before.station.receivedFrames[1];
  recorder.Clear();
  Bytes record = sim::WordBytes(static_cast<uint32_t>(message3.size()));
  record.insert(record.end(), message3.begin(), message3.end());
  DispatchRecord(*sim, recorder, 132, record);
  ASSERT_EQ(ODSIM_WaitIdle(Link(), 5000), ODSIM_DELIVERED);
  const sim::RadioWorld after = sim->World();
  EXPECT_EQ(after.station.eapolFrames.size(), 2u) << "no message 4 for a replay";
  EXPECT_EQ(after.station.keys.size(), 2u) << "no key installed again";
  EXPECT_TRUE(sim->PortOpen());
}

// The capture of a join, as Wireshark's dissector reads it: four EAPOL-Key
// messages numbered 1 to 4 with the key information of WPA2 with CCMP.
TEST_F(PskJoinTest, CaptureOfTheHandshakeDissectsAsFourMessages) {
#ifdef _WIN32
  GTEST_SKIP() << "tshark runs on the build host only";
#else
  if (std::system("tshark --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  const std::string capture = ::testing::TempDir() + "halvex_psk_join.pcap";
  const std::string fields = capture + ".txt";
  std::string error;
  ASSERT_TRUE(sim->StartCapture(capture, &error)) << error;
  JoinAndConnect();
  sim->StopCapture();
  const std::string command =
      "tshark -r '" + capture +
      "' -T fields -e wlan_rsna_eapol.keydes.msgnr -e wlan_rsna_eapol.keydes.key_info "
      ">'" +
      fields + "' 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(fields);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"1\t0x008a", "2\t0x010a", "3\t0x13ca", "4\t0x030a"}));
  std::remove(capture.c_str());
  std::remove(fields.c_str());
#endif
}

}  // namespace
}  // namespace hx::test
