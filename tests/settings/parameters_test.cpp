// The parameter settings against the simulated adapter and its registry key.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "tests/settings/settings_fixture.h"
#include "tests/support/guard_page.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;
using sim::WordBytes;

using SetExport = int (*)(void*, ULONG);

enum class When { kFirst, kOnSuccess };

struct Member {
  const char* name;  // also the registry value it keeps
  SetExport set;
  uint32_t oid;
  bool hexadecimal;
  When when;
};

// The members that send their value as one 4-byte word.
const Member kMembers[] = {
    {"AuthMode", HalvexSetAuthMode, OID_802_11_AUTHENTICATION_MODE, false, When::kOnSuccess},
    {"NetworkMode", HalvexSetNetworkMode, OID_802_11_INFRASTRUCTURE_MODE, false, When::kOnSuccess},
    {"WepStatus", HalvexSetWepStatus, OID_802_11_WEP_STATUS, false, When::kOnSuccess},
    {"Preamble", HalvexSetPreamble, OID_HALVEX_PREAMBLE, false, When::kFirst},
    {"TxAntenna", HalvexSetTxAntenna, OID_802_11_TX_ANTENNA_SELECTED, true, When::kFirst},
    {"RxAntenna", HalvexSetRxAntenna, OID_802_11_RX_ANTENNA_SELECTED, true, When::kFirst},
    {"FragThsd", HalvexSetFragThreshold, OID_802_11_FRAGMENTATION_THRESHOLD, false, When::kFirst},
    {"RTSThsd", HalvexSetRTSThreshold, OID_802_11_RTS_THRESHOLD, false, When::kFirst},
    {"Channel", HalvexSetChannel, OID_HALVEX_CHANNEL, false, When::kOnSuccess},
    {"PowerMode", HalvexSetPowerMode, OID_802_11_POWER_MODE, false, When::kFirst},
    {"Wireless Mode", HalvexSetWlanMode, OID_HALVEX_WLAN_MODE, false, When::kOnSuccess},
    {"BoostMode", HalvexSetBoostMode, OID_HALVEX_BOOST_MODE, false, When::kFirst},
    {"BoostMode", HalvexSetInterOperabilityMode, OID_HALVEX_BOOST_MODE, false, When::kOnSuccess},
    {"TxPowerLvl", HalvexSetTxPower, OID_HALVEX_TX_POWER, false, When::kFirst},
    {"AdhocGMode", HalvexSetAdHocGMode, OID_HALVEX_ADHOC_G_MODE, false, When::kOnSuccess},
    {"AdhocGMode", HalvexSetAdHocWlanMode, OID_HALVEX_ADHOC_G_MODE, false, When::kOnSuccess},
    {"ChannelRange", HalvexSetChannelRange, OID_HALVEX_CHANNEL_RANGE, true, When::kOnSuccess},
    {"SignalThsds", HalvexSetSignalThreshold, OID_HALVEX_SIGNAL_THRESHOLD, false, When::kOnSuccess},
    {"TxFailThsds", HalvexSetTxFailThreshold, OID_HALVEX_TX_FAIL_THRESHOLD, false, When::kOnSuccess},
    {"WMM", HalvexSetWMMSupport, OID_HALVEX_WMM_SUPPORT, false, When::kFirst},
};

// How a request ends, and whether it counts as accepted.
struct Outcome {
  const char* name;
  std::optional<Response> script;  // none: the request goes to a refused handle
  int result;
  bool accepted;
};

const Outcome kOutcomes[] = {
    {"accepted", Response::SetStatus(0), 0, true},
    // A pending answer also leaves 259 in the payload's first word: the
    // stored value must still be the caller's.
    {"pending, call succeeded", Response::SetStatus(259), 0, true},
    {"pending, call failed", Response::Fail(259), 0, true},
    {"unsuccessful", Response::Fail(0xC0000001), 1, false},
    {"other status", Response::Fail(0xC0000010), static_cast<int>(0xC0000010), false},
    {"refused handle", std::nullopt, 1, false},
};

constexpr ULONG kValue = 26;  // "26" in decimal, "1A" in hexadecimal

TEST_F(SettingsTest, SettingRegistryRuleForEveryMemberAndOutcome) {
  for (const Member& m : kMembers) {
    for (const Outcome& o : kOutcomes) {
      SCOPED_TRACE(std::string(m.name) + ", " + o.name);
      Store(m.name, "prior");
      sim->ClearCalls();
      if (o.script) sim->Script(m.oid, *o.script);
      std::optional<std::string> storedAtRequest;
      observer->onSet = [&](uint32_t oid) {
        if (oid == m.oid) storedAtRequest = StoredText(m.name);
      };

      EXPECT_EQ(m.set(o.script ? adapter : kRefusedHandle, kValue), o.result);
      observer->onSet = nullptr;
      sim->ClearScript(m.oid);

      const std::string value = m.hexadecimal ? "1A" : "26";
      const bool stored = m.when == When::kFirst || o.accepted;
      EXPECT_EQ(StoredText(m.name), stored ? value : "prior");
      if (!o.script) {
        EXPECT_TRUE(sim->Calls().empty());
        continue;
      }
      EXPECT_EQ(storedAtRequest, m.when == When::kFirst ? value : "prior")
          << "stored before or after the request";
      const auto calls = sim->CallsFor(m.oid);
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].code, IOCTL_OID_SET);
      EXPECT_EQ(calls[0].inLength, 12u);
      EXPECT_EQ(Sent(calls[0], 4), WordBytes(kValue));
    }
  }
}

TEST_F(SettingsTest, SettingDesiredWordsAreKeptWhateverTheOutcome) {
  struct Case {
    SetExport set;
    uint32_t oid;
    std::atomic<uint32_t> LibraryState::*desired;
  };
  const Case cases[] = {{HalvexSetAuthMode, OID_802_11_AUTHENTICATION_MODE, &LibraryState::DesiredAuthMode},
                        {HalvexSetWepStatus, OID_802_11_WEP_STATUS, &LibraryState::DesiredWepStatus}};
  for (const Case& c : cases) {
    std::atomic<uint32_t>& desired = State().*c.desired;
    uint32_t atRequest = 0;
    observer->onSet = [&](uint32_t) { atRequest = desired.load(); };
    EXPECT_EQ(c.set(adapter, 3), 0);
    EXPECT_EQ(atRequest, 3u) << "stored before the request";
    sim->Script(c.oid, Response::Fail(0xC0000001));
    EXPECT_EQ(c.set(adapter, 4), 1);
    EXPECT_EQ(desired.load(), 4u);
    EXPECT_EQ(c.set(kRefusedHandle, 5), 1);
    EXPECT_EQ(desired.load(), 5u);
    sim->ClearScript(c.oid);
  }
  observer->onSet = nullptr;
}

TEST_F(SettingsTest, SettingNetworkModeHoldsTheJoinFlagAroundItsRequest) {
  std::optional<uint32_t> duringRequest;
  observer->onSet = [&](uint32_t) { duringRequest = State().JoinInProgress.load(); };
  const std::optional<Response> outcomes[] = {std::nullopt, Response::Fail(0xC0000001), Response::Fail(259)};
  for (const std::optional<Response>& script : outcomes) {
    duringRequest.reset();
    if (script) sim->Script(OID_802_11_INFRASTRUCTURE_MODE, *script);
    HalvexSetNetworkMode(adapter, 1);
    EXPECT_EQ(duringRequest, 1u);
    EXPECT_EQ(State().JoinInProgress.load(), 0u);
  }
  HalvexSetNetworkMode(kRefusedHandle, 1);
  EXPECT_EQ(State().JoinInProgress.load(), 0u);
  observer->onSet = nullptr;
}

TEST_F(SettingsTest, SettingDataRateSendsTheLowByteAndStoresTheWholeRate) {
  EXPECT_EQ(HalvexSetDataRate(adapter, 0x1234), 0);
  const auto calls = sim->CallsFor(OID_802_11_DESIRED_RATES);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].inLength, 16u);
  EXPECT_EQ(Sent(calls[0], 8), (Bytes{0x34, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(StoredText("DataRate"), "1234");

  // Stored before the request: a refusal keeps the new value.
  sim->Script(OID_802_11_DESIRED_RATES, Response::Fail(0xC0000001));
  EXPECT_EQ(HalvexSetDataRate(adapter, 22), 1);
  EXPECT_EQ(StoredText("DataRate"), "16");
  EXPECT_EQ(HalvexSetDataRate(kRefusedHandle, 0xFFFFFFFF), 1);
  EXPECT_EQ(StoredText("DataRate"), "FFFFFFFF");
}

TEST_F(SettingsTest, SettingRadioControlChoosesTheCommandAndStoresTheCallersState) {
  const std::pair<ULONG, uint32_t> cases[] = {{1, OID_HALVEX_RADIO_ON},
                                              {0, OID_HALVEX_RADIO_OFF},
                                              {2, OID_HALVEX_RADIO_OFF},
                                              {0x101, OID_HALVEX_RADIO_OFF}};
  for (const auto& [state, oid] : cases) {
    SCOPED_TRACE(state);
    sim->ClearCalls();
    EXPECT_EQ(HalvexSetRadioControl(adapter, state), 0);
    const auto calls = sim->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Oid(), oid);
    EXPECT_EQ(calls[0].inLength, 8u) << "no payload";
    EXPECT_EQ(StoredText("RadioOn"), std::to_string(state));
  }
  const std::pair<std::optional<Response>, int> refusals[] = {{Response::Fail(0xC0000001), 1},
                                                              {std::nullopt, 1}};
  for (const auto& [script, result] : refusals) {
    if (script) sim->Script(OID_HALVEX_RADIO_OFF, *script);
    EXPECT_EQ(HalvexSetRadioControl(script ? adapter : kRefusedHandle, 0), result);
    EXPECT_EQ(StoredText("RadioOn"), "257") << "kept from the last accepted state";
  }
}

TEST_F(SettingsTest, SettingCcxOptionNeverTouchesTheRegistry) {
  const auto before = AllStored();
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(HalvexSetCCXOption(adapter, 7), 0);
  sim->Script(OID_HALVEX_CCX_OPTION, Response::Fail(0xC0000001));
  EXPECT_EQ(HalvexSetCCXOption(adapter, 8), 1);
  EXPECT_EQ(HalvexSetCCXOption(kRefusedHandle, 9), 1);
  EXPECT_EQ(AllStored(), before);
  const auto calls = sim->CallsFor(OID_HALVEX_CCX_OPTION);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(Sent(calls[0], 4), WordBytes(7));
}

NDIS_802_11_CONFIGURATION Configuration(ULONG length, ULONG beaconPeriod) {
  NDIS_802_11_CONFIGURATION config{};
  config.Length = length;
  config.BeaconPeriod = beaconPeriod;
  config.ATIMWindow = 0x11;
  config.DSConfig = 2437000;
  return config;
}

TEST_F(SettingsTest, SettingConfigurationSendsNoMoreThanTheRecord) {
  struct Case {
    ULONG length;
    int result;
    std::optional<std::string> stored;  // "AdhocBeaconPeriod" afterwards
  };
  const Case cases[] = {
      {sizeof(NDIS_802_11_CONFIGURATION), 0, "100"},
      {16, 0, "100"},
      {4, 0, "prior"},  // too short to carry a beacon period
      {sizeof(NDIS_802_11_CONFIGURATION) + 1, 3, "prior"},
      {0xFFFFFFFF, 3, "prior"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Store("AdhocBeaconPeriod", "prior");
    sim->ClearCalls();
    NDIS_802_11_CONFIGURATION config = Configuration(c.length, 100);
    const NDIS_802_11_CONFIGURATION sent = config;
    EXPECT_EQ(HalvexSetConfiguration(adapter, &config), c.result);
    EXPECT_EQ(StoredText("AdhocBeaconPeriod"), c.stored);
    const auto calls = sim->Calls();
    if (c.result != 0) {
      EXPECT_TRUE(calls.empty());
      continue;
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Oid(), static_cast<uint32_t>(OID_802_11_CONFIGURATION));
    EXPECT_EQ(Sent(calls[0], c.length), BytesOf(&sent, c.length));
    EXPECT_EQ(calls[0].inLength, RequestSize(c.length));
  }
}

TEST_F(SettingsTest, SettingConfigurationOutcomes) {
  for (const Outcome& o : kOutcomes) {
    SCOPED_TRACE(o.name);
    Store("AdhocBeaconPeriod", "prior");
    if (o.script) sim->Script(OID_802_11_CONFIGURATION, *o.script);
    NDIS_802_11_CONFIGURATION config = Configuration(sizeof config, 0x20000);
    EXPECT_EQ(HalvexSetConfiguration(o.script ? adapter : kRefusedHandle, &config), o.result);
    EXPECT_EQ(StoredText("AdhocBeaconPeriod"), o.accepted ? "131072" : "prior");
    if (o.script) {
      EXPECT_EQ(config.Length, o.script->status) << "the status word comes back in the first word";
    }
    sim->ClearScript(OID_802_11_CONFIGURATION);
  }
}

TEST_F(SettingsTest, SettingConfigurationProbesTheRecord) {
  // A 16-byte record at the end of readable memory: sent whole, nothing read beyond.
  GuardedBuffer shortRecord(16);
  const NDIS_802_11_CONFIGURATION config = Configuration(16, 50);
  std::memcpy(shortRecord.data(), &config, 16);
  EXPECT_EQ(HalvexSetConfiguration(adapter, reinterpret_cast<NDIS_802_11_CONFIGURATION*>(shortRecord.data())),
            0);
  EXPECT_EQ(StoredText("AdhocBeaconPeriod"), "50");

  // Claiming more than is readable, unreadable, or unable to take the status word back.
  GuardedBuffer tooShort(16);
  const NDIS_802_11_CONFIGURATION claimsMore = Configuration(32, 60);
  std::memcpy(tooShort.data(), &claimsMore, 16);
  GuardedBuffer readOnly(32);
  std::memcpy(readOnly.data(), &config, sizeof config);
  ASSERT_TRUE(readOnly.MakeReadOnly());
  GuardedBuffer unreadable(32);
  ASSERT_TRUE(unreadable.SetAccess(0, 32, GuardedBuffer::Access::kNone));
  sim->ClearCalls();
  for (uint8_t* record :
       {tooShort.data(), readOnly.data(), unreadable.data(), static_cast<uint8_t*>(nullptr)}) {
    EXPECT_EQ(HalvexSetConfiguration(adapter, reinterpret_cast<NDIS_802_11_CONFIGURATION*>(record)), 3);
  }
  EXPECT_TRUE(sim->Calls().empty());
  EXPECT_EQ(StoredText("AdhocBeaconPeriod"), "50");
}

}  // namespace
}  // namespace hx::test
