// The utility's threads, the monitor and the driver's own events on one
// adapter at once: every answer reaches the thread that asked for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "frame/oids.h"
#include "tests/support/fixture.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;

using StressTest = OpenAdapterTest;

TEST_F(StressTest, PendingAnswersAndRegisterReadsWhileEventsArrive) {
  // Register reads come back later with their number + 1; the two thresholds
  // come back later with their own values.
  sim->SetPendingRegisterEcho(true);
  sim->Script(OID_802_11_FRAGMENTATION_THRESHOLD, Response::Pending(PendingReplyFor(2346)));
  sim->Script(OID_802_11_RTS_THRESHOLD, Response::Pending(PendingReplyFor(2347)));

  constexpr int kThreads = 3;
  constexpr int kRounds = 40;
  constexpr int kEvents = 60;
  std::atomic<int> wrong{0};
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        ULONG value = 0;
        const ULONG reg = static_cast<ULONG>(t * 1000 + i);
        bool ok = false;
        switch ((t + i) % 5) {
          case 0:
            ok = HalvexQueryRfRegister(adapter, reg, value) == 0 && value == reg + 1;
            break;
          case 1:
            ok = HalvexQueryBbRegister(adapter, reg, value) == 0 && value == reg + 1;
            break;
          case 2:
            ok = HalvexQueryMacRegister(adapter, reg, value) == 0 && value == reg + 1;
            break;
          case 3:
            ok = HalvexQueryFragThreshold(adapter, value) == 0 && value == 2346;
            break;
          default:
            ok = HalvexQueryRTSThreshold(adapter, value) == 0 && value == 2347;
            break;
        }
        (ok ? answered : wrong).fetch_add(1);
        // A plain query between them shares the channel, not the reply.
        BEACON_STATS beacons{};
        if (HalvexQueryBeaconStatistics(adapter, &beacons) != 0) wrong.fetch_add(1);
      }
    });
  }
  // The driver's own events, interleaved with the replies.
  std::thread driver([&] {
    const uint32_t codes[] = {6, 5, 0x20000000};
    for (int i = 0; i < kEvents; ++i) sim->InjectEvent(codes[i % 3], Bytes(16, static_cast<uint8_t>(i)));
  });
  for (auto& t : threads) t.join();
  driver.join();

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(answered.load(), kThreads * kRounds);
  // Codes 5 and 0x20000000 reach the window, each once per injection, in order.
  ASSERT_TRUE(recorder.WaitForCount(2 * kEvents / 3));
  std::vector<uint64_t> expected;
  for (int i = 0; i < kEvents; ++i) {
    if (i % 3 != 0) expected.push_back(i % 3 == 1 ? 5 : 0x20000000);
  }
  EXPECT_EQ(recorder.Codes(), expected);
  EXPECT_EQ(WaitForSingleObject(State().ScanDoneEvent.get(), 0), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace hx::test
