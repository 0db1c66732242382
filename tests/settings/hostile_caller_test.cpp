// Hostile callers: records and output references that cannot be read or
// written are refused with 3 and nothing reaches the driver; records that are
// exactly as long as the call uses are still sent.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "frame/oids.h"
#include "tests/settings/settings_fixture.h"
#include "tests/support/guard_page.h"

namespace hx::test {
namespace {

// What a caller in another language hands over for a reference it has no
// object for. Bound outside the sanitizer's reach (here and where it is
// passed on): the library must cope.
#define HX_BINDS_NULL __attribute__((no_sanitize("undefined")))
template <typename T>
HX_BINDS_NULL T& NullReference() {
  static T* volatile null = nullptr;
  return *null;
}

// Buffers a hostile call points into: `bytes` usable bytes ending at a page
// that cannot be touched, optionally read-only.
class Hostile {
 public:
  uint8_t* EndingAt(size_t bytes) { return Buffer(bytes)->data(); }
  uint8_t* ReadOnly(size_t bytes) { return ReadOnlyHolding(nullptr, bytes); }
  // A read-only copy of `bytes` (fill bytes when null).
  uint8_t* ReadOnlyHolding(const void* bytes, size_t size) {
    GuardedBuffer* b = Buffer(size);
    if (bytes != nullptr) std::memcpy(b->data(), bytes, size);
    EXPECT_TRUE(b->MakeReadOnly());
    return b->data();
  }
  uint8_t* Unreadable() { return Buffer(0)->data(); }

 private:
  GuardedBuffer* Buffer(size_t bytes) {
    buffers_.push_back(std::make_unique<GuardedBuffer>(bytes));
    std::memset(buffers_.back()->data(), 0x11, bytes);
    return buffers_.back().get();
  }
  std::vector<std::unique_ptr<GuardedBuffer>> buffers_;
};

const uint8_t kAddress[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
uint8_t gRecord[256];  // readable and writable

using Call = std::function<int(void* adapter, Hostile& h)>;
struct Case {
  const char* name;
  Call call;
};

const Case kRefused[] = {
    {"AddKey, null record", [](void* a, Hostile&) { return HalvexSetAddKey(a, nullptr, 32); }},
    {"AddKey, unreadable record", [](void* a, Hostile& h) { return HalvexSetAddKey(a, h.Unreadable(), 32); }},
    {"AddKey, record shorter than its length",
     [](void* a, Hostile& h) { return HalvexSetAddKey(a, h.EndingAt(31), 32); }},
    {"AddKey, length 0x10000000", [](void* a, Hostile&) { return HalvexSetAddKey(a, gRecord, 0x10000000); }},
    {"AddKey, read-only record", [](void* a, Hostile& h) { return HalvexSetAddKey(a, h.ReadOnly(32), 32); }},
    {"RemoveKey, null record", [](void* a, Hostile&) { return HalvexSetRemoveKey(a, nullptr, 30); }},
    {"WPAWepKey, null record", [](void* a, Hostile&) { return HalvexSetWPAWepKey(a, nullptr, 28); }},
    {"WPAWepKey, length 0x10000000",
     [](void* a, Hostile&) {
       return HalvexSetWPAWepKey(a, reinterpret_cast<NDIS_802_11_WEP*>(gRecord), 0x10000000);
     }},
    {"PMKID, unreadable record",
     [](void* a, Hostile& h) {
       return HalvexSetPMKID(a, reinterpret_cast<NDIS_802_11_PMKID*>(h.Unreadable()), 32);
     }},
    {"CCXRogueAP, null record", [](void* a, Hostile&) { return HalvexSetFswCCXRogueAP(a, nullptr, 24); }},
    {"CCXReportRogueAPs, 5 of 6 bytes",
     [](void* a, Hostile& h) { return HalvexSetFswCCXReportRogueAPs(a, h.EndingAt(5)); }},
    {"CCXNotifyAuthSuccess, null record",
     [](void* a, Hostile&) { return HalvexSetFswCCXNotifyAuthSuccess(a, nullptr, 44); }},
    {"CCXCCKMRequest, length 0x10000000",
     [](void* a, Hostile&) { return HalvexSetFswCCXCCKMRequest(a, gRecord, 0x10000000); }},
    {"CCXCCKMResult, read-only record",
     [](void* a, Hostile& h) { return HalvexSetFswCCXCCKMResult(a, h.ReadOnly(4), 4); }},
    {"RegionCtrl, null record", [](void* a, Hostile&) { return HalvexSetRegionCtrl(a, nullptr); }},
    {"RegionCtrl, 87 of 88 bytes",
     [](void* a, Hostile& h) {
       return HalvexSetRegionCtrl(a, reinterpret_cast<HALVEX_REGION_CTRL*>(h.EndingAt(87)));
     }},
    {"RegionCtrl, read-only record",
     [](void* a, Hostile& h) {
       return HalvexSetRegionCtrl(a, reinterpret_cast<HALVEX_REGION_CTRL*>(h.ReadOnly(88)));
     }},
    {"EAPOLTx, null body",
     [](void* a, Hostile&) { return HalvexSetEAPOLTx(a, kAddress, kAddress, nullptr, 95); }},
    {"EAPOLTx, body short of its length",
     [](void* a, Hostile& h) { return HalvexSetEAPOLTx(a, kAddress, kAddress, h.EndingAt(94), 95); }},
    {"EAPOLTx, null source",
     [](void* a, Hostile&) { return HalvexSetEAPOLTx(a, nullptr, kAddress, gRecord, 4); }},
    {"PreAuthEAPOLTx, 5-byte destination",
     [](void* a, Hostile& h) { return HalvexSetPreAuthEAPOLTx(a, kAddress, h.EndingAt(5), gRecord, 4); }},
    {"WepKey, null key", [](void* a, Hostile&) { return HalvexSetWepKey(a, 1, nullptr, 13, 1); }},
    {"WepKey, 12 of 13 key bytes",
     [](void* a, Hostile& h) { return HalvexSetWepKey(a, 2, h.EndingAt(12), 13, 0); }},
    {"OpenAdapter, null reference",
     [](void*, Hostile&) HX_BINDS_NULL { return HalvexOpenAdapter(NullReference<void*>()); }},
    {"CloseAdapter, null reference",
     [](void*, Hostile&) HX_BINDS_NULL { return HalvexCloseAdapter(NullReference<void*>()); }},
    {"CloseAdapter, read-only reference",
     [](void* a, Hostile& h) {
       return HalvexCloseAdapter(*reinterpret_cast<void**>(h.ReadOnlyHolding(&a, sizeof a)));
     }},
    {"QueryScanListLength, null count",
     [](void* a, Hostile&)
         HX_BINDS_NULL { return HalvexQueryScanListLength(a, gRecord, 64, NullReference<ULONG>()); }},
    {"QueryAssocInfo, null count",
     [](void* a, Hostile& h)
         HX_BINDS_NULL { return HalvexQueryAssocInfo(a, h.EndingAt(500), NullReference<ULONG>()); }},
    {"QueryRfRegister, null value",
     [](void* a, Hostile&) HX_BINDS_NULL { return HalvexQueryRfRegister(a, 0x10, NullReference<ULONG>()); }},
    {"QueryMacRegister, unwritable value",
     [](void* a, Hostile& h) {
       return HalvexQueryMacRegister(a, 0x10, *reinterpret_cast<ULONG*>(h.Unreadable()));
     }},
    {"QueryRegPowerMode, null value",
     [](void* a, Hostile&) HX_BINDS_NULL { return HalvexQueryRegPowerMode(a, NullReference<ULONG>()); }},
    {"QueryRegistry, null value",
     [](void*, Hostile&)
         HX_BINDS_NULL { return HalvexQueryRegistry("SOFTWARE", "PowerMode", NullReference<ULONG>()); }},
    {"QueryWZCStatusCheck, null answer",
     [](void*, Hostile&) HX_BINDS_NULL { return HalvexQueryWZCStatusCheck(NullReference<int>()); }},
};

class HostileCallerTest : public SettingsTest {
 protected:
  // The requests the calls made: the monitor's event fetches run on their own.
  std::vector<sim::ControlCall> Requests() {
    std::vector<sim::ControlCall> made;
    for (const sim::ControlCall& call : sim->Calls()) {
      if (call.code != IOCTL_OID_QUERY || call.Oid() != OID_HALVEX_EVENT_RECORDS) made.push_back(call);
    }
    return made;
  }
};

TEST_F(HostileCallerTest, RefusedWithThreeAndNothingSent) {
  const auto stored = AllStored();
  for (const Case& c : kRefused) {
    SCOPED_TRACE(c.name);
    Hostile hostile;
    sim->ClearCalls();
    EXPECT_EQ(c.call(adapter, hostile), 3);
    EXPECT_TRUE(Requests().empty()) << "reached the driver";
  }
  EXPECT_EQ(AllStored(), stored) << "nothing stored";
  // The adapter is still the open one: neither refused open nor close touched it.
  ULONG value = 0;
  EXPECT_EQ(HalvexQueryAuthMode(adapter, value), 0);
}

// Records exactly as long as the call uses, read and written up to the guard
// page, and a zero-length record that is never read: all reach the driver.
TEST_F(HostileCallerTest, RecordsEndingAtTheirLengthAreSent) {
  struct Accepted {
    const char* name;
    Call call;
    uint32_t oid;
    uint32_t inLength;
  };
  const Accepted cases[] = {
      {"AddKey", [](void* a, Hostile& h) { return HalvexSetAddKey(a, h.EndingAt(32), 32); },
       OID_802_11_ADD_KEY, 40},
      {"AddKey, empty", [](void* a, Hostile&) { return HalvexSetAddKey(a, nullptr, 0); }, OID_802_11_ADD_KEY,
       8},
      {"CCXCCKMResult, 3 bytes",
       [](void* a, Hostile& h) { return HalvexSetFswCCXCCKMResult(a, h.ReadOnly(3), 3); },
       OID_HALVEX_CCX_CCKM_RESULT, 8},
      {"CCXReportRogueAPs",
       [](void* a, Hostile& h) { return HalvexSetFswCCXReportRogueAPs(a, h.EndingAt(6)); },
       OID_HALVEX_CCX_REPORT_ROGUE_APS, 12},
      {"RegionCtrl",
       [](void* a, Hostile& h) {
         return HalvexSetRegionCtrl(a, reinterpret_cast<HALVEX_REGION_CTRL*>(h.EndingAt(88)));
       },
       OID_HALVEX_REGION_CTRL, 96},
      {"EAPOLTx",
       [](void* a, Hostile& h) {
         return HalvexSetEAPOLTx(a, h.EndingAt(6), h.EndingAt(6), h.EndingAt(95), 95);
       },
       OID_HALVEX_EAPOL_TX, 120},
      {"EAPOLTx, empty body",
       [](void* a, Hostile&) { return HalvexSetEAPOLTx(a, kAddress, kAddress, nullptr, 0); },
       OID_HALVEX_EAPOL_TX, 24},
      {"WepKey", [](void* a, Hostile& h) { return HalvexSetWepKey(a, 1, h.EndingAt(13), 13, 0); },
       OID_802_11_ADD_WEP, 36},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.name);
    Hostile hostile;
    sim->ClearCalls();
    EXPECT_EQ(c.call(adapter, hostile), 0);
    const auto calls = Requests();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Oid(), c.oid);
    EXPECT_EQ(calls[0].inLength, c.inLength);
  }
}

}  // namespace
}  // namespace hx::test
