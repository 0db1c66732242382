// Network information: the security mapping through both builders, the
// addresses and element blocks from the adapter, the refresh on connects and
// roams, the port's flags.
#include <cstring>
#include <string>

#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

const Bytes kOwn = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const Bytes kRates = {0x01, 0x08, 0x82, 0x84, 0x8B, 0x96, 0x0C, 0x12, 0x18, 0x24};

struct SecurityCase {
  ULONG mode, cipher;
  ULONG protocol, use8021X, keyManagement, cipherCode;
  bool passphrase;
};
// Every row of the mapping, by group.
const SecurityCase kSecurity[] = {
    {3, 1, 1, 1, 2, 1, false},  {5, 2, 3, 1, 2, 2, false},  {5, 4, 3, 1, 2, 2, false},
    {6, 3, 3, 1, 2, 3, false},  {7, 0, 1, 1, 0, 0, false},  {8, 1, 1, 1, 2, 1, false},
    {15, 2, 3, 1, 2, 2, false}, {16, 3, 3, 1, 2, 3, false}, {17, 5, 1, 1, 0, 0, false},
    {10, 1, 1, 1, 2, 1, false}, {11, 2, 4, 1, 2, 2, false}, {12, 3, 4, 1, 2, 3, false},
    {10, 4, 1, 1, 0, 0, false}, {14, 0, 1, 1, 0, 0, false}, {9, 2, 4, 0, 1, 2, true},
    {9, 3, 4, 0, 1, 3, true},   {9, 1, 4, 0, 1, 0, true},   {9, 4, 4, 0, 1, 0, true},
    {2, 1, 1, 0, 1, 1, false},  {2, 2, 3, 0, 1, 2, true},   {13, 3, 3, 0, 1, 3, true},
    {2, 4, 0, 0, 0, 0, false},  {18, 0, 0, 0, 0, 0, false},
};

class NetworkInfoTest : public BridgeTest {
 protected:
  ODSIM_NETWORK_INFO Given() {
    ODSIM_NETWORK_INFO info{};
    EXPECT_EQ(ODSIM_GetNetworkInfo(Link(), &info), 0);
    return info;
  }
  Bytes Field(ULONG field) { return odsim::NetworkInfoBytes(Link(), field); }
  // Injects a link code and waits until the window heard of it.
  void Connect(uint32_t code) {
    const size_t before = recorder.Messages().size();
    sim->InjectEvent(code);
    ASSERT_TRUE(recorder.WaitForCount(before + 1));
  }
  void ExpectSecurity(const SecurityCase& c) {
    const ODSIM_NETWORK_INFO info = Given();
    EXPECT_EQ(info.Size, sizeof(void*) == 4 ? 72u : 112u);
    EXPECT_EQ(info.Protocol, c.protocol);
    EXPECT_EQ(info.Use8021X, c.use8021X);
    EXPECT_EQ(info.KeyManagement, c.keyManagement);
    EXPECT_EQ(info.Cipher, c.cipherCode);
    EXPECT_EQ(info.HasPassphrase, c.passphrase ? 1u : 0u);
    const Bytes passphrase = {'s', 'e', 'c', 'r', 'e', 't', '9', '9'};
    EXPECT_EQ(Field(ODSIM_FIELD_PASSPHRASE), c.passphrase ? passphrase : Bytes{});
    EXPECT_EQ(Field(ODSIM_FIELD_SSID), (Bytes{'H', 'a', 'l', 'v', 'e', 'x', 'W', 'P', 'A', '2'}));
    EXPECT_EQ(Bridge().CcxMode.load(), c.mode == 8 ? 1u : 0u);
  }

  unsigned char passphrase_[9] = "secret99";
  char ssid_[11] = "HalvexWPA2";
  unsigned char bssid_[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x03};
  unsigned char own_[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
};

TEST_F(NetworkInfoTest, SetNetworkInfoMapsEverySecurityRowAndOpensThePort) {
  for (const SecurityCase& c : kSecurity) {
    SCOPED_TRACE(std::to_string(c.mode) + "/" + std::to_string(c.cipher));
    ODSIM_ClearCalls();
    ASSERT_EQ(HalvexWPASetNetworkInfo(adapter, c.mode, c.cipher, passphrase_, ssid_, own_, bssid_), 0);
    EXPECT_EQ(odsim::CallNames(), (Calls{"ODSTK_LINK_SetNetworkInfoA", "ODSTK_LINK_PortUp"}));
    EXPECT_EQ(Given().NetworkKind, 2u);
    ExpectSecurity(c);
    EXPECT_EQ(Bridge().PortOpen.load(), 1u);
    HalvexWPAPortDown();
  }
}

TEST_F(NetworkInfoTest, SetWpaInformationMapsEverySecurityRowAndHandsItOverOnConnect) {
  for (const SecurityCase& c : kSecurity) {
    SCOPED_TRACE(std::to_string(c.mode) + "/" + std::to_string(c.cipher));
    ASSERT_EQ(HalvexSetWPAInformation(adapter, c.mode, c.cipher, passphrase_, ssid_), 0);
    EXPECT_EQ(Bridge().WpaInfoPending.load(), 1u);
    EXPECT_EQ(Bridge().PortOpen.load(), 0u);
    Connect(1);
    EXPECT_EQ(Given().NetworkKind, 2u);
    ExpectSecurity(c);
    EXPECT_EQ(Bridge().PortOpen.load(), 1u);
  }
  // The six-argument form with another kind yields 1.
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 0, 9, 2, passphrase_, ssid_), 0);
  Connect(1);
  EXPECT_EQ(Given().NetworkKind, 1u);
}

TEST_F(NetworkInfoTest, AddressesAndElementBlocksComeFromTheAdapter) {
  const Bytes request = {0x00, 0x0A, 'H',  'a',  'l',  'v',  'e',  'x',  'W',  'P',  'A',
                         '2',  0x01, 0x08, 0x82, 0x84, 0x8B, 0x96, 0x0C, 0x12, 0x18, 0x24,
                         0x30, 20,   0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                         0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x00};
  Bytes beacon = {0x00, 0x0A, 'H', 'a', 'l', 'v', 'e', 'x', 'W', 'P', 'A', '2'};
  beacon.insert(beacon.end(), kRates.begin(), kRates.end());
  beacon.insert(beacon.end(), {0x03, 0x01, 0x0B});
  beacon.insert(beacon.end(), request.begin() + 22, request.end());  // the RSN element
  beacon.insert(beacon.end(), {0xDD, 22,   0x00, 0x50, 0xF2, 0x01, 0x01, 0x00, 0x00, 0x50, 0xF2, 0x02,
                               0x01, 0x00, 0x00, 0x50, 0xF2, 0x02, 0x01, 0x00, 0x00, 0x50, 0xF2, 0x02});
  auto check = [&] {
    const ODSIM_NETWORK_INFO info = Given();
    EXPECT_EQ(Bytes(info.OwnAddress, info.OwnAddress + 6), kOwn);
    EXPECT_EQ(Bytes(info.Bssid, info.Bssid + 6), Bytes(bssid_, bssid_ + 6));
    EXPECT_EQ(Field(ODSIM_FIELD_REQUEST_IES), request);
    EXPECT_EQ(Field(ODSIM_FIELD_RESPONSE_IES), kRates);
    EXPECT_EQ(Field(ODSIM_FIELD_BEACON_IES), beacon);
    EXPECT_EQ(info.BeaconIesLength, beacon.size());
  };
  {
    SCOPED_TRACE("the caller's addresses");
    ASSERT_EQ(HalvexWPASetNetworkInfo(adapter, 9, 3, passphrase_, ssid_, own_, bssid_), 0);
    check();
  }
  {
    SCOPED_TRACE("completed from the adapter on connect");
    ASSERT_EQ(HalvexSetWPAInformation(adapter, 9, 3, passphrase_, ssid_), 0);
    Connect(1);
    check();
  }
}

TEST_F(NetworkInfoTest, EachConnectRefreshesTheInformationSoARoamUpdatesIt) {
  sim::RadioWorld world;
  for (uint8_t last : {0x0A, 0x0B}) {
    sim::AccessPoint ap = sim::MakeAccessPoint(std::string("Roam") + char('0' + last - 9), last, 6, -50, 80);
    ap.ies = {0xDD, 0x02, last, last};
    world.accessPoints.push_back(ap);
  }
  world.current = 0;
  sim->SetWorld(world);
  char ssid[] = "Roam";  // what the utility stored; the adapter's SSID decides the beacon
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 10, 3, nullptr, ssid), 0);
  Connect(1);
  EXPECT_EQ(Given().Bssid[5], 0x0A);
  EXPECT_EQ(Field(ODSIM_FIELD_BEACON_IES), (Bytes{0xDD, 0x02, 0x0A, 0x0A}));
  EXPECT_EQ(Field(ODSIM_FIELD_REQUEST_IES), (Bytes{0x00, 0x05, 'R', 'o', 'a', 'm', '1', 0x01, 0x08, 0x82,
                                                   0x84, 0x8B, 0x96, 0x0C, 0x12, 0x18, 0x24}));
  EXPECT_EQ(Field(ODSIM_FIELD_SSID), (Bytes{'R', 'o', 'a', 'm'}));

  world.current = 1;
  sim->SetWorld(world);
  ODSIM_ClearCalls();
  Connect(3);
  EXPECT_EQ(odsim::CallNames(), (Calls{"ODSTK_LINK_SetNetworkInfoA", "ODSTK_LINK_PortUp"}));
  EXPECT_EQ(Given().Bssid[5], 0x0B);
  EXPECT_EQ(Field(ODSIM_FIELD_BEACON_IES), (Bytes{0xDD, 0x02, 0x0B, 0x0B}));
  EXPECT_EQ(Field(ODSIM_FIELD_REQUEST_IES)[6], '2');

  // After a port-down a connect hands nothing over.
  HalvexWPAPortDown();
  ODSIM_ClearCalls();
  Connect(1);
  EXPECT_EQ(odsim::Calls(), Calls{});
}

TEST_F(NetworkInfoTest, ThirtyTwoCharacterSsidStillFindsItsBeaconElements) {
  const std::string name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  sim::RadioWorld world;
  sim::AccessPoint ap = sim::MakeAccessPoint(name, 0x0C, 1, -40, 90);
  ap.ies = {0xDD, 0x01, 0x32};
  world.accessPoints.push_back(ap);
  world.current = 0;
  sim->SetWorld(world);
  std::string ssid = name;
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 9, 3, passphrase_, ssid.data()), 0);
  Connect(1);
  EXPECT_EQ(Field(ODSIM_FIELD_BEACON_IES), (Bytes{0xDD, 0x01, 0x32}));
  EXPECT_EQ(Field(ODSIM_FIELD_SSID).size(), 32u);
}

TEST_F(NetworkInfoTest, TheToolkitLearnsTheNetworkBeforeTheJoinWakes) {
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 9, 3, passphrase_, ssid_), 0);
  std::atomic<int> earlyWakes{0};
  sim->OnRequest([&](uint32_t oid) {
    // The refresh reads the association before the connect is signalled.
    if (oid == OID_802_11_ASSOCIATION_INFORMATION &&
        WaitForSingleObject(State().LinkChangeEvent.get(), 0) == WAIT_OBJECT_0)
      ++earlyWakes;
  });
  recorder.SetHook([&](const Message& m) {
    if (m.code == 1 && ODSIM_PortState(Link()) != 1) ++earlyWakes;
  });
  char ssid[] = "HalvexWPA2";
  EXPECT_EQ(HalvexSetAuthMode(adapter, 7), 0);
  ASSERT_EQ(HalvexSetSsid(adapter, ssid, 10), 0);
  EXPECT_EQ(ODSIM_PortState(Link()), 1);
  sim->OnRequest(nullptr);
  recorder.SetHook(nullptr);
  EXPECT_EQ(earlyWakes.load(), 0);
}

TEST_F(NetworkInfoTest, RefusalsChangeNothing) {
  char longSsid[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456";  // 33 characters
  ASSERT_EQ(HalvexWPASetNetworkInfo(adapter, 9, 3, passphrase_, ssid_, own_, bssid_), 0);
  const ODSIM_NETWORK_INFO first = Given();
  ODSIM_ClearCalls();
  sim->ClearCalls();
  // The port is open: a second hand-over is refused.
  EXPECT_EQ(HalvexWPASetNetworkInfo(adapter, 5, 2, passphrase_, ssid_, own_, bssid_), 1);
  HalvexWPAPortDown();
  ODSIM_ClearCalls();
  EXPECT_EQ(HalvexWPASetNetworkInfo(adapter, 5, 2, passphrase_, longSsid, own_, bssid_), 1);
  EXPECT_EQ(HalvexWPASetNetworkInfo(adapter, 5, 2, passphrase_, ssid_, nullptr, bssid_), 3);
  // A long SSID for a mode that uses one does not even take the port down.
  EXPECT_EQ(HalvexSetWPAInformation(adapter, 9, 3, passphrase_, longSsid), 1);
  EXPECT_EQ(odsim::Calls(), Calls{});
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(Given().Protocol, first.Protocol);
  EXPECT_EQ(Given().Cipher, first.Cipher);
  std::lock_guard lock(Bridge().NetworkInfoLock);
  EXPECT_NE(Bridge().PassphraseCopy, nullptr);
  EXPECT_EQ(Bridge().NetworkInfo.Cipher, 3u);
}

TEST_F(NetworkInfoTest, ModesWithoutSupplicantOnlyTakeThePortDown) {
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 9, 3, passphrase_, ssid_), 0);
  for (ULONG mode : {0u, 1u, 4u}) {
    SCOPED_TRACE(mode);
    Bridge().PortOpen.store(1);
    ODSIM_ClearCalls();
    char longSsid[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456";
    EXPECT_EQ(HalvexSetWPAInformation(adapter, mode, 2, passphrase_, longSsid), 0);
    EXPECT_EQ(odsim::Calls(), Calls{"ODSTK_LINK_PortDown(link#1)"});
    EXPECT_EQ(Bridge().PortOpen.load(), 0u);
    EXPECT_EQ(Bridge().WpaInfoPending.load(), 0u);
    std::lock_guard lock(Bridge().NetworkInfoLock);
    EXPECT_EQ(Bridge().NetworkInfo.Protocol, 4u);  // the record as mode 9 left it
  }
}

TEST_F(NetworkInfoTest, ToolkitRefusalLeavesThePortClosed) {
  ASSERT_EQ(ODSIM_ScriptResult("ODSTK_LINK_SetNetworkInfoA", 7, 2), 0);
  EXPECT_EQ(HalvexWPASetNetworkInfo(adapter, 9, 3, passphrase_, ssid_, own_, bssid_), 7);
  EXPECT_EQ(Bridge().PortOpen.load(), 0u);
  // The monitor's hand-over is refused as well; the connect is still told.
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 9, 3, passphrase_, ssid_), 0);
  recorder.Clear();
  Connect(1);
  EXPECT_EQ(recorder.Codes(), std::vector<uint64_t>{1});
  EXPECT_EQ(odsim::CallNames(),
            (Calls{"ODSTK_LINK_SetNetworkInfoA", "ODSTK_LINK_PortDown", "ODSTK_LINK_SetNetworkInfoA"}));
  EXPECT_EQ(Bridge().PortOpen.load(), 0u);
  EXPECT_EQ(ODSIM_PortState(Link()), 0);
}

}  // namespace
}  // namespace hx::test
