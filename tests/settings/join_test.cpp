// Joins: the request record, the decision on the driver's status word and the
// first connection event, commit or roll-back of the stored settings, and
// disassociation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <string>
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
using Values = std::map<std::string, std::string>;

constexpr uint32_t kUnsuccessful = 0xC0000001;
constexpr uint32_t kOtherError = 0xC0010017;
void* const kStaleHandle = reinterpret_cast<void*>(uintptr_t{0x999});

struct JoinForm {
  const char* name;
  uint32_t oid;
  int (*run)(void* adapter, char* ssid, ULONG length);
};

const JoinForm kForms[] = {
    {"3 arguments", OID_802_11_SSID, [](void* a, char* s, ULONG n) { return HalvexSetSsid(a, s, n); }},
    {"selector 0", OID_802_11_SSID, [](void* a, char* s, ULONG n) { return HalvexSetSsid(a, s, n, 0); }},
    {"selector 7", OID_HALVEX_SSID, [](void* a, char* s, ULONG n) { return HalvexSetSsid(a, s, n, 7); }},
};

int Join(const JoinForm& form, std::string ssid, void* handle) {
  return form.run(handle, ssid.data(), static_cast<ULONG>(ssid.size()));
}

// Settings of a good connection; what the utility changed since; and what a
// roll-back must leave (an infrastructure network leaves no channel pinned).
const Values kGood = {{"ProfileName", "Home"}, {"AuthMode", "0"}, {"WepStatus", "1"},  {"NetworkMode", "1"},
                      {"Wireless Mode", "2"},  {"TxWepKey", "0"}, {"WepKeySize", "5"}, {"WepKey1", "abcde"}};
const Values kChangedSince = {{"ProfileName", "Other"}, {"DesiredSSID", "Elsewhere"}, {"AuthMode", "1"},
                              {"WepStatus", "0"},       {"NetworkMode", "0"},         {"Wireless Mode", "3"},
                              {"TxWepKey", "2"},        {"WepKey1", "vwxyz"},         {"Channel", "13"}};
const Values kRolledBack = {{"ProfileName", "Home"}, {"DesiredSSID", "HalvexOpen"}, {"AuthMode", "0"},
                            {"WepStatus", "1"},      {"NetworkMode", "1"},          {"Wireless Mode", "2"},
                            {"TxWepKey", "0"},       {"WepKey1", "abcde"},          {"Channel", "0"}};

class JoinTest : public StoredSettingsTest {
 protected:
  void TearDown() override {
    sim->OnRequest(nullptr);
    StoredSettingsTest::TearDown();
  }

  void ExpectStored(const Values& values) {
    for (const auto& [name, text] : values) EXPECT_EQ(StoredText(name.c_str()), text) << name;
  }

  // Joins a good network (the snapshot now holds kGood), then changes the
  // stored settings as the utility would before its next join.
  void JoinGoodNetworkThenChange() {
    StoreAll(kGood);
    ASSERT_EQ(Join(kForms[0], "HalvexOpen", adapter), 0);
    StoreAll(kChangedSince);
  }

  // The driver reports connection events as soon as the join's request
  // arrives; the library's state at that moment is kept.
  // `straddling`: each code is reported as by a monitor that found the
  // waking-code slot taken just before the join cleared it, and sets the
  // event just after the join reset it: only the last code is stored.
  void ReportAtRequest(uint32_t oid, std::vector<uint32_t> codes, bool straddling = false) {
    sim->OnRequest([this, oid, codes, straddling](uint32_t arrived) {
      if (arrived != oid) return;
      joinInProgressAtRequest = State().JoinInProgress.load();
      linkEventSignalledAtRequest = WaitForSingleObject(State().LinkChangeEvent.get(), 0) == WAIT_OBJECT_0;
      wakingCodeAtRequest = State().WakingLinkEvent.load();
      for (uint32_t code : codes) {
        if (!straddling) {
          sim->InjectEvent(code);
          continue;
        }
        State().LastLinkEvent.store(code);
        SetEvent(State().LinkChangeEvent.get());
      }
    });
  }

  // Waits until the monitor has dispatched every event reported so far, so
  // none of them lands in the next join.
  void Drain() {
    constexpr uint32_t kMarker = 0xF0000001;
    recorder.Clear();
    sim->InjectEvent(kMarker);
    for (size_t count = 1; count < 16; ++count) {
      ASSERT_TRUE(recorder.WaitForCount(count));
      if (recorder.Codes().back() == kMarker) break;
    }
    recorder.Clear();
  }

  std::atomic<uint32_t> joinInProgressAtRequest{0};
  std::atomic<bool> linkEventSignalledAtRequest{true};
  std::atomic<uint32_t> wakingCodeAtRequest{0};
};

TEST_F(JoinTest, RecordCarriesTheSsidAndItsLength) {
  for (const JoinForm& form : kForms) {
    for (size_t length : {0u, 5u, 32u}) {
      SCOPED_TRACE(std::string(form.name) + ", length " + std::to_string(length));
      sim->Script(form.oid, Response::SetStatus(0));
      sim->ClearCalls();
      std::string ssid;
      for (size_t i = 0; i < length; ++i) ssid.push_back(static_cast<char>('A' + i));
      EXPECT_EQ(Join(form, ssid, adapter), 0);
      const auto calls = sim->CallsFor(form.oid);
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].inLength, RequestSize(sizeof(NDIS_802_11_SSID)));
      Bytes expected(sizeof(NDIS_802_11_SSID), 0);
      expected[0] = static_cast<uint8_t>(length);
      std::copy(ssid.begin(), ssid.end(), expected.begin() + 4);
      const Bytes payload = calls[0].Payload();
      EXPECT_EQ(Bytes(payload.begin(), payload.begin() + sizeof(NDIS_802_11_SSID)), expected);
      sim->ClearScript(form.oid);
    }
  }
}

TEST_F(JoinTest, StatusWordAndFirstConnectionEventCommitOrRollBack) {
  ASSERT_NO_FATAL_FAILURE(JoinGoodNetworkThenChange());
  GuardedBuffer unreadable(4);
  ASSERT_TRUE(unreadable.ok());
  struct Case {
    const char* name;
    std::optional<Response> script;  // none: the radio world answers
    std::vector<uint32_t> events;    // reported as the request arrives
    std::string ssid;
    bool ownHandle;
    int result;
    char* raw = nullptr;      // sent instead of `ssid`, with 5 as its length
    bool straddling = false;  // see ReportAtRequest
  } cases[] = {
      {"taken at once", Response::SetStatus(0), {}, "Anything", true, 0},
      {"taken at once, 32 bytes", Response::SetStatus(0), {}, std::string(32, 'S'), true, 0},
      {"pending, then connected", std::nullopt, {}, "HalvexOpen", true, 0},
      {"pending, then roamed", Response::SetStatus(259), {3}, "HalvexOpen", true, 0},
      {"pending, then no network", std::nullopt, {}, "Nowhere", true, 1},
      {"pending, then disconnected", Response::SetStatus(259), {0}, "HalvexOpen", true, 1},
      {"pending, then link lost", Response::SetStatus(259), {4}, "HalvexOpen", true, 1},
      // The first code decides, though the second may be in before the join looks.
      {"pending, then disconnected and connected", Response::SetStatus(259), {0, 1}, "HalvexOpen", true, 1},
      // The event is set after the reset, its code only stored as the last.
      {"pending, then connected across the reset",
       Response::SetStatus(259),
       {1},
       "HalvexOpen",
       true,
       0,
       nullptr,
       true},
      {"pending, then disconnected across the reset",
       Response::SetStatus(259),
       {0},
       "HalvexOpen",
       true,
       1,
       nullptr,
       true},
      {"another status word", Response::SetStatus(kOtherError), {}, "HalvexOpen", true, 1},
      {"failed with another status", Response::Fail(kOtherError), {}, "HalvexOpen", true, 1},
      {"STATUS_UNSUCCESSFUL", Response::Fail(kUnsuccessful), {}, "HalvexOpen", true, 1},
      {"refused handle", std::nullopt, {}, "HalvexOpen", false, 1},
      // Nothing reached the driver: the length still in the status word's
      // place reads as "taken at once" for an empty SSID.
      {"refused handle, empty SSID", std::nullopt, {}, "", false, 1},
      {"length 33", std::nullopt, {}, std::string(33, 'L'), true, 3},
      {"SSID not readable", std::nullopt, {}, "", true, 3, reinterpret_cast<char*>(unreadable.data())},
  };
  for (const Case& c : cases) {
    for (const JoinForm& form : kForms) {
      SCOPED_TRACE(std::string(c.name) + ", " + form.name);
      if (c.script) sim->Script(form.oid, *c.script);
      sim->ClearCalls();
      ReportAtRequest(form.oid, c.events, c.straddling);
      // Left over from before: must not count.
      SetEvent(State().LinkChangeEvent.get());
      State().WakingLinkEvent.store(0x101);  // "connected", taken by an earlier join's event
      void* const handle = c.ownHandle ? adapter : kStaleHandle;
      EXPECT_EQ(c.raw != nullptr ? form.run(handle, c.raw, 5) : Join(form, c.ssid, handle), c.result);
      EXPECT_EQ(State().JoinInProgress.load(), 0u);
      const bool sent = c.ownHandle && c.result != 3;
      EXPECT_EQ(sim->CallsFor(form.oid).size(), sent ? 1u : 0u);
      if (sent) {
        EXPECT_EQ(joinInProgressAtRequest.load(), 1u);
        EXPECT_FALSE(linkEventSignalledAtRequest.load()) << "reset before the request";
        EXPECT_EQ(wakingCodeAtRequest.load(), 0u) << "cleared before the request";
      }
      sim->ClearScript(form.oid);
      sim->OnRequest(nullptr);
      ASSERT_NO_FATAL_FAILURE(Drain());
      if (c.result == 0) {
        EXPECT_EQ(StoredText("DesiredSSID"), c.ssid);
        ASSERT_NO_FATAL_FAILURE(JoinGoodNetworkThenChange());
      } else {
        ExpectStored(kRolledBack);
        StoreAll(kChangedSince);
      }
    }
  }
}

TEST_F(JoinTest, NoConnectionEventWithinTheBound) {
  ASSERT_NO_FATAL_FAILURE(JoinGoodNetworkThenChange());
  sim->Script(OID_802_11_SSID, Response::PendingForever());
  const auto start = Clock::now();
  EXPECT_EQ(Join(kForms[0], "HalvexOpen", adapter), 4);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(8000));
  EXPECT_LT(elapsed, milliseconds(11000));
  EXPECT_EQ(State().JoinInProgress.load(), 0u);
  ExpectStored(kRolledBack);
}

TEST_F(JoinTest, FailedWaitIsNoConnection) {
  ASSERT_NO_FATAL_FAILURE(JoinGoodNetworkThenChange());
  // The word still says "connected" from the last link; no event can come.
  State().LinkChangeEvent.reset();
  sim->Script(OID_802_11_SSID, Response::SetStatus(259));
  EXPECT_EQ(Join(kForms[0], "HalvexOpen", adapter), 1);
  ExpectStored(kRolledBack);
  // No turn to be had either: nothing reaches the driver, and the settings
  // still go back.
  StoreAll(kChangedSince);
  State().JoinTurnEvent.reset();
  sim->ClearCalls();
  EXPECT_EQ(Join(kForms[0], "HalvexOpen", adapter), 1);
  EXPECT_TRUE(sim->CallsFor(OID_802_11_SSID).empty());
  ExpectStored(kRolledBack);
}

TEST_F(JoinTest, MediaSpecificEventIsSilentDuringAJoin) {
  sim->Script(OID_802_11_SSID, Response::SetStatus(259));
  ReportAtRequest(OID_802_11_SSID, {5, 1});
  EXPECT_EQ(Join(kForms[0], "HalvexOpen", adapter), 0);
  ASSERT_TRUE(recorder.WaitForCount(1));
  sim->InjectEvent(5);
  ASSERT_TRUE(recorder.WaitForCount(2));
  EXPECT_EQ(recorder.Codes(), (std::vector<uint64_t>{1, 5}));
}

TEST_F(JoinTest, ConcurrentJoinsEachGetTheirOwnOutcome) {
  // They share the link event: run side by side, each must still decide on
  // the event its own request caused. Slow associations keep both in flight.
  sim->SetDelays(milliseconds(20), milliseconds(30));
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    auto joined = std::async(std::launch::async, [&] { return Join(kForms[0], "HalvexOpen", adapter); });
    auto absent = std::async(std::launch::async, [&] { return Join(kForms[0], "Nowhere", adapter); });
    EXPECT_EQ(joined.get(), 0);
    EXPECT_EQ(absent.get(), 1);
  }
}

TEST_F(JoinTest, DisassociateReportsOnlyARefusal) {
  struct Case {
    const char* name;
    std::optional<Response> script;
    bool ownHandle;
    int result;
  } cases[] = {
      {"accepted", std::nullopt, true, 0},
      {"another status word", Response::SetStatus(kOtherError), true, 0},
      {"failed with another status", Response::Fail(kOtherError), true, 0},
      {"STATUS_UNSUCCESSFUL", Response::Fail(kUnsuccessful), true, 1},
      {"refused handle", std::nullopt, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.script) sim->Script(OID_802_11_DISASSOCIATE, *c.script);
    sim->ClearCalls();
    SetEvent(State().ScanDoneEvent.get());
    EXPECT_EQ(HalvexSetDisassociate(c.ownHandle ? adapter : kStaleHandle), c.result);
    EXPECT_EQ(WaitForSingleObject(State().ScanDoneEvent.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    const auto calls = sim->CallsFor(OID_802_11_DISASSOCIATE);
    ASSERT_EQ(calls.size(), c.ownHandle ? 1u : 0u);
    if (c.ownHandle) {
      EXPECT_EQ(calls[0].inLength, 8u);
    }
    sim->ClearScript(OID_802_11_DISASSOCIATE);
  }
  // The first, accepted, left the network the adapter was on.
  ASSERT_TRUE(recorder.WaitForCount(1));
  EXPECT_EQ(recorder.Codes(), std::vector<uint64_t>{0});
}

}  // namespace
}  // namespace hx::test
