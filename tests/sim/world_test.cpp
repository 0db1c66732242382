// The simulated adapter's radio world, driven through the library: what scans
// find, how joins end, what the station keeps and reads back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/oids.h"
#include "tests/support/fixture.h"

namespace hx::test {
namespace {

using sim::AccessPoint;
using sim::Bytes;
namespace ndis = sim::ndis;

using Joined = std::pair<int, uint64_t>;  // the join's result, the event's message

const Bytes kWepKey = {0x11, 0x22, 0x33, 0x44, 0x55};
const Bytes kOtherKey = {0x11, 0x22, 0x33, 0x44, 0x56};

class SimWorldTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    sim::RadioWorld world = sim::RadioWorld::Default();
    world.current.reset();
    world.accessPoints.push_back(sim::WepAccessPoint("HalvexWEP", 0x04, 3, kWepKey));
    AccessPoint hidden = sim::MakeAccessPoint("HalvexHidden", 0x05, 9, -40, 95);
    hidden.hidden = true;
    world.accessPoints.push_back(hidden);
    sim->SetWorld(world);
    Open();
  }

  std::vector<std::string> ListedSsids() {
    std::vector<unsigned char> list(24576);
    EXPECT_EQ(HalvexQueryScanList(adapter, list.data(), static_cast<ULONG>(list.size())), 0);
    std::vector<std::string> ssids;
    for (const auto& network : sim::ReadScanList(list.data(), list.size())) ssids.push_back(network.ssid);
    return ssids;
  }

  // Joins with the station set up as given; returns the join's result and
  // the connection event's message.
  Joined JoinAs(std::string ssid, ULONG auth, ULONG wep, std::optional<Bytes> key) {
    EXPECT_EQ(HalvexSetAuthMode(adapter, auth), 0);
    EXPECT_EQ(HalvexSetWepStatus(adapter, wep), 0);
    if (key) {
      EXPECT_EQ(HalvexSetWepKey(adapter, 1, key->data(), static_cast<unsigned>(key->size()), 1), 0);
    }
    recorder.Clear();
    const int result = HalvexSetSsid(adapter, ssid.data(), static_cast<ULONG>(ssid.size()));
    EXPECT_TRUE(recorder.WaitForCount(1));
    const auto codes = recorder.Codes();
    return {result, codes.empty() ? ~0ull : codes[0]};
  }

  std::string AssociatedSsid() {
    unsigned char ssid[33] = {};
    if (HalvexQuerySsid(adapter, ssid, sizeof ssid) != 0) return "";
    return reinterpret_cast<char*>(ssid);
  }
};

TEST_F(SimWorldTest, JoinEndsAsTheNetworkTakesTheStation) {
  struct Case {
    const char* name;
    std::string ssid;
    ULONG auth;
    ULONG wep;
    std::optional<Bytes> key;
    uint64_t code;
    std::string joined;  // empty: not associated afterwards
  } cases[] = {
      {"open network", "HalvexOpen", ndis::kAuthOpen, ndis::kWepDisabled, std::nullopt, 1, "HalvexOpen"},
      {"absent network", "Nowhere", ndis::kAuthOpen, ndis::kWepDisabled, std::nullopt, 0, ""},
      {"open network, WEP on", "HalvexOpen", ndis::kAuthOpen, ndis::kWepEnabled, std::nullopt, 0, ""},
      {"WPA2 network, open auth", "HalvexWPA2", ndis::kAuthOpen, ndis::kWepDisabled, std::nullopt, 0, ""},
      {"WPA2 network, WPA2-PSK", "HalvexWPA2", ndis::kAuthWpa2Psk, 6, std::nullopt, 1, "HalvexWPA2"},
      {"WPA2 network, WPA-PSK", "HalvexWPA2", ndis::kAuthWpaPsk, 4, std::nullopt, 1, "HalvexWPA2"},
      {"WPA network, WPA2-PSK", "HalvexWPA", ndis::kAuthWpa2Psk, 6, std::nullopt, 0, ""},
      {"WEP network, its key", "HalvexWEP", ndis::kAuthShared, ndis::kWepEnabled, kWepKey, 1, "HalvexWEP"},
      {"WEP network, wrong key", "HalvexWEP", ndis::kAuthOpen, ndis::kWepEnabled, kOtherKey, 4, ""},
      {"WEP network, WEP off", "HalvexWEP", ndis::kAuthOpen, ndis::kWepDisabled, kWepKey, 0, ""},
      {"hidden network by name", "HalvexHidden", ndis::kAuthOpen, ndis::kWepDisabled, std::nullopt, 1,
       "HalvexHidden"},
      // Any network: the strongest one listed that takes an open station.
      {"empty SSID", "", ndis::kAuthOpen, ndis::kWepDisabled, std::nullopt, 1, "HalvexOpen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [result, code] = JoinAs(c.ssid, c.auth, c.wep, c.key);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(result, c.code == 1 ? 0 : 1);
    EXPECT_EQ(HalvexGetConnectStatus(adapter), c.joined.empty() ? 0 : 1);
    EXPECT_EQ(AssociatedSsid(), c.joined);
  }
}

TEST_F(SimWorldTest, RadioOffFindsNothingAndJoinsNothing) {
  const std::vector<std::string> inRange = {"HalvexOpen", "HalvexWPA", "HalvexWPA2", "HalvexWEP"};
  EXPECT_EQ(HalvexScan(adapter), 0);
  EXPECT_EQ(ListedSsids(), inRange);
  ASSERT_EQ(JoinAs("HalvexOpen", ndis::kAuthOpen, ndis::kWepDisabled, std::nullopt), Joined(0, 1));

  EXPECT_EQ(HalvexSetRadioControl(adapter, 0), 0);
  ULONG radio = 7;
  EXPECT_EQ(HalvexQueryRadioControl(adapter, radio), 0);
  EXPECT_EQ(radio, 0u);
  EXPECT_EQ(HalvexGetConnectStatus(adapter), 0) << "the radio took the link with it";
  HALVEX_SSID_SCAN scan{};
  scan.SsidLength = 6;
  std::memcpy(scan.Ssid, "Halvex", 6);
  EXPECT_EQ(HalvexSsidScan(adapter, &scan), 0) << "the scan still completes";
  EXPECT_TRUE(ListedSsids().empty());
  EXPECT_EQ(JoinAs("HalvexOpen", ndis::kAuthOpen, ndis::kWepDisabled, std::nullopt), Joined(1, 0));

  EXPECT_EQ(HalvexSetRadioControl(adapter, 1), 0);
  EXPECT_EQ(HalvexQueryRadioControl(adapter, radio), 0);
  EXPECT_EQ(radio, 1u);
  EXPECT_EQ(ListedSsids(), inRange);
  EXPECT_EQ(JoinAs("HalvexOpen", ndis::kAuthOpen, ndis::kWepDisabled, std::nullopt), Joined(0, 1));
}

TEST_F(SimWorldTest, RadioSwitchedByHandIsReported) {
  sim->SwitchRadio(false);
  ASSERT_TRUE(recorder.WaitForCount(1));
  EXPECT_TRUE(ListedSsids().empty());
  sim->SwitchRadio(true);
  ASSERT_TRUE(recorder.WaitForCount(2));
  EXPECT_EQ(recorder.Codes(), (std::vector<uint64_t>{9, 8}));
  EXPECT_EQ(ListedSsids().size(), 4u);
}

TEST_F(SimWorldTest, DirectedScanRevealsTheHiddenNetworkItNames) {
  EXPECT_EQ(HalvexScan(adapter), 0);
  EXPECT_EQ(ListedSsids().size(), 4u);
  HALVEX_BSSID_SCAN other{};
  std::memcpy(other.Bssid, "\x00\x11\x22\x33\x44\x01", 6);
  EXPECT_EQ(HalvexBssidScan(adapter, &other), 0);
  EXPECT_EQ(ListedSsids().size(), 4u);
  HALVEX_SSID_SCAN named{};
  named.SsidLength = 12;
  std::memcpy(named.Ssid, "HalvexHidden", 12);
  EXPECT_EQ(HalvexSsidScan(adapter, &named), 0);
  EXPECT_EQ(ListedSsids().back(), "HalvexHidden");
}

TEST_F(SimWorldTest, ParametersAreStoredAndReadBack) {
  struct Parameter {
    const char* name;
    int (*set)(void*, ULONG);
    int (*query)(void*, ULONG&);
    ULONG value;
  } parameters[] = {
      {"network mode", HalvexSetNetworkMode, HalvexQueryNetworkMode, 0},
      {"auth mode", HalvexSetAuthMode, HalvexQueryAuthMode, ndis::kAuthShared},
      {"WEP status", HalvexSetWepStatus, HalvexQueryWepStatus, ndis::kWepEnabled},
      {"power mode", HalvexSetPowerMode, HalvexQueryPowerMode, 2},
      {"preamble", HalvexSetPreamble, HalvexQueryPreamble, 1},
      {"wireless mode", HalvexSetWlanMode, HalvexQueryWlanMode, 3},
      {"transmit power", HalvexSetTxPower, HalvexQueryTxPower, 50},
      {"WMM", HalvexSetWMMSupport, HalvexQueryWMMSupport, 1},
      // Not associated: the channel the station was told to sit on.
      {"channel", HalvexSetChannel, HalvexQueryChannel, 9},
  };
  for (const Parameter& p : parameters) {
    SCOPED_TRACE(p.name);
    EXPECT_EQ(p.set(adapter, p.value), 0);
    ULONG value = ~0u;
    EXPECT_EQ(p.query(adapter, value), 0);
    EXPECT_EQ(value, p.value);
  }
}

TEST_F(SimWorldTest, StationKeepsItsKeysAndFrames) {
  // WEP key 3, not the transmit key.
  unsigned char wep[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0};
  EXPECT_EQ(HalvexSetWepKey(adapter, 3, wep, sizeof wep, 0), 0);

  // Two keys for two access points, then one removed.
  auto key = [](uint8_t last, uint8_t fill) {
    Bytes record(offsetof(NDIS_802_11_KEY, KeyMaterial) + 16, fill);
    const uint32_t header[3] = {static_cast<uint32_t>(record.size()), 0x40000000u, 16};
    std::memcpy(record.data(), header, sizeof header);
    const uint8_t bssid[6] = {0x00, 0x11, 0x22, 0x33, 0x44, last};
    std::memcpy(record.data() + offsetof(NDIS_802_11_KEY, BSSID), bssid, 6);
    return record;
  };
  Bytes first = key(0x01, 0xA1), second = key(0x02, 0xB2);
  const Bytes kept = second;
  EXPECT_EQ(SetOid(adapter, OID_802_11_ADD_KEY, first.data(), static_cast<ULONG>(first.size())), 0);
  EXPECT_EQ(SetOid(adapter, OID_802_11_ADD_KEY, second.data(), static_cast<ULONG>(second.size())), 0);
  NDIS_802_11_REMOVE_KEY remove{
      sizeof(NDIS_802_11_REMOVE_KEY), 0x40000000u, {0x00, 0x11, 0x22, 0x33, 0x44, 0x01}};
  EXPECT_EQ(SetOid(adapter, OID_802_11_REMOVE_KEY, &remove, sizeof remove), 0);

  Bytes pmkid(sizeof(NDIS_802_11_PMKID), 0x5A);
  const uint32_t pmkidHeader[2] = {static_cast<uint32_t>(pmkid.size()), 1};
  std::memcpy(pmkid.data(), pmkidHeader, sizeof pmkidHeader);
  const Bytes pmkidSent = pmkid;
  EXPECT_EQ(SetOid(adapter, OID_802_11_PMKID, pmkid.data(), static_cast<ULONG>(pmkid.size())), 0);

  // An EAPOL frame: length word, reserved, then the Ethernet frame.
  const Bytes frame = {0x00, 0x11, 0x22, 0x33, 0x44, 0x03, 0x00, 0x1A, 0x2B,
                       0x3C, 0x4D, 0x5E, 0x88, 0x8E, 0x01, 0x00, 0x00, 0x00};
  Bytes eapol(4 + frame.size(), 0);
  eapol[0] = static_cast<uint8_t>(frame.size());
  std::copy(frame.begin(), frame.end(), eapol.begin() + 4);
  EXPECT_EQ(SetOid(adapter, OID_HALVEX_EAPOL_TX, eapol.data(), static_cast<ULONG>(eapol.size())), 0);

  const sim::Station station = sim->World().station;
  auto plain = [](const auto& bytes) { return Bytes(bytes.begin(), bytes.end()); };
  EXPECT_EQ(plain(station.wepKeys[2]), Bytes(wep, wep + sizeof wep));
  EXPECT_EQ(station.transmitKey, 0u);
  ASSERT_EQ(station.keys.size(), 1u);
  EXPECT_EQ(plain(station.keys[0]), kept);
  EXPECT_EQ(plain(station.pmkids), pmkidSent);
  ASSERT_EQ(station.eapolFrames.size(), 1u);
  EXPECT_EQ(plain(station.eapolFrames[0]), frame);
}

TEST(SimAdapterLogTest, KeepsTheLastCallsOnly) {
  auto adapter = sim::SimAdapter::Create();
  const size_t kept = sim::SimAdapter::kLoggedCalls;
  for (uint32_t i = 0; i <= kept; ++i) {
    uint8_t request[8] = {};
    std::memcpy(request, &i, 4);  // as the OID word: each call told apart
    uint32_t returned = 0, error = 0;
    adapter->Control(IOCTL_OID_QUERY, request, sizeof request, request, sizeof request, &returned, &error);
  }
  const auto calls = adapter->Calls();
  ASSERT_EQ(calls.size(), kept);
  EXPECT_EQ(calls.front().Oid(), 1u) << "the oldest went";
  EXPECT_EQ(calls.back().Oid(), kept);
}

}  // namespace
}  // namespace hx::test
