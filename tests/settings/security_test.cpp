// Security and vendor commands: EAPOL frames byte for byte, records passed
// through, their probes, and the region control record's stored copy.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "frame/channel.h"
#include "frame/oids.h"
#include "tests/settings/settings_fixture.h"
#include "tests/support/guard_page.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;
using sim::WordBytes;

class SecurityCommandTest : public SettingsTest {};

const Bytes kOwnAddress{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const Bytes kPeer{0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};

Bytes Body(size_t length) {
  Bytes body(length);
  for (size_t i = 0; i < length; ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
  return body;
}

using EapolExport = int (*)(void*, const unsigned char*, const unsigned char*, const unsigned char*, ULONG);

TEST_F(SecurityCommandTest, EapolFramesReachTheAdapterByteExact) {
  struct Case {
    const char* name;
    EapolExport send;
    size_t bodyLength;
    uint8_t etherTypeLow;
  };
  const Case cases[] = {
      {"EAPOL", HalvexSetEAPOLTx, 95, 0x8E},
      {"pre-authentication", HalvexSetPreAuthEAPOLTx, 95, 0xC7},
      {"empty body", HalvexSetEAPOLTx, 0, 0x8E},
      {"longest body", HalvexSetPreAuthEAPOLTx, 0xFFFF - 14, 0xC7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim->ClearCalls();
    const Bytes body = Body(c.bodyLength);
    EXPECT_EQ(
        c.send(adapter, kOwnAddress.data(), kPeer.data(), body.data(), static_cast<ULONG>(c.bodyLength)), 0);
    const auto calls = sim->CallsFor(OID_HALVEX_EAPOL_TX);
    ASSERT_EQ(calls.size(), 1u);
    const Bytes frame = Sent(calls[0], c.bodyLength + 18);
    ASSERT_EQ(frame.size(), c.bodyLength + 18);
    EXPECT_EQ(calls[0].inLength, RequestSize(static_cast<ULONG>(c.bodyLength + 18)));
    const size_t frameLength = c.bodyLength + 14;
    EXPECT_EQ(frame[0], static_cast<uint8_t>(frameLength & 0xFF)) << "little-endian frame length";
    EXPECT_EQ(frame[1], static_cast<uint8_t>(frameLength >> 8));
    EXPECT_EQ(Bytes(frame.begin() + 4, frame.begin() + 10), kPeer) << "destination first";
    EXPECT_EQ(Bytes(frame.begin() + 10, frame.begin() + 16), kOwnAddress);
    EXPECT_EQ(frame[16], 0x88);
    EXPECT_EQ(frame[17], c.etherTypeLow);
    EXPECT_EQ(Bytes(frame.begin() + 18, frame.begin() + 18 + c.bodyLength), body);
  }
}

TEST_F(SecurityCommandTest, EapolFrameOutcomes) {
  const Bytes body = Body(10);
  auto send = [&](void* handle, ULONG length) {
    return HalvexSetEAPOLTx(handle, kOwnAddress.data(), kPeer.data(), body.data(), length);
  };
  // A frame longer than its 16-bit length field can say is not sent.
  EXPECT_EQ(send(adapter, 0xFFFF - 13), 1);
  EXPECT_EQ(send(adapter, 0xFFFFFFFF), 1);
  EXPECT_EQ(send(kRefusedHandle, 10), 1);
  EXPECT_TRUE(sim->Calls().empty());
  const std::pair<Response, int> outcomes[] = {{Response::Fail(0xC0000001), 1},
                                               {Response::Fail(0xC0000022), static_cast<int>(0xC0000022)},
                                               {Response::Fail(259), 0}};
  for (const auto& [response, result] : outcomes) {
    sim->Script(OID_HALVEX_EAPOL_TX, response);
    EXPECT_EQ(send(adapter, 10), result);
  }
}

// A pass-through command: sends `record` (its bytes) and returns the result.
using RecordSender = std::function<int(void* adapter, uint8_t* record, ULONG length)>;

struct PassThrough {
  const char* name;
  RecordSender send;
  uint32_t oid;
  std::optional<ULONG> fixedSize;  // none: the caller's length is sent
};

const PassThrough kPassThroughs[] = {
    {"AddKey", [](void* a, uint8_t* r, ULONG n) { return HalvexSetAddKey(a, r, n); }, OID_802_11_ADD_KEY, {}},
    {"RemoveKey",
     [](void* a, uint8_t* r, ULONG n) { return HalvexSetRemoveKey(a, r, n); },
     OID_802_11_REMOVE_KEY,
     {}},
    {"WPAWepKey",
     [](void* a, uint8_t* r, ULONG n) {
       return HalvexSetWPAWepKey(a, reinterpret_cast<NDIS_802_11_WEP*>(r), n);
     },
     OID_802_11_ADD_WEP,
     {}},
    {"PMKID",
     [](void* a, uint8_t* r, ULONG n) {
       return HalvexSetPMKID(a, reinterpret_cast<NDIS_802_11_PMKID*>(r), n);
     },
     OID_802_11_PMKID,
     {}},
    {"CCXRogueAP",
     [](void* a, uint8_t* r, ULONG n) { return HalvexSetFswCCXRogueAP(a, r, n); },
     OID_HALVEX_CCX_ROGUE_AP,
     {}},
    {"CCXReportRogueAPs", [](void* a, uint8_t* r, ULONG) { return HalvexSetFswCCXReportRogueAPs(a, r); },
     OID_HALVEX_CCX_REPORT_ROGUE_APS, 6},
    {"CCXNotifyAuthSuccess",
     [](void* a, uint8_t* r, ULONG n) { return HalvexSetFswCCXNotifyAuthSuccess(a, r, n); },
     OID_HALVEX_CCX_NOTIFY_AUTH_SUCCESS,
     {}},
    {"CCXCCKMRequest",
     [](void* a, uint8_t* r, ULONG n) { return HalvexSetFswCCXCCKMRequest(a, r, n); },
     OID_HALVEX_CCX_CCKM_REQUEST,
     {}},
    {"CCXCCKMResult",
     [](void* a, uint8_t* r, ULONG n) { return HalvexSetFswCCXCCKMResult(a, r, n); },
     OID_HALVEX_CCX_CCKM_RESULT,
     {}},
    {"QSSecurityInfo",
     [](void* a, uint8_t* r, ULONG) {
       return HalvexSetQSSecurityInfo(a, reinterpret_cast<HALVEX_QUICKSETUP_SEC_INFO*>(r));
     },
     OID_HALVEX_QS_SECURITY_INFO, 168},
    {"QSSetupRequest",
     [](void* a, uint8_t* r, ULONG) {
       return HalvexSetQSSetupRequest(a, reinterpret_cast<HALVEX_QUICKSETUP_SETUP_REQ*>(r));
     },
     OID_HALVEX_QS_SETUP_REQUEST, 8},
};

TEST_F(SecurityCommandTest, RecordsPassThroughWithTheirStatusWordBack) {
  for (const PassThrough& p : kPassThroughs) {
    SCOPED_TRACE(p.name);
    sim->ClearCalls();
    const ULONG length = p.fixedSize.value_or(44);
    Bytes record = Body(200);
    const Bytes sent(record.begin(), record.begin() + length);
    // The driver leaves it pending: result 0, and 259 in the record's first word.
    sim->Script(p.oid, Response::SetStatus(259));
    EXPECT_EQ(p.send(adapter, record.data(), length), 0);
    const auto calls = sim->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Oid(), p.oid);
    EXPECT_EQ(calls[0].inLength, RequestSize(length));
    EXPECT_EQ(Sent(calls[0], length), sent);
    Bytes afterwards = Body(200);
    std::memcpy(afterwards.data(), WordBytes(259).data(), 4);
    EXPECT_EQ(record, afterwards) << "only the first word changed";

    sim->Script(p.oid, Response::Fail(0xC0000001));
    EXPECT_EQ(p.send(adapter, record.data(), length), 1);
    sim->Script(p.oid, Response::Fail(0xC000009A));
    EXPECT_EQ(p.send(adapter, record.data(), length), static_cast<int>(0xC000009A));
    sim->ClearScript(p.oid);
    sim->ClearCalls();
    EXPECT_EQ(p.send(kRefusedHandle, record.data(), length), 1);
    EXPECT_TRUE(sim->Calls().empty());
  }
}

TEST_F(SecurityCommandTest, QuickSetupRecordsAreProbed) {
  struct Case {
    const char* name;
    size_t size;
    std::function<int(uint8_t*)> send;
  };
  const Case cases[] = {
      {"security info", 168,
       [&](uint8_t* r) {
         return HalvexSetQSSecurityInfo(adapter, reinterpret_cast<HALVEX_QUICKSETUP_SEC_INFO*>(r));
       }},
      {"setup request", 8,
       [&](uint8_t* r) {
         return HalvexSetQSSetupRequest(adapter, reinterpret_cast<HALVEX_QUICKSETUP_SETUP_REQ*>(r));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer shortRecord(c.size - 4);  // readable, but short of the record
    GuardedBuffer readOnly(c.size);         // the status word cannot come back
    ASSERT_TRUE(readOnly.MakeReadOnly());
    GuardedBuffer whole(c.size);  // exactly the record: accepted
    sim->ClearCalls();
    EXPECT_EQ(c.send(shortRecord.data()), 3);
    EXPECT_EQ(c.send(readOnly.data()), 3);
    EXPECT_EQ(c.send(nullptr), 3);
    EXPECT_TRUE(sim->Calls().empty());
    EXPECT_EQ(c.send(whole.data()), 0);
    EXPECT_EQ(sim->Calls().size(), 1u);
  }
}

TEST_F(SecurityCommandTest, ValueCommands) {
  struct Case {
    const char* name;
    std::function<int(void*, ULONG)> send;
    uint32_t oid;
    bool hasPayload;
  };
  const Case cases[] = {
      {"CCXConfiguration", HalvexSetFswCCXConfiguration, OID_HALVEX_CCX_CONFIGURATION, true},
      {"CCXNetworkEap", HalvexSetFswCCXNetworkEap, OID_HALVEX_CCX_NETWORK_EAP, true},
      {"GUIMonitorMode", HalvexSetGUIMonitorMode, OID_HALVEX_GUI_MONITOR_MODE, true},
      {"RadarDetected", [](void* a, ULONG) { return HalvexRadarDetected(a); }, OID_HALVEX_RADAR_DETECTED,
       false},
  };
  const auto before = AllStored();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim->ClearCalls();
    EXPECT_EQ(c.send(adapter, 0x01020304), 0);
    const auto calls = sim->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Oid(), c.oid);
    if (c.hasPayload) {
      EXPECT_EQ(Sent(calls[0], 4), WordBytes(0x01020304));
    }
    EXPECT_EQ(calls[0].inLength, c.hasPayload ? 12u : 8u);
    sim->Script(c.oid, Response::Fail(0xC0000001));
    EXPECT_EQ(c.send(adapter, 1), 1);
    EXPECT_EQ(c.send(kRefusedHandle, 1), 1);
    sim->ClearScript(c.oid);
  }
  EXPECT_EQ(AllStored(), before) << "nothing is stored";
}

HALVEX_REGION_CTRL RegionRecord() {
  HALVEX_REGION_CTRL ctrl{};
  ctrl.RegionCode = 0x30;
  ctrl.Flags = 0x7;
  for (size_t i = 0; i < sizeof ctrl.Channels; ++i) ctrl.Channels[i] = static_cast<UCHAR>(i + 1);
  return ctrl;
}

TEST_F(SecurityCommandTest, RegionControlStoresTheRecordAsPassed) {
  const HALVEX_REGION_CTRL asPassed = RegionRecord();
  Bytes expected = BytesOf(&asPassed, sizeof asPassed);
  expected.push_back(0);  // the platform ends REG_SZ data with a NUL
  for (const Response& accepted : {Response::SetStatus(0), Response::SetStatus(259), Response::Fail(259)}) {
    Store("RegionCodeCtrl", "prior");
    sim->ClearCalls();
    sim->Script(OID_HALVEX_REGION_CTRL, accepted);
    HALVEX_REGION_CTRL ctrl = asPassed;
    EXPECT_EQ(HalvexSetRegionCtrl(adapter, &ctrl), 0);
    EXPECT_EQ(ctrl.RegionCode, accepted.status) << "the caller's record took the status word";
    EXPECT_EQ(StoredBytes("RegionCodeCtrl"), expected);
    const auto calls = sim->CallsFor(OID_HALVEX_REGION_CTRL);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].inLength, 96u);
    EXPECT_EQ(Sent(calls[0], sizeof asPassed), BytesOf(&asPassed, sizeof asPassed));
  }
}

TEST_F(SecurityCommandTest, RegionControlReportsRefusals) {
  const std::pair<std::optional<Response>, int> cases[] = {
      {Response::Fail(0xC0000001), 1},
      {Response::Fail(0xC0000010), static_cast<int>(0xC0000010)},
      {std::nullopt, 1},  // refused handle
  };
  for (const auto& [script, result] : cases) {
    Store("RegionCodeCtrl", "prior");
    if (script) sim->Script(OID_HALVEX_REGION_CTRL, *script);
    HALVEX_REGION_CTRL ctrl = RegionRecord();
    EXPECT_EQ(HalvexSetRegionCtrl(script ? adapter : kRefusedHandle, &ctrl), result);
    EXPECT_EQ(StoredText("RegionCodeCtrl"), "prior");
  }
}

}  // namespace
}  // namespace hx::test
