// Everything at once, for a fixed count of rounds: a utility thread joining,
// scanning and asking, a thread writing settings, the driver reporting every
// kind of event at full rate (bursts that fill the area), and a detach and
// attach under that traffic. Every call keeps its bound; every record the
// driver hands over reaches the window exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "frame/oids.h"
#include "tests/support/fixture.h"

namespace hx::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using sim::Bytes;
using sim::Response;

constexpr uint32_t kSequence = 0xF0000000u;  // passed through with a sequence number

class LoadStressTest : public OpenAdapterTest {
 protected:
  // The utility: every kind of waiter, each timed against its own bound.
  void Utility(const std::atomic<bool>& done) {
    char ssid[] = "HalvexOpen";
    for (int i = 0; !done.load(); ++i) {
      void* adapter = current.load();
      ULONG value = 0;
      const auto start = Clock::now();
      milliseconds bound{8000};
      switch (i % 5) {
        case 0:
          HalvexSetSsid(adapter, ssid, 10);
          break;
        case 1:
          HalvexScan(adapter);
          bound = milliseconds(5000);
          break;
        case 2:
          HalvexQueryFragThreshold(adapter, value);
          break;
        case 3:
          HalvexQueryRfRegister(adapter, static_cast<ULONG>(i), value);
          break;
        default:
          HalvexGetConnectStatus(adapter);
          bound = milliseconds(0);
          break;
      }
      // A little slack for the scheduler under the sanitizers.
      const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
      if (took > bound + milliseconds(2000)) overran.fetch_add(1);
      worst[i % 5] = std::max(worst[i % 5], took);
      calls.fetch_add(1);
    }
  }

  void Settings(const std::atomic<bool>& done) {
    for (ULONG i = 0; !done.load(); ++i) {
      void* adapter = current.load();
      HalvexSetNetworkMode(adapter, i % 2);
      HalvexSetRTSThreshold(adapter, 2000 + i % 300);
      HalvexSetPreamble(adapter, i % 2);
    }
  }

  // Every driver code the library knows, and a burst of sequenced records
  // larger than one area.
  void Driver(uint32_t& next, int rounds) {
    const uint32_t codes[] = {0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 132, 133, 134, 135, 136, 137, 0x20000000};
    for (int round = 0; round < rounds; ++round) {
      for (uint32_t code : codes) sim->InjectEvent(code, Bytes(32, static_cast<uint8_t>(round)));
      for (int i = 0; i < (round % 4 == 3 ? 2500 : 40); ++i) sim->InjectEvent(kSequence + next++);
    }
  }

  // Collects the sequenced records a window receives.
  class Sequence {
   public:
    explicit Sequence(MessageRecorder& window) : window_(window) {
      window_.SetHook([this](const Message& m) {
        if ((m.code & 0xF0000000u) != kSequence) return;
        std::lock_guard lock(mutex_);
        seen_.push_back(static_cast<uint32_t>(m.code - kSequence));
        changed_.notify_all();
      });
    }
    ~Sequence() { window_.SetHook(nullptr); }
    // Waits for `count` of them, then checks each of first..end came once, in order.
    void Expect(uint32_t first, uint32_t end) {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(60), [&] { return seen_.size() >= end - first; });
      ASSERT_EQ(seen_.size(), end - first);
      for (uint32_t i = first; i < end; ++i) ASSERT_EQ(seen_[i - first], i);
    }

   private:
    MessageRecorder& window_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint32_t> seen_;
  };

  std::atomic<void*> current{nullptr};  // the open adapter, as the callers see it
  milliseconds worst[5]{};              // the utility thread's own: join, scan, pending, register, plain
  std::atomic<int> overran{0};
  std::atomic<int> calls{0};
};

TEST_F(LoadStressTest, BoundsHoldAndRecordsArriveOnceThroughDetachAndAttach) {
  sim->SetPendingRegisterEcho(true);
  sim->Script(OID_802_11_FRAGMENTATION_THRESHOLD, Response::Pending(PendingReplyFor(2346)));
  sim->SetDelays(milliseconds(1), milliseconds(2));
  current.store(adapter);
  std::atomic<bool> done{false};
  std::thread utility([&] { Utility(done); });
  std::thread settings([&] { Settings(done); });

  uint32_t next = 0;
  {
    Sequence before(recorder);
    Driver(next, 8);
    before.Expect(0, next);
  }

  // Detach and attach while the callers go on.
  HalvexCloseAdapter(adapter);
  hx::ProcessDetach();
  adapter = nullptr;
  ASSERT_TRUE(hx::ProcessAttach());
  MessageRecorder after;
  ASSERT_EQ(HalvexInitialize(after.window()), 0);
  ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
  current.store(adapter);
  {
    Sequence sequence(after);
    const uint32_t resumed = next;
    Driver(next, 8);
    sequence.Expect(resumed, next);
  }

  done.store(true);
  utility.join();
  settings.join();
  EXPECT_EQ(overran.load(), 0);
  EXPECT_GT(calls.load(), 0);
  std::printf("%d calls; worst ms: join %lld, scan %lld, pending %lld, register %lld, plain %lld\n",
              calls.load(), static_cast<long long>(worst[0].count()),
              static_cast<long long>(worst[1].count()), static_cast<long long>(worst[2].count()),
              static_cast<long long>(worst[3].count()), static_cast<long long>(worst[4].count()));
  HalvexInitialize(recorder.window());
}

}  // namespace
}  // namespace hx::test
