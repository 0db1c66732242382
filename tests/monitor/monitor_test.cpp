// The event monitor: fetch, walk and dispatch of driver event records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "frame/oids.h"
#include "monitor/monitor.h"
#include "tests/support/fixture.h"

namespace hx::test {
namespace {

using sim::Bytes;

constexpr uint32_t kMarker = 0x20000000;  // passed through: tells the walk got here

class MonitorTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    Open();
  }
  // Injects the records, then a marker, and waits until the marker arrived:
  // the walk is in order, so everything before it has been dispatched.
  void Deliver(const std::vector<std::pair<uint32_t, Bytes>>& records) {
    for (const auto& [code, data] : records) sim->InjectEvent(code, data);
    sim->InjectEvent(kMarker);
    for (;;) {
      const auto codes = recorder.Codes();
      if (std::count(codes.begin(), codes.end(), kMarker) > markers_) break;
      ASSERT_TRUE(recorder.WaitForCount(codes.size() + 1));
    }
    ++markers_;
  }
  long markers_ = 0;
  // The messages the table gives for a code, with no join running.
  static std::vector<uint64_t> Messages(uint32_t code) {
    if ((code <= 5 && code != 2) || code == 8 || code == 9) return {code};
    if ((code & 0xF0000000u) != 0) return {code};
    return {};
  }
  bool Signalled(const UniqueHandle& event) { return WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; }
};

TEST_F(MonitorTest, EachCodeGivesTheMessagesOfTheTable) {
  // Codes for the supplicant toolkit send nothing to the window, nor do
  // unlisted ones; 137 checks security and sends nothing.
  const uint32_t codes[] = {0,   1,   3,   4,   5,          6,          7,          8,
                            9,   10,  11,  131, 132,        133,        134,        135,
                            136, 137, 138, 200, 0x0FFFFFFF, 0x10000000, 0x80000001, 0xF0000009};
  for (uint32_t code : codes) {
    SCOPED_TRACE(code);
    recorder.Clear();
    markers_ = 0;
    Deliver({{code, Bytes(100, 0)}});
    std::vector<uint64_t> expected = Messages(code);
    expected.push_back(kMarker);
    EXPECT_EQ(recorder.Codes(), expected);
  }
}

TEST_F(MonitorTest, SeveralRecordsAreDispatchedInOrder) {
  auto& s = State();
  s.WakingLinkEvent.store(0);  // as a join clears it
  recorder.SetHook([&](const Message& m) {
    if (m.code != 1) return;
    // By the time the window hears of the connect, the scan was already done
    // and the join waiter can read the code that woke it.
    EXPECT_TRUE(Signalled(s.ScanDoneEvent));
    EXPECT_TRUE(Signalled(s.LinkChangeEvent));
    EXPECT_EQ(s.LastLinkEvent.load(), 1u);
    EXPECT_EQ(s.WakingLinkEvent.load(), 0x101u);
  });
  Deliver({{6, {}}, {1, {}}});
  EXPECT_EQ(recorder.Codes(), (std::vector<uint64_t>{1, kMarker}));
  recorder.SetHook(nullptr);
  Deliver({{4, {}}});
  EXPECT_EQ(s.LastLinkEvent.load(), 4u);
  EXPECT_EQ(s.WakingLinkEvent.load(), 0x101u) << "the first code since the slot was cleared stays";
}

TEST_F(MonitorTest, NothingToDoForAnEmptyFetch) {
  sim->InjectRawArea(Bytes(16, 0));
  Deliver({});
  EXPECT_EQ(recorder.Codes(), std::vector<uint64_t>{kMarker});
}

TEST_F(MonitorTest, CodeFiveIsQuietDuringAJoin) {
  State().JoinInProgress.store(1);
  Deliver({{5, {}}});
  EXPECT_EQ(recorder.Codes(), std::vector<uint64_t>{kMarker});
  State().JoinInProgress.store(0);
  recorder.Clear();
  markers_ = 0;
  Deliver({{5, {}}});
  EXPECT_EQ(recorder.Codes(), (std::vector<uint64_t>{5, kMarker}));
}

TEST_F(MonitorTest, EapolSentReleasesOnlyAnAwaitedFrame) {
  auto& s = State();
  const std::pair<uint16_t, bool> cases[] = {{1, false}, {2, true}, {0, false}};
  for (const auto& [state, released] : cases) {
    SCOPED_TRACE(state);
    s.EapolTxState.store(state);
    Deliver({{133, {}}});
    EXPECT_EQ(Signalled(s.EapolSentEvent), released);
    EXPECT_EQ(s.EapolTxState.load(), 0);
  }
}

TEST_F(MonitorTest, PendingReplyIsCopiedWhole) {
  Bytes reply(100);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i);
  Deliver({{7, reply}});
  auto& s = State();
  EXPECT_TRUE(Signalled(s.PendingReplyEvent));
  for (uint32_t i = 0; i < kPendingReplyWords; ++i)
    EXPECT_EQ(s.PendingReply[i].load(), sim::ReadWord(&reply[4 * i]));
}

TEST_F(MonitorTest, AdapterGoneByEventCode) {
  sim->InjectEvent(2);
  ASSERT_TRUE(recorder.WaitForCount(1));
  EXPECT_EQ(recorder.Codes(), std::vector<uint64_t>{2});
  EXPECT_EQ(State().AdapterHandle.load(), nullptr);
}

TEST_F(MonitorTest, NoWindowStillSetsEvents) {
  State().NotifyWindow.store(nullptr);
  sim->InjectEvent(1);
  ASSERT_EQ(WaitForSingleObject(State().LinkChangeEvent.get(), 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(recorder.Messages().empty());
}

// Builds an event area from (NextOffset, Code) pairs after a count.
Bytes Area(uint32_t count, const std::vector<std::pair<uint32_t, uint32_t>>& records, size_t size = 0x4000) {
  Bytes area(size, 0);
  std::memcpy(area.data(), &count, 4);
  size_t offset = 4;
  for (const auto& [next, code] : records) {
    if (offset + 8 > area.size()) break;  // a header past the end is not written
    std::memcpy(area.data() + offset, &next, 4);
    std::memcpy(area.data() + offset + 4, &code, 4);
    offset += next;
  }
  return area;
}

TEST(EventWalk, EndsAtTheFirstMalformedRecordAndPassesOverShortOnes) {
  struct Case {
    const char* name;
    Bytes area;
    std::vector<uint32_t> visited;
  };
  constexpr uint32_t kLastAt = 0x4000 - 8;  // room for exactly one header
  const Case cases[] = {
      {"well formed", Area(3, {{8, 6}, {12, 1}, {0, 4}}), {6, 1, 4}},
      {"NextOffset 0 before the last record", Area(3, {{0, 6}}), {}},
      {"NextOffset shorter than a header", Area(2, {{4, 6}, {8, 1}}), {}},
      {"count beyond the records", Area(0xFFFFFFFF, {{8, 6}, {8, 1}}), {6, 1}},
      {"record running past the area", Area(2, {{8, 6}, {0x5000, 1}}), {6}},
      {"last record exactly at the end", Area(2, {{kLastAt - 4, 6}, {0, 1}}), {6, 1}},
      {"last record one byte too far", Area(2, {{kLastAt - 3, 6}, {0, 1}}), {6}},
      {"pending reply too short", Area(2, {{8, 7}, {8, 1}}), {1}},
      {"each code's least record",
       Area(7, {{108, 7}, {16, 10}, {16, 134}, {12, 132}, {12, 136}, {24, 135}, {8, 1}}),
       {7, 10, 134, 132, 136, 135, 1}},
      {"pending reply one byte short", Area(2, {{107, 7}, {8, 1}}), {1}},
      {"authentication one byte short", Area(2, {{15, 10}, {8, 1}}), {1}},
      {"requests one byte short", Area(2, {{15, 134}, {8, 1}}), {1}},
      {"frame one byte short", Area(2, {{11, 132}, {8, 1}}), {1}},
      {"CCKM block one byte short", Area(2, {{11, 136}, {8, 1}}), {1}},
      {"candidate list one byte short", Area(2, {{23, 135}, {8, 1}}), {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> visited;
    WalkEventRecords(c.area.data(), static_cast<uint32_t>(c.area.size()),
                     [&](const EventRecord& r) { visited.push_back(r.code); });
    EXPECT_EQ(visited, c.visited);
  }
}

TEST_F(MonitorTest, MalformedAreaEndsTheWalkOnly) {
  sim->InjectRawArea(Area(5, {{8, 1}, {0, 4}}));
  ASSERT_TRUE(recorder.WaitForCount(1));
  Deliver({{3, {}}});
  EXPECT_EQ(recorder.Codes(), (std::vector<uint64_t>{1, 3, kMarker}));
}

}  // namespace
}  // namespace hx::test
