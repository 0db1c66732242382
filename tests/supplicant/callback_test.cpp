// The link callback: what each toolkit event does on the adapter, in the
// window and to the supplicant's state words, delivered on the link thread.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

constexpr uint8_t kOwn[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};    // the simulated adapter's
constexpr uint8_t kBssid[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x03};  // its current access point

// A toolkit event in memory as the toolkit lays it out.
struct Event {
  alignas(8) unsigned char bytes[128] = {};
  explicit Event(ULONG type) { Word(4, type); }
  void Word(size_t at, ULONG value) { std::memcpy(bytes + at, &value, 4); }
  void Put(size_t at, const Bytes& b) { std::memcpy(bytes + at, b.data(), b.size()); }
  ULONG ReadWord(size_t at) const { return sim::ReadWord(bytes + at); }
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
Bytes Seq(uint8_t first, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

const Bytes kWepRecord = {0x11, 0, 0, 0, 0x01, 0, 0, 0x80, 0x05, 0, 0, 0, 'A', 'B', 'C', 'D', 'E'};
const Bytes kKeyRecord = Concat({{0x30, 0, 0, 0, 0, 0, 0, 0xC0, 0x10, 0, 0, 0},
                                 Bytes(kBssid, kBssid + 6),
                                 {0, 0, 0, 0, 0, 0},
                                 Seq(1, 8),
                                 Seq(0xA0, 16)});
const Bytes kRemoveKeyRecord = Concat({{0x10, 0, 0, 0, 0x01, 0, 0, 0x40}, Bytes(kBssid, kBssid + 6), {0, 0}});
const Bytes kPmkidRecord = Concat({{0x1E, 0, 0, 0, 0x01, 0, 0, 0}, Bytes(kBssid, kBssid + 6), Seq(0x50, 16)});
const Bytes kEapolBody = {0x01, 0x00, 0x00, 0x05, 0x02, 0x01, 0x00, 0x05, 0x01};
const Bytes kPeer = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};

struct Row {
  const char* name;
  ULONG type;
  std::function<void(Event&)> fill;
  uint32_t stateBefore;  // SupplicantState when the event arrives
  uint32_t ccxMode;
  std::vector<Request> requests;
  std::vector<Message> messages;
  Calls toolkitCalls;
  uint32_t stateAfter;
};

class CallbackTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    // Sent frames and disassociations stay in the log without the world's
    // answers (code 133, code 0) racing the checks.
    sim->Script(OID_HALVEX_EAPOL_TX, sim::Response::SetStatus(0));
    sim->Script(OID_802_11_DISASSOCIATE, sim::Response::SetStatus(0));
  }
  // Bodies and addresses that the frame events point at.
  Bytes body_ = kEapolBody;
  Bytes peer_ = kPeer;
  void PointAtFrame(Event& e, bool destination) {
    auto* frame = reinterpret_cast<ODSTK_EVENT_FRAME*>(e.bytes);
    frame->Destination = destination ? peer_.data() : nullptr;
    frame->Body = body_.data();
    frame->BodyLength = static_cast<ULONG>(body_.size());
  }
};

TEST_F(CallbackTest, EachEventTypeDoesWhatItsRowSays) {
  const Bytes eapolFrame = Concat(
      {{0x17, 0x00, 0x00, 0x00}, Bytes(kBssid, kBssid + 6), Bytes(kOwn, kOwn + 6), {0x88, 0x8E}, kEapolBody});
  const Bytes preauthFrame =
      Concat({{0x17, 0x00, 0x00, 0x00}, kPeer, Bytes(kOwn, kOwn + 6), {0x88, 0xC7}, kEapolBody});
  const Row rows[] = {
      {"3 connected", 3, nullptr, 6, 0, {}, {Text("Connected")}, {}, 3},
      {"4", 4, nullptr, 8, 0, {}, {}, {}, 4},
      {"5 WEP key",
       5,
       [](Event& e) { e.Put(16, kWepRecord); },
       8,
       0,
       {Set(0x0D010113, kWepRecord)},
       {Text("Setting WEP......")},
       {},
       5},
      {"5 WEP key once connected",
       5,
       [](Event& e) { e.Put(16, kWepRecord); },
       3,
       0,
       {Set(0x0D010113, kWepRecord)},
       {},
       {},
       3},
      {"6 key",
       6,
       [](Event& e) { e.Put(24, kKeyRecord); },
       8,
       0,
       {Set(0x0D01011D, kKeyRecord)},
       {Text("Adding key......"), Text("Connected")},
       {},
       6},
      {"6 key once connected",
       6,
       [](Event& e) { e.Put(24, kKeyRecord); },
       3,
       0,
       {Set(0x0D01011D, kKeyRecord)},
       {Text("Connected")},
       {},
       3},
      {"7 remove key",
       7,
       [](Event& e) { e.Put(16, kRemoveKeyRecord); },
       3,
       0,
       {Set(0x0D01011E, kRemoveKeyRecord)},
       {Text("Removing key......")},
       {},
       7},
      {"8 EAPOL", 8, nullptr, 2, 0, {Query(0x0D010101), Set(0xFF01021C, eapolFrame)}, {}, {}, 8},
      {"9 rogue AP, CCX",
       9,
       [](Event& e) { e.Put(20, Seq(0x90, 24)); },
       2,
       1,
       {Set(0xFFCCA002, Seq(0x90, 24))},
       {},
       {},
       2},
      {"9 rogue AP, no CCX", 9, [](Event& e) { e.Put(20, Seq(0x90, 24)); }, 2, 0, {}, {}, {}, 2},
      {"10 report, CCX",
       10,
       [](Event& e) { e.Put(20, Seq(0x60, 6)); },
       2,
       1,
       {Set(0xFFCCA003, Seq(0x60, 6))},
       {},
       {},
       2},
      {"10 report, no CCX", 10, [](Event& e) { e.Put(20, Seq(0x60, 6)); }, 2, 0, {}, {}, {}, 2},
      {"14 certificate", 14, nullptr, 2, 0, {}, {Text("Validate server certificate")}, {}, 14},
      {"30 certificate", 30, nullptr, 2, 0, {}, {Text("Validate server certificate")}, {}, 14},
      {"15 start",
       15,
       nullptr,
       2,
       0,
       {},
       {Text("Start Authentication")},
       {"ODSTK_LINK_SetIdentity(link#1, null)", "ODSTK_LINK_SetSessionResumptionTimeout(link#1, 3600)"},
       15},
      {"16 error",
       16,
       nullptr,
       2,
       0,
       {Set(0x0D010115, {})},
       {Text("Connection Error")},
       {"ODSTK_LINK_PortDown(link#1)"},
       16},
      {"17 auth success",
       17,
       [](Event& e) { e.Put(20, Seq(0x20, 44)); },
       2,
       0,
       {Set(0xFFCCA004, Seq(0x20, 44))},
       {},
       {},
       2},
      {"18 CCKM request",
       18,
       [](Event& e) {
         e.Put(16, {0x44, 0x33, 0x22, 0x11});
         e.Word(20, 5);
         e.Put(24, Seq(0x70, 5));
       },
       2,
       0,
       {Set(0xFFCCA006, Concat({{0x44, 0x33, 0x22, 0x11, 5, 0, 0, 0}, Seq(0x70, 5)}))},
       {},
       {},
       2},
      {"19 CCKM result",
       19,
       [](Event& e) {
         e.Put(16, {0x0D, 0x0C, 0x0B, 0x0A});
       },
       2,
       0,
       {Set(0xFFCCA007, {0x0D, 0x0C, 0x0B, 0x0A})},
       {},
       {},
       2},
      {"20 PMKID",
       20,
       [](Event& e) { e.Put(16, kPmkidRecord); },
       2,
       0,
       {Set(0x0D010123, kPmkidRecord)},
       {},
       {},
       2},
      {"25 pre-authentication", 25, nullptr, 2, 0, {Set(0xFF01021C, preauthFrame)}, {}, {}, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Event e(row.type);
    if (row.fill) row.fill(e);
    if (row.type == 8 || row.type == 25) PointAtFrame(e, row.type == 25);
    e.Word(20, row.type == 14 || row.type == 30 ? 0x77 : e.ReadWord(20));
    Bridge().SupplicantState.store(row.stateBefore);
    Bridge().CcxMode.store(row.ccxMode);
    State().EapolTxState.store(0);
    sim->ClearCalls();
    ODSIM_ClearCalls();
    recorder.Clear();
    Post(e.bytes);
    EXPECT_EQ(Requests(), row.requests);
    EXPECT_EQ(recorder.Messages(), row.messages);
    EXPECT_EQ(odsim::Calls(), row.toolkitCalls);
    EXPECT_EQ(HalvexGetWPASuppStatus(0), static_cast<int>(row.stateAfter));
    if (row.type == 14 || row.type == 30) {
      EXPECT_EQ(e.ReadWord(20), 0u);  // the answer
    }
    if (row.type == 8) {
      EXPECT_EQ(State().EapolTxState.load(), 1);
    }
  }
}

TEST_F(CallbackTest, UnhandledTypesGoToTheToolkitsDefault) {
  for (ULONG type : {0u, 11u, 12u, 21u, 24u, 26u, 29u, 31u, 1000u}) {
    SCOPED_TRACE(type);
    ODSIM_ClearCalls();
    Event e(type);
    Post(e.bytes);
    EXPECT_EQ(odsim::Calls(), Calls{"ODSTK_ProcessCallbackA(type=" + std::to_string(type) + ")"});
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(recorder.Messages().empty());
    EXPECT_EQ(HalvexGetWPASuppStatus(0), 0);
  }
}

TEST_F(CallbackTest, LinkAndAuthStatesAreReportedByTheirTables) {
  struct StateCase {
    ULONG type, state;
    uint32_t linkBefore, authBefore;
    std::vector<Message> messages;
    uint32_t linkAfter, authAfter;
    bool linkTakenDown;
  };
  const uint64_t kTimeout = 0xF0000009u;
  const StateCase cases[] = {
      {1, 1, 7, 0, {Text("[Link]: Idle")}, 1, 0, false},
      {1, 2, 7, 0, {Text("[Link]: Authenticating")}, 2, 0, false},
      {1, 3, 7, 0, {Text("[Link]: Key wait")}, 3, 0, false},
      {1, 4, 7, 0, {Code(1008), Text("Connected")}, 4, 0, false},
      {1, 6, 7, 0, {Code(1008), Text("Connected")}, 6, 0, false},
      {1, 7, 1, 0, {Code(kTimeout), Text("[Link]: Open/Timeout")}, 7, 0, false},
      {1, 0, 3, 0, {Text("[Link]: Unknown")}, 3, 0, false},
      {1, 8, 3, 0, {Text("[Link]: Unknown")}, 3, 0, false},
      {2, 1, 0, 7, {Text("[Auth]: Logoff")}, 0, 1, false},
      {2, 2, 0, 7, {}, 0, 7, false},
      {2, 3, 0, 7, {Text("[Auth]: Authentication failed")}, 0, 3, true},
      {2, 4, 0, 7, {Text("[Auth]: Connected")}, 0, 4, false},
      {2, 5, 0, 7, {Text("[Auth]: Acquired")}, 0, 5, false},
      {2, 6, 0, 7, {Text("[Auth]: Authenticating")}, 0, 6, false},
      {2, 7, 0, 1, {Text("[Auth]: Authenticated")}, 0, 7, false},
      {2, 9, 0, 7, {Text("[Auth]: Unknown")}, 0, 0, false},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.state));
    Bridge().SupplicantLinkState.store(c.linkBefore);
    Bridge().SupplicantAuthState.store(c.authBefore);
    // The link is taken down before the text is sent.
    recorder.SetHook([&](const Message& m) {
      if (m.hasText && c.linkTakenDown) {
        EXPECT_EQ(Requests(), std::vector<Request>{Set(0x0D010115, {})});
        EXPECT_EQ(odsim::Calls(), Calls{"ODSTK_LINK_PortDown(link#1)"});
      }
    });
    sim->ClearCalls();
    ODSIM_ClearCalls();
    recorder.Clear();
    Event e(c.type);
    e.Word(c.type == 1 ? 16 : 20, c.state);
    Post(e.bytes);
    recorder.SetHook(nullptr);
    EXPECT_EQ(recorder.Messages(), c.messages);
    EXPECT_EQ(HalvexGetWPASuppStatus(0), static_cast<int>(c.type));
    EXPECT_EQ(HalvexGetWPASuppStatus(1), static_cast<int>(c.linkAfter));
    EXPECT_EQ(HalvexGetWPASuppStatus(7), static_cast<int>(c.authAfter));
    EXPECT_EQ(Requests().size(), c.linkTakenDown ? 1u : 0u);
  }
}

TEST_F(CallbackTest, FifthKeyWaitInARowTakesTheLinkDown) {
  auto keyWait = [&] {
    Event e(1);
    e.Word(16, 5);
    Post(e.bytes);
  };
  for (int round = 1; round <= 6; ++round) {
    SCOPED_TRACE(round);
    sim->ClearCalls();
    ODSIM_ClearCalls();
    recorder.Clear();
    keyWait();
    EXPECT_EQ(recorder.Messages(), std::vector<Message>{Text("[Link]: Unauthenticated key wait")});
    const bool fifth = round == 5;
    EXPECT_EQ(Requests(), fifth ? std::vector<Request>{Set(0x0D010115, {})} : std::vector<Request>{});
    EXPECT_EQ(odsim::Calls(), fifth ? Calls{"ODSTK_LINK_PortDown(link#1)"} : Calls{});
    EXPECT_EQ(Bridge().KeyWaitCount.load(), fifth ? 0u : static_cast<uint32_t>(round % 5));
  }
  // A connect between reports starts the count again.
  for (int i = 0; i < 4; ++i) keyWait();
  Event connected(3);
  Post(connected.bytes);
  sim->ClearCalls();
  keyWait();
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(Bridge().KeyWaitCount.load(), 1u);
}

TEST_F(CallbackTest, KeyAfterAnEapolFrameWaitsBrieflyForTheDriversSentReport) {
  Event key(6);
  key.Put(24, kKeyRecord);
  // No report comes: the key goes in after the bound, the state stays 2.
  State().EapolTxState.store(1);
  const auto start = std::chrono::steady_clock::now();
  Post(key.bytes);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9));
  EXPECT_EQ(State().EapolTxState.load(), 2);
  EXPECT_EQ(Requests(), std::vector<Request>{Set(0x0D01011D, kKeyRecord)});

  // The report comes while the key waits: it goes in at once, and the event
  // is left reset. (The request left its status word in the first record.)
  key.Put(24, kKeyRecord);
  Bridge().EapolSentWait.store(20000);
  State().EapolTxState.store(1);
  sim->ClearCalls();
  std::thread toolkit([&] { Post(key.bytes); });
  while (State().EapolTxState.load() != 2) std::this_thread::yield();
  const auto reported = std::chrono::steady_clock::now();
  sim->InjectEvent(133);
  toolkit.join();
  EXPECT_LT(std::chrono::steady_clock::now() - reported, std::chrono::milliseconds(10000));
  EXPECT_EQ(State().EapolTxState.load(), 0);
  EXPECT_EQ(Requests(), std::vector<Request>{Set(0x0D01011D, kKeyRecord)});
  EXPECT_NE(WaitForSingleObject(State().EapolSentEvent.get(), 0), WAIT_OBJECT_0);
}

TEST_F(CallbackTest, WhatIsNotSentIsNotAwaited) {
  Event e(18);
  e.Word(20, 0xFFFFFFF9);  // the length would wrap, and no event holds that much
  Post(e.bytes);
  Event body(8);
  auto* frame = reinterpret_cast<ODSTK_EVENT_FRAME*>(body.bytes);
  frame->Body = nullptr;
  frame->BodyLength = 40;
  Post(body.bytes);
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(State().EapolTxState.load(), 0);
  // A frame the driver refuses is not waited for either.
  sim->Script(OID_HALVEX_EAPOL_TX, sim::Response::Fail(sim::kStatusUnsuccessful));
  frame->Body = kEapolBody.data();
  frame->BodyLength = static_cast<ULONG>(kEapolBody.size());
  Post(body.bytes);
  EXPECT_EQ(sim->CallsFor(OID_HALVEX_EAPOL_TX).size(), 1u);
  EXPECT_EQ(State().EapolTxState.load(), 0);
}

}  // namespace
}  // namespace hx::test
