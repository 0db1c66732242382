// The utility's everyday sequence against the simulated adapter: open, scan,
// read the list, join an open and then a WEP network, leave again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fixture.h"

namespace hx::test {
namespace {

using sim::Bytes;
namespace ndis = sim::ndis;

class JoinEndToEndTest : public LibraryTest {};

TEST_F(JoinEndToEndTest, OpenScanJoinOpenAndWepNetworksThenLeave) {
  sim::RadioWorld world = sim::RadioWorld::Default();
  world.current.reset();
  unsigned char key[5] = {0x4B, 0x65, 0x79, 0x00, 0x21};  // a zero byte inside
  world.accessPoints.push_back(sim::WepAccessPoint("HalvexWEP", 0x04, 3, Bytes(key, key + sizeof key)));
  sim->SetWorld(world);

  ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
  EXPECT_EQ(HalvexGetConnectStatus(adapter), 0);

  ASSERT_EQ(HalvexScan(adapter), 0);
  std::vector<unsigned char> list(24576);
  ULONG returned = 0;
  ASSERT_EQ(HalvexQueryScanListLength(adapter, list.data(), static_cast<ULONG>(list.size()), returned), 0);
  std::vector<std::string> ssids;
  for (const auto& network : sim::ReadScanList(list.data(), returned)) ssids.push_back(network.ssid);
  EXPECT_EQ(ssids, (std::vector<std::string>{"HalvexOpen", "HalvexWPA", "HalvexWPA2", "HalvexWEP"}));

  EXPECT_EQ(HalvexSetAuthMode(adapter, ndis::kAuthOpen), 0);
  EXPECT_EQ(HalvexSetWepStatus(adapter, ndis::kWepDisabled), 0);
  char open[] = "HalvexOpen";
  ASSERT_EQ(HalvexSetSsid(adapter, open, 10), 0);
  EXPECT_EQ(HalvexGetConnectStatus(adapter), 1);
  unsigned char ssid[33] = {};
  ASSERT_EQ(HalvexQuerySsid(adapter, ssid, sizeof ssid), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(ssid), "HalvexOpen");

  EXPECT_EQ(HalvexSetWepStatus(adapter, ndis::kWepEnabled), 0);
  EXPECT_EQ(HalvexSetWepKey(adapter, 1, key, sizeof key, 1), 0);
  char wep[] = "HalvexWEP";
  ASSERT_EQ(HalvexSetSsid(adapter, wep, 9), 0);
  unsigned char bssid[6] = {};
  ASSERT_EQ(HalvexQueryBssid(adapter, bssid), 0);
  EXPECT_EQ(Bytes(bssid, bssid + 6), (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x04}));

  ASSERT_EQ(HalvexSetDisassociate(adapter), 0);
  ASSERT_TRUE(recorder.WaitForCount(3));
  EXPECT_EQ(recorder.Codes(), (std::vector<uint64_t>{1, 1, 0}));
  EXPECT_EQ(HalvexGetConnectStatus(adapter), 0);
}

}  // namespace
}  // namespace hx::test
