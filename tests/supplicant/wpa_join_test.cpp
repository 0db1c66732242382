// A WPA2-Enterprise join end to end: the utility's calls, the library, the
// stand-in toolkit's supplicant and the simulated access point's
// authenticator, with a right and a wrong credential, and with the GTC
// response the utility stored.
#include <algorithm>
#include <string>

#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

constexpr ULONG kWpa2 = 6;             // NDIS authentication mode
constexpr ULONG kAesEnabled = 6;       // NDIS encryption status
constexpr ULONG kWpa2Enterprise = 10;  // the utility's security mode
constexpr ULONG kAes = 3;

class WpaJoinTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    EngineAndNetwork(sim::EnterpriseAccessPoint("HalvexCorp", 0x05, 6, "s3cret"));
  }

  // The utility's side of a join: security information, auth mode and
  // encryption, then the SSID. The identity was created before.
  void Join() {
    char ssid[] = "HalvexCorp";
    ASSERT_EQ(HalvexSetWPAInformation(adapter, kWpa2Enterprise, kAes, nullptr, ssid), 0);
    HalvexSetAuthMode(adapter, kWpa2);
    HalvexSetWepStatus(adapter, kAesEnabled);
    ASSERT_EQ(HalvexSetSsid(adapter, ssid, 10), 0);
    // By the time the join returns the toolkit runs on the network.
    ODSIM_NETWORK_INFO info{};
    ASSERT_EQ(ODSIM_GetNetworkInfo(Link(), &info), 0);
    // Opened by then; a quick refusal may already have closed it again.
    const Calls calls = odsim::Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "ODSTK_LINK_PortUp(link#1)"), calls.end());
    EXPECT_EQ(info.Bssid[5], 0x05);
    EXPECT_EQ(info.Use8021X, 1u);
  }

  char user_[6] = "alice";
  char domain_[5] = "CORP";
};

TEST_F(WpaJoinTest, RightCredentialInstallsTheKeyAndReportsConnected) {
  char password[] = "s3cret";
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password), 0);
  Join();
  WaitFor([](const Message& m) { return m.code == 1008; });
  ASSERT_TRUE(recorder.WaitForCount(8));  // and the text that follows it
  EXPECT_EQ(recorder.Messages(),
            (std::vector<Message>{Code(1), Text("Start Authentication"), Text("[Link]: Authenticating"),
                                  Text("[Auth]: Authenticated"), Text("Adding key......"), Text("Connected"),
                                  Code(1008), Text("Connected")}));
  const sim::RadioWorld world = sim->World();
  EXPECT_EQ(world.station.eapIdentity, "CORP\\alice");
  EXPECT_TRUE(world.station.eapAuthorized);
  // Out: EAP Response/Identity and Response/GTC, to the access point.
  ASSERT_EQ(world.station.eapolFrames.size(), 2u);
  const Bytes gtc(world.station.eapolFrames[1].begin(), world.station.eapolFrames[1].end());
  EXPECT_EQ(Bytes(gtc.begin(), gtc.begin() + 14),
            (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x05, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x88, 0x8E}));
  EXPECT_EQ(std::string(gtc.end() - 6, gtc.end()), "s3cret");
  // In: Request/Identity, Request/GTC and Success reached the toolkit.
  const Calls calls = odsim::CallNames();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "ODSTK_LINK_ReceiveEapol"), 3);
  // The pairwise key as the driver got it.
  ASSERT_EQ(world.station.keys.size(), 1u);
  const Bytes key(world.station.keys[0].begin(), world.station.keys[0].end());
  ASSERT_EQ(key.size(), 48u);
  EXPECT_EQ(Bytes(key.begin(), key.begin() + 18),
            (Bytes{48, 0, 0, 0, 0, 0, 0, 0xC0, 16, 0, 0, 0, 0x00, 0x11, 0x22, 0x33, 0x44, 0x05}));
  EXPECT_EQ(HalvexGetWPASuppStatus(1), 4);
  EXPECT_EQ(HalvexGetWPASuppStatus(2), 7);
  EXPECT_EQ(Bridge().PortOpen.load(), 1u);
}

TEST_F(WpaJoinTest, WrongCredentialTakesTheLinkDown) {
  char password[] = "guess";
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password), 0);
  Join();
  WaitFor([](const Message& m) { return m.text == "[Auth]: Authentication failed"; });
  WaitFor([](const Message& m) { return m.code == 0; });  // the disassociation
  const auto messages = recorder.Messages();
  const std::vector<Message> expected = {Code(1), Text("Start Authentication"),
                                         Text("[Link]: Authenticating")};
  EXPECT_EQ(std::vector<Message>(messages.begin(), messages.begin() + 3), expected);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), Code(1008)), 0);
  EXPECT_EQ(ODSIM_PortState(Link()), 0);
  EXPECT_EQ(Bridge().PortOpen.load(), 0u);
  EXPECT_EQ(Bridge().WpaInfoPending.load(), 0u);
  const sim::RadioWorld world = sim->World();
  EXPECT_FALSE(world.current.has_value());
  EXPECT_EQ(world.station.eapFailures, 1u);
  EXPECT_TRUE(world.station.keys.empty());
  EXPECT_EQ(HalvexGetWPASuppStatus(2), 3);
}

TEST_F(WpaJoinTest, StoredGtcResponseAnswersTheTokenRequest) {
  // The password is wrong; the GTC response the utility gave is what the
  // network takes.
  char password[] = "guess";
  char response[] = "s3cret";
  ULONG methods[] = {2};
  ODSIM_RecordSecrets(1);  // the answer's bytes are the response's
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password, methods, 1, 0, response), 0);
  Join();
  WaitFor([](const Message& m) { return m.code == 1008; });
  EXPECT_TRUE(sim->World().station.eapAuthorized);
  const Calls calls = odsim::Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "ODSTK_AllocBlob(blob, [73 33 63 72 65 74], 6)"),
            calls.end());
  EXPECT_EQ(ODSIM_LiveBlobs(), 0u);  // the toolkit freed the answer it read
}

}  // namespace
}  // namespace hx::test
