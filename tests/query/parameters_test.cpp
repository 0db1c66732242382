// The query family against the simulated adapter.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

#include "frame/oids.h"
#include "query/query.h"
#include "tests/support/fixture.h"
#include "tests/support/guard_page.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;
using sim::WordBytes;

class QueryTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    Open();
  }
};

using ValueExport = int (*)(void*, ULONG&);

struct WordMember {
  const char* name;
  ValueExport query;
  uint32_t oid;
};

// The members that return the answer word unchanged.
const WordMember kWordMembers[] = {
    {"AuthMode", HalvexQueryAuthMode, OID_802_11_AUTHENTICATION_MODE},
    {"NetworkMode", HalvexQueryNetworkMode, OID_802_11_INFRASTRUCTURE_MODE},
    {"WepStatus", HalvexQueryWepStatus, OID_802_11_WEP_STATUS},
    {"Rssi", HalvexQueryRssi, OID_802_11_RSSI},
    {"LinkSpeed", HalvexQueryLinkSpeed, OID_GEN_LINK_SPEED},
    {"Preamble", HalvexQueryPreamble, OID_HALVEX_PREAMBLE},
    {"TxAntenna", HalvexQueryTxAntenna, OID_802_11_TX_ANTENNA_SELECTED},
    {"RxAntenna", HalvexQueryRxAntenna, OID_802_11_RX_ANTENNA_SELECTED},
    {"PowerMode", HalvexQueryPowerMode, OID_802_11_POWER_MODE},
    {"HardwareStatus", HalvexQueryHardwareStatus, OID_GEN_HARDWARE_STATUS},
    {"RegionCode", HalvexQueryRegionCode, OID_HALVEX_REGION_CODE},
    {"WlanMode", HalvexQueryWlanMode, OID_HALVEX_WLAN_MODE},
    {"RadioControl", HalvexQueryRadioControl, OID_HALVEX_RADIO_ON},
    {"BoostMode", HalvexQueryBoostMode, OID_HALVEX_BOOST_MODE},
    {"InterOperabilityMode", HalvexQueryInterOperabilityMode, OID_HALVEX_BOOST_MODE},
    {"TxPower", HalvexQueryTxPower, OID_HALVEX_TX_POWER},
    {"SignalThreshold", HalvexQuerySignalThreshold, OID_HALVEX_SIGNAL_THRESHOLD},
    {"TxFailThreshold", HalvexQueryTxFailThreshold, OID_HALVEX_TX_FAIL_THRESHOLD},
    {"CCXOption", HalvexQueryCCXOption, OID_HALVEX_CCX_OPTION},
    {"WMMSupport", HalvexQueryWMMSupport, OID_HALVEX_WMM_SUPPORT},
};

TEST_F(QueryTest, WordMembersReturnTheAnswerOnlyOnSuccess) {
  for (const WordMember& m : kWordMembers) {
    SCOPED_TRACE(m.name);
    sim->ClearCalls();
    sim->SetWord(m.oid, 0xCAFE0001);
    ULONG value = 7;
    EXPECT_EQ(m.query(adapter, value), 0);
    EXPECT_EQ(value, 0xCAFE0001u);
    const auto calls = sim->CallsFor(m.oid);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].inLength, 12u);

    // Failures leave the output alone and pass the channel's result on,
    // STATUS_PENDING included for members that do not wait.
    const std::pair<Response, int> failures[] = {{Response::Fail(0xC0000001), 1},
                                                 {Response::Fail(0xC0000010), static_cast<int>(0xC0000010)},
                                                 {Response::Fail(259), 259}};
    for (const auto& [response, result] : failures) {
      sim->Script(m.oid, response);
      value = 7;
      EXPECT_EQ(m.query(adapter, value), result);
      EXPECT_EQ(value, 7u);
    }
    sim->ClearScript(m.oid);
    void* closed = nullptr;
    EXPECT_EQ(m.query(closed, value), 1);
  }
}

TEST_F(QueryTest, ProbeFailuresSendNothing) {
  GuardedBuffer guard(8);
  ASSERT_TRUE(guard.MakeReadOnly());  // readable, aligned, not writable
  ULONG& bad = *reinterpret_cast<ULONG*>(guard.data());
  sim->ClearCalls();
  for (const WordMember& m : kWordMembers) EXPECT_EQ(m.query(adapter, bad), 3) << m.name;
  const ValueExport others[] = {HalvexQueryFragThreshold, HalvexQueryRTSThreshold,    HalvexQueryDataRate,
                                HalvexQueryChipVersion,   HalvexQueryFirmwareVersion, HalvexQueryChannel};
  for (ValueExport q : others) EXPECT_EQ(q(adapter, bad), 3);
  ULONG good = 0;
  EXPECT_EQ(HalvexQuerySignalInfo(adapter, good, bad), 3);
  EXPECT_EQ(HalvexQuerySignalInfo(adapter, bad, good), 3);
  EXPECT_EQ(HalvexGetMacAddress(adapter, guard.data(), 6), 3);
  EXPECT_EQ(HalvexQuerySsid(adapter, guard.data(), 33), 3);
  EXPECT_EQ(HalvexQueryBssid(adapter, guard.data()), 3);
  EXPECT_EQ(HalvexQueryRegionCtrl(adapter, reinterpret_cast<HALVEX_REGION_CTRL*>(guard.data())), 3);
  EXPECT_TRUE(sim->Calls().empty());
}

TEST_F(QueryTest, ChannelFromFrequency) {
  const std::pair<ULONG, ULONG> cases[] = {{2412000, 1},   {2437000, 6},   {2472000, 13}, {2484000, 14},
                                           {2400000, 0},   {2411999, 0},   {2489000, 0},  {5180000, 36},
                                           {4920000, 184}, {5825000, 165}, {0, 0}};
  for (const auto& [khz, channel] : cases) {
    SCOPED_TRACE(khz);
    NDIS_802_11_CONFIGURATION config{};
    config.DSConfig = khz;
    sim->SetValue(OID_802_11_CONFIGURATION, Bytes(reinterpret_cast<uint8_t*>(&config),
                                                  reinterpret_cast<uint8_t*>(&config) + sizeof config));
    ULONG value = 99;
    EXPECT_EQ(HalvexQueryChannel(adapter, value), 0);
    EXPECT_EQ(value, channel);
  }
  sim->Script(OID_802_11_CONFIGURATION, Response::Fail(0xC0000010));
  ULONG value = 99;
  EXPECT_EQ(HalvexQueryChannel(adapter, value), static_cast<int>(0xC0000010));
  EXPECT_EQ(value, 99u);
}

TEST_F(QueryTest, ConnectStatusIsATruthValue) {
  const std::pair<std::optional<uint32_t>, int> cases[] = {{0, 1}, {1, 0}, {2, 0}, {std::nullopt, 0}};
  for (const auto& [state, connected] : cases) {
    if (state) {
      sim->ClearScript(OID_GEN_MEDIA_CONNECT_STATUS);
      sim->SetWord(OID_GEN_MEDIA_CONNECT_STATUS, *state);
    } else {
      sim->Script(OID_GEN_MEDIA_CONNECT_STATUS, Response::Fail(0xC0000001));
    }
    EXPECT_EQ(HalvexGetConnectStatus(adapter), connected);
  }
  EXPECT_EQ(sim->CallsFor(OID_GEN_MEDIA_CONNECT_STATUS)[0].inLength, 16u);
}

TEST_F(QueryTest, CachesFillOnceAndEmptyAtClose) {
  unsigned char mac[6];
  ULONG chip = 0, firmware = 0;
  sim->SetWord(OID_HALVEX_CHIP_VERSION, 0x11);
  sim->SetWord(OID_GEN_VENDOR_DRIVER_VERSION, 0x22);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(HalvexGetMacAddress(adapter, mac, 6), 0);
    ASSERT_EQ(HalvexQueryChipVersion(adapter, chip), 0);
    ASSERT_EQ(HalvexQueryFirmwareVersion(adapter, firmware), 0);
  }
  EXPECT_EQ(Bytes(mac, mac + 6), *sim->Value(OID_802_3_CURRENT_ADDRESS));
  EXPECT_EQ(chip, 0x11u);
  EXPECT_EQ(firmware, 0x22u);
  EXPECT_EQ(sim->Calls().size(), 3u) << "second round served from the caches";
  // Served even with a wrong handle until the adapter closes.
  void* wrong = reinterpret_cast<void*>(0x999);
  EXPECT_EQ(HalvexGetMacAddress(wrong, mac, 6), 0);
  EXPECT_EQ(HalvexQueryChipVersion(wrong, chip), 0);

  HalvexCloseAdapter(adapter);
  EXPECT_EQ(HalvexGetMacAddress(adapter, mac, 6), 1);
  EXPECT_EQ(HalvexQueryChipVersion(adapter, chip), 1);
  EXPECT_EQ(HalvexQueryFirmwareVersion(adapter, firmware), 1);
  Open();
  ASSERT_EQ(HalvexQueryChipVersion(adapter, chip), 0);
  EXPECT_EQ(sim->Calls().size(), 1u) << "asked again after the close";

  // A driver answering 0 is asked on every call.
  sim->SetWord(OID_GEN_VENDOR_DRIVER_VERSION, 0);
  HalvexQueryFirmwareVersion(adapter, firmware);
  HalvexQueryFirmwareVersion(adapter, firmware);
  EXPECT_EQ(sim->CallsFor(OID_GEN_VENDOR_DRIVER_VERSION).size(), 2u);
  EXPECT_EQ(HalvexGetMacAddress(adapter, mac, 5), 3) << "shorter than 6 bytes";
}

TEST_F(QueryTest, SsidLengths) {
  struct Case {
    uint32_t length;
    ULONG buffer;
    int result;
    Bytes expected;
  };
  const Case cases[] = {
      {4, 40, 0, {'n', 'e', 't', '1', 0, 0xEE}},
      {0, 40, 0, {0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
      {33, 40, 0, Bytes(6, 0xEE)},  // out of range: nothing written
      {4, 4, 3, Bytes(6, 0xEE)},    // no room for the terminating zero
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Bytes answer = WordBytes(c.length);
    for (char ch : std::string("net1")) answer.push_back(static_cast<uint8_t>(ch));
    sim->SetValue(OID_802_11_SSID, answer);
    Bytes buffer(40, 0xEE);
    EXPECT_EQ(HalvexQuerySsid(adapter, buffer.data(), c.buffer), c.result);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 6), c.expected);
  }
  EXPECT_EQ(sim->CallsFor(OID_802_11_SSID)[0].inLength, 48u);
}

TEST_F(QueryTest, BssidIsZeroedBeforeTheRequest) {
  unsigned char bssid[6] = {1, 1, 1, 1, 1, 1};
  sim->Script(OID_802_11_BSSID, Response::Fail(0xC0000001));
  EXPECT_EQ(HalvexQueryBssid(adapter, bssid), 1);
  EXPECT_EQ(Bytes(bssid, bssid + 6), Bytes(6, 0));
  EXPECT_EQ(sim->CallsFor(OID_802_11_BSSID)[0].Payload(), Bytes(8, 0));
  sim->ClearScript(OID_802_11_BSSID);
  sim->SetValue(OID_802_11_BSSID, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
  EXPECT_EQ(HalvexQueryBssid(adapter, bssid), 0);
  EXPECT_EQ(Bytes(bssid, bssid + 6), (Bytes{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
}

TEST_F(QueryTest, SignalInfoConversions) {
  const struct {
    int32_t level, quality;
    ULONG signal, shown;
  } cases[] = {
      {-60, 130, 36, 100}, {-96, 100, 0, 100}, {-20, 55, 76, 55}, {-100, -5, 0xFFFFFFFC, 0xFFFFFFFB}};
  for (const auto& c : cases) {
    Bytes answer(16, 0);
    std::memcpy(answer.data() + 8, &c.level, 4);
    std::memcpy(answer.data() + 12, &c.quality, 4);
    sim->SetValue(OID_HALVEX_SIGNAL_INFO, answer);
    ULONG signal = 0, quality = 0;
    EXPECT_EQ(HalvexQuerySignalInfo(adapter, signal, quality), 0);
    EXPECT_EQ(signal, c.signal);
    EXPECT_EQ(quality, c.shown);
  }
  const Bytes sent = sim->CallsFor(OID_HALVEX_SIGNAL_INFO)[0].Payload();
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), (Bytes{31, 0, 16, 0}));
}

TEST_F(QueryTest, ChannelRangeAlwaysSucceeds) {
  sim->SetWord(OID_HALVEX_CHANNEL_RANGE, 0x3FFF);
  ULONG value = 5;
  EXPECT_EQ(HalvexQueryChannelRange(adapter, value), 0);
  EXPECT_EQ(value, 0x3FFFu);
  HalvexCloseAdapter(adapter);
  value = 5;
  EXPECT_EQ(HalvexQueryChannelRange(adapter, value), 0);
  EXPECT_EQ(value, 0u);
}

TEST_F(QueryTest, RecordsPassThroughInPlace) {
  HALVEX_REGION_CTRL region{};
  region.RegionCode = 0x44;
  sim->SetValue(OID_HALVEX_REGION_CTRL, WordBytes(0x77));
  EXPECT_EQ(HalvexQueryRegionCtrl(adapter, &region), 0);
  EXPECT_EQ(region.RegionCode, 0x77u);
  const auto sent = sim->CallsFor(OID_HALVEX_REGION_CTRL)[0];
  EXPECT_EQ(sent.inLength, 96u);
  EXPECT_EQ(sim::ReadWord(sent.Payload().data()), 0x44u) << "the record's own bytes went to the driver";
  HALVEX_QUICKSETUP_SSID_INFO info{};
  sim->SetValue(OID_HALVEX_QS_AP_INFO, {});
  EXPECT_EQ(HalvexQueryQuickSetupAPInfo(adapter, &info), 0);
  EXPECT_EQ(sim->CallsFor(OID_HALVEX_QS_AP_INFO)[0].inLength, 60u);
  NDIS_802_11_CONFIGURATION config{};
  sim->SetValue(OID_802_11_CONFIGURATION, {});
  EXPECT_EQ(HalvexQueryConfiguration(adapter, &config), 0);
  EXPECT_EQ(sim->CallsFor(OID_802_11_CONFIGURATION)[0].inLength, 40u);
}

}  // namespace
}  // namespace hx::test
