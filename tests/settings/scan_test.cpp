// Scans: refused at once, completed by the driver's scan-done event, or ended
// by the 5000 ms bound, each form with its own result rule.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <vector>

#include "frame/channel.h"
#include "frame/oids.h"
#include "tests/support/guard_page.h"
#include "tests/support/stored_settings.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kUnsuccessful = 0xC0000001;
constexpr uint32_t kOtherError = 0xC0010017;
// Well under the 5000 ms bound: the scan did not wait for it.
constexpr milliseconds kNoWait{2000};

struct ScanForm {
  const char* name;
  uint32_t oid;
  ULONG recordSize;  // 0: the general scan, no record
  bool withMode;
  int lateResult;  // the result when the 5000 ms run out
  int (*run)(void* adapter, void* record, ULONG mode);
};

const ScanForm kForms[] = {
    {"Scan", OID_802_11_BSSID_LIST_SCAN, 0, false, 0, [](void* a, void*, ULONG) { return HalvexScan(a); }},
    {"Scan with mode", OID_802_11_BSSID_LIST_SCAN, 0, true, 0,
     [](void* a, void*, ULONG m) { return HalvexScan(a, m); }},
    {"SsidScan", OID_HALVEX_SSID_SCAN, 50, false, 1,
     [](void* a, void* r, ULONG) { return HalvexSsidScan(a, static_cast<HALVEX_SSID_SCAN*>(r)); }},
    {"SsidScan with mode", OID_HALVEX_SSID_SCAN, 50, true, 1,
     [](void* a, void* r, ULONG m) { return HalvexSsidScan(a, static_cast<HALVEX_SSID_SCAN*>(r), m); }},
    {"BssidScan", OID_HALVEX_BSSID_SCAN, 20, false, 0,
     [](void* a, void* r, ULONG) { return HalvexBssidScan(a, static_cast<HALVEX_BSSID_SCAN*>(r)); }},
    {"BssidScan with mode", OID_HALVEX_BSSID_SCAN, 20, true, 0,
     [](void* a, void* r, ULONG m) { return HalvexBssidScan(a, static_cast<HALVEX_BSSID_SCAN*>(r), m); }},
};

// A record whose every byte differs, so a shifted or partial copy shows.
Bytes Record(size_t size) {
  Bytes record(size);
  for (size_t i = 0; i < size; ++i) record[i] = static_cast<uint8_t>(0xA0 + i);
  return record;
}

struct Timed {
  int result;
  milliseconds elapsed;
};

Timed RunTimed(const ScanForm& form, void* adapter, void* record, ULONG mode) {
  const auto start = Clock::now();
  const int result = form.run(adapter, record, mode);
  return {result, std::chrono::duration_cast<milliseconds>(Clock::now() - start)};
}

class ScanTest : public StoredSettingsTest {
 protected:
  // Every set request that reached the driver, by OID, in order.
  std::vector<uint32_t> SetOids() {
    std::vector<uint32_t> oids;
    for (const auto& call : sim->Calls()) {
      if (call.code == IOCTL_OID_SET) oids.push_back(call.Oid());
    }
    return oids;
  }
};

TEST_F(ScanTest, RefusedRequestReturnsOneWithoutWaiting) {
  void* const stale = reinterpret_cast<void*>(uintptr_t{0x999});
  struct Case {
    const char* name;
    bool ownHandle;
    void* handle;
    std::optional<Response> script;
  } cases[] = {
      {"null handle", false, nullptr, std::nullopt},
      {"invalid handle", false, INVALID_HANDLE_VALUE, std::nullopt},
      {"not the open adapter", false, stale, std::nullopt},
      {"STATUS_UNSUCCESSFUL", true, nullptr, Response::Fail(kUnsuccessful)},
  };
  for (const Case& c : cases) {
    for (const ScanForm& form : kForms) {
      SCOPED_TRACE(std::string(c.name) + ", " + form.name);
      sim->ClearCalls();
      if (c.script) sim->Script(form.oid, *c.script);
      Bytes record = Record(form.recordSize);
      const Timed t = RunTimed(form, c.ownHandle ? adapter : c.handle, record.data(), 0);
      EXPECT_EQ(t.result, 1);
      EXPECT_LT(t.elapsed, kNoWait);
      // A refused handle reaches the driver with neither the mode nor the scan.
      EXPECT_EQ(sim->CallsFor(form.oid).size(), c.ownHandle ? 1u : 0u);
      if (!c.ownHandle) {
        EXPECT_TRUE(sim->Calls().empty());
      }
      sim->ClearScript(form.oid);
    }
  }
}

TEST_F(ScanTest, CompletesOnTheScanDoneEventWithTheRecordSentInPlace) {
  std::atomic<bool> signalledAtRequest{true};
  sim->OnRequest([&](uint32_t oid) {
    if (oid == OID_802_11_BSSID_LIST_SCAN || oid == OID_HALVEX_SSID_SCAN || oid == OID_HALVEX_BSSID_SCAN)
      signalledAtRequest = WaitForSingleObject(State().ScanDoneEvent.get(), 0) == WAIT_OBJECT_0;
  });
  for (const ScanForm& form : kForms) {
    SCOPED_TRACE(form.name);
    sim->ClearCalls();
    // A completion left from before must not end this scan's wait.
    SetEvent(State().ScanDoneEvent.get());
    const Bytes sent = Record(form.recordSize);
    Bytes record = sent;
    const ULONG mode = form.withMode ? 0 : 1;  // ad hoc for the mode forms
    const Timed t = RunTimed(form, adapter, record.data(), mode);
    EXPECT_EQ(t.result, 0);
    EXPECT_LT(t.elapsed, kNoWait);
    EXPECT_FALSE(signalledAtRequest) << "reset before the request";

    const auto calls = sim->CallsFor(form.oid);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].inLength, RequestSize(form.recordSize));
    const Bytes payload = calls[0].Payload();
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + form.recordSize), sent);
    if (form.recordSize != 0) {
      // The directed scans are answered pending; the word lands in the record.
      EXPECT_EQ(sim::ReadWord(record.data()), 259u);
      EXPECT_EQ(Bytes(record.begin() + 4, record.end()), Bytes(sent.begin() + 4, sent.end()));
    }
    if (form.withMode) {
      EXPECT_EQ(SetOids(), (std::vector<uint32_t>{OID_802_11_INFRASTRUCTURE_MODE, form.oid}));
      EXPECT_EQ(sim->CallsFor(OID_802_11_INFRASTRUCTURE_MODE)[0].Payload()[0], 0);
      EXPECT_EQ(sim->Word(OID_802_11_INFRASTRUCTURE_MODE), 0u) << "the adapter stays in the new mode";
      sim->SetWord(OID_802_11_INFRASTRUCTURE_MODE, 1);
    } else {
      EXPECT_EQ(SetOids(), std::vector<uint32_t>{form.oid});
    }
  }
  sim->OnRequest(nullptr);
}

TEST_F(ScanTest, EachFormsRuleWhenTheBoundRunsOut) {
  // No scan-done event ever comes. The forms run side by side, so the suite
  // pays the 5000 ms once; they share the event, which nobody sets.
  struct Script {
    uint32_t oid;
    Response response;
    uint32_t statusWord;
  } scripts[] = {
      {OID_802_11_BSSID_LIST_SCAN, Response::PendingForever(), 259},
      // A driver error other than STATUS_UNSUCCESSFUL counts as a started scan.
      {OID_HALVEX_SSID_SCAN, Response::Fail(kOtherError), kOtherError},
      {OID_HALVEX_BSSID_SCAN, Response::SetStatus(kOtherError), kOtherError},
  };
  for (const Script& s : scripts) sim->Script(s.oid, s.response);

  std::vector<Bytes> records;
  for (const ScanForm& form : kForms) records.push_back(Record(form.recordSize));
  std::vector<std::future<Timed>> running;
  for (size_t i = 0; i < std::size(kForms); ++i) {
    running.push_back(std::async(std::launch::async, RunTimed, kForms[i], adapter, records[i].data(), 1));
  }
  for (size_t i = 0; i < std::size(kForms); ++i) {
    const ScanForm& form = kForms[i];
    SCOPED_TRACE(form.name);
    const Timed t = running[i].get();
    EXPECT_EQ(t.result, form.lateResult);
    EXPECT_GE(t.elapsed, milliseconds(5000));
    EXPECT_LT(t.elapsed, milliseconds(8000));
    for (const Script& s : scripts) {
      if (s.oid == form.oid && form.recordSize != 0) {
        EXPECT_EQ(sim::ReadWord(records[i].data()), s.statusWord);
      }
    }
  }
}

TEST_F(ScanTest, UnusableRecordSendsNothingAndKeepsTheMode) {
  for (const ScanForm& form : kForms) {
    if (form.recordSize == 0) continue;
    SCOPED_TRACE(form.name);
    GuardedBuffer shortRecord(form.recordSize - 1);
    GuardedBuffer readOnly(form.recordSize);
    ASSERT_TRUE(shortRecord.ok() && readOnly.ok());
    // Readable but not writable: the status word could not be copied back.
    ASSERT_TRUE(readOnly.MakeReadOnly());
    for (void* record : {static_cast<void*>(nullptr), static_cast<void*>(shortRecord.data()),
                         static_cast<void*>(readOnly.data())}) {
      EXPECT_EQ(form.run(adapter, record, 0), 3);
    }
  }
  EXPECT_TRUE(sim->Calls().empty());
}

TEST_F(ScanTest, FailedWaitIsNoCompletion) {
  // Without its event the SSID scan cannot have seen a completion.
  State().ScanDoneEvent.reset();
  HALVEX_SSID_SCAN ssidScan{};
  HALVEX_BSSID_SCAN bssidScan{};
  EXPECT_EQ(HalvexSsidScan(adapter, &ssidScan), 1);
  EXPECT_EQ(HalvexBssidScan(adapter, &bssidScan), 0);
  EXPECT_EQ(HalvexScan(adapter), 0);
}

TEST_F(ScanTest, ModeIsStoredOnlyWhenTheDriverTakesItAndTheScanRunsAnyway) {
  Store("NetworkMode", "1");
  EXPECT_EQ(HalvexScan(adapter, 0), 0);
  EXPECT_EQ(StoredText("NetworkMode"), "0");
  sim->Script(OID_802_11_INFRASTRUCTURE_MODE, Response::Fail(kUnsuccessful));
  for (const ScanForm& form : kForms) {
    if (!form.withMode) continue;
    SCOPED_TRACE(form.name);
    sim->ClearCalls();
    Bytes record = Record(form.recordSize);
    const Timed t = RunTimed(form, adapter, record.data(), 1);
    EXPECT_EQ(t.result, 0);
    EXPECT_LT(t.elapsed, kNoWait);
    EXPECT_EQ(SetOids(), (std::vector<uint32_t>{OID_802_11_INFRASTRUCTURE_MODE, form.oid}));
    EXPECT_EQ(sim->Word(OID_802_11_INFRASTRUCTURE_MODE), 0u) << "the adapter keeps its mode";
    EXPECT_EQ(StoredText("NetworkMode"), "0");
  }
}

}  // namespace
}  // namespace hx::test
