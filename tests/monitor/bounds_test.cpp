// Promises callers feel: every record the driver hands over is dispatched,
// every waiter keeps its own bound, and nothing runs after detach.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "frame/oids.h"
#include "monitor/monitor.h"
#include "tests/support/fixture.h"

#ifndef _WIN32
#include "platform/posix/control.h"
#endif

namespace hx::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using sim::Bytes;
using sim::Response;

// Holds the recorder's window procedure on one message until released: the
// monitor is then busy sending it, and records queue in the driver.
class Gate {
 public:
  void Hold(MessageRecorder& recorder, uint64_t code) {
    recorder.SetHook([this, code](const Message& m) {
      if (m.code != code) return;
      std::unique_lock lock(mutex_);
      entered_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
    });
  }
  bool AwaitEntered() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return entered_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool open_ = false;
};

class BoundsTest : public OpenAdapterTest {
 protected:
  void TearDown() override {
    gate.Open();
    recorder.SetHook(nullptr);
    OpenAdapterTest::TearDown();
  }
  Gate gate;
};

TEST_F(BoundsTest, FullFetchesLoseNoRecord) {
  // 2,047 eight-byte records fill a 16,384-byte area after its count word;
  // the 2,048th and every later one must wait for the next fetch, not be cut.
  for (uint32_t queued : {2048u, 5000u}) {
    SCOPED_TRACE(queued);
    recorder.Clear();
    Gate held;
    held.Hold(recorder, 0xF0000000u);
    sim->InjectEvent(0xF0000000u);
    ASSERT_TRUE(held.AwaitEntered());
    for (uint32_t i = 1; i <= queued; ++i) sim->InjectEvent(0xF0000000u + i);
    held.Open();
    ASSERT_TRUE(recorder.WaitForCount(queued + 1));
    const std::vector<uint64_t> codes = recorder.Codes();
    ASSERT_EQ(codes.size(), queued + 1);
    for (uint32_t i = 0; i <= queued; ++i) ASSERT_EQ(codes[i], 0xF0000000u + i) << i;
    recorder.SetHook(nullptr);
  }
}

TEST_F(BoundsTest, EachWaiterKeepsItsOwnBound) {
  // Answers that never come: three pending queries, three register reads and
  // three joins at once each return within 8000 ms of their own start.
  sim->Script(OID_802_11_FRAGMENTATION_THRESHOLD, Response::PendingForever());
  sim->Script(OID_HALVEX_RF_REGISTER, Response::PendingForever());
  sim->Script(OID_802_11_SSID, Response::PendingForever());
  struct Outcome {
    int result = -1;
    ULONG value = 0;
    milliseconds elapsed{0};
  };
  std::vector<Outcome> outcomes(9);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    threads.emplace_back([&, i] {
      Outcome& o = outcomes[i];
      const auto start = Clock::now();
      char ssid[] = "HalvexOpen";
      switch (i % 3) {
        case 0:
          o.result = HalvexQueryFragThreshold(adapter, o.value);
          break;
        case 1:
          o.result = HalvexQueryRfRegister(adapter, 7, o.value);
          break;
        default:
          o.result = HalvexSetSsid(adapter, ssid, 10);
          break;
      }
      o.elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    });
  }
  for (auto& t : threads) t.join();
  const struct {
    int result;
    ULONG value;
  } expected[3] = {{1, 255}, {0, 255}, {4, 0}};
  for (size_t i = 0; i < outcomes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(outcomes[i].result, expected[i % 3].result);
    EXPECT_EQ(outcomes[i].value, expected[i % 3].value);
    EXPECT_GE(outcomes[i].elapsed, milliseconds(7900));
    EXPECT_LT(outcomes[i].elapsed, milliseconds(9500));
  }
}

TEST_F(BoundsTest, AFailedWaitIsNoAnswer) {
  // After detach the adapter still answers "pending", but no reply event is
  // left to wait on: that is no answer, whatever the reply words hold.
  sim->Script(OID_802_11_FRAGMENTATION_THRESHOLD, Response::Pending(PendingReplyFor(2346)));
  sim->SetPendingRegisterEcho(true);
  hx::ProcessDetach();
  State().AdapterHandle.store(adapter);
  ULONG value = 0;
  const auto start = Clock::now();
  EXPECT_EQ(HalvexQueryFragThreshold(adapter, value), 1);
  EXPECT_EQ(value, 255u);
  value = 0;
  EXPECT_EQ(HalvexQueryBbRegister(adapter, 3, value), 0);
  EXPECT_EQ(value, 255u);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  HalvexCloseAdapter(adapter);
  adapter = nullptr;
  ASSERT_TRUE(hx::ProcessAttach());
}

#ifndef _WIN32
TEST_F(BoundsTest, CallsWaitingWhenTheLoadEndsReturnAtOnce) {
  sim->Script(OID_802_11_FRAGMENTATION_THRESHOLD, Response::PendingForever());
  auto query = std::async(std::launch::async, [this] {
    ULONG value = 0;
    const auto start = Clock::now();
    const int result = HalvexQueryFragThreshold(adapter, value);
    return std::make_tuple(result, value, Clock::now() - start);
  });
  ASSERT_TRUE(posix::AwaitWaiters(State().PendingReplyEvent.get(), 1, 10000));
  HalvexCloseAdapter(adapter);
  adapter = nullptr;
  hx::ProcessDetach();
  const auto [result, value, took] = query.get();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(value, 255u);
  EXPECT_LT(took, milliseconds(2000));
  ASSERT_TRUE(hx::ProcessAttach());
}
#endif

TEST_F(BoundsTest, NothingRunsAfterDetach) {
  // Twelve adapter-gone records in one fetch would keep the monitor for 6 s.
  gate.Hold(recorder, 0xF0000000u);
  sim->InjectEvent(0xF0000000u);
  ASSERT_TRUE(gate.AwaitEntered());
  for (int i = 0; i < 12; ++i) sim->InjectEvent(2);
  gate.Open();
  ASSERT_TRUE(recorder.WaitForCount(2));  // the first adapter-gone message
  const auto start = Clock::now();
  hx::ProcessDetach();
  const auto took = Clock::now() - start;
  const size_t atDetach = recorder.Codes().size();
  // The record in hand, if any, was finished (its half second at most);
  // none after it was begun, and nothing arrives once detach returned.
  EXPECT_LT(took, milliseconds(1500));
  EXPECT_LE(atDetach, 3u);
  adapter = nullptr;
  ASSERT_TRUE(hx::ProcessAttach());
  EXPECT_EQ(recorder.Codes().size(), atDetach);
}

TEST_F(BoundsTest, DetachFinishesTheAdapterGoneRecordInHand) {
  // Detach comes during the record's half second: the monitor still closes
  // the adapter and says so, and detach waits for that, well inside its bound.
#ifdef _WIN32
  // The fetch that hands the record over: the walk begins a moment later,
  // long before detach has stopped the supplicant and set the monitor's stop.
  std::promise<void> fetched;
  std::atomic<bool> once{false};
  sim->OnRequest([&](uint32_t oid) {
    if (oid == OID_HALVEX_EVENT_RECORDS && !once.exchange(true)) fetched.set_value();
  });
  sim->InjectEvent(2);
  fetched.get_future().wait();
#else
  sim->InjectEvent(2);
  ASSERT_TRUE(posix::AwaitSleepers(1, 10000));
#endif
  const auto start = Clock::now();
  hx::ProcessDetach();
  const auto took = Clock::now() - start;
  sim->OnRequest(nullptr);
  EXPECT_EQ(recorder.Codes(), std::vector<uint64_t>{2});
  EXPECT_EQ(State().AdapterHandle.load(), nullptr);
  EXPECT_LT(took, milliseconds(1500));
  adapter = nullptr;
  ASSERT_TRUE(hx::ProcessAttach());
}

TEST_F(BoundsTest, AnOldMonitorLeavesTheNextLoadAlone) {
  // A slow window procedure, then an adapter-gone record: detach gives up on
  // the monitor after its bound, and a new load opens the adapter again.
  // Both records in one fetch: count 2, then {8, 0xF0000000} and {0, 2}.
  gate.Hold(recorder, 0xF0000000u);
  sim->InjectRawArea(Bytes{2, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0xF0, 0, 0, 0, 0, 2, 0, 0, 0});
  ASSERT_TRUE(gate.AwaitEntered());
  std::weak_ptr<MonitorRun> oldRun = State().Monitor;
  HalvexCloseAdapter(adapter);  // as the utility does before it unloads
  hx::ProcessDetach();
  adapter = nullptr;
  ASSERT_TRUE(hx::ProcessAttach());
  MessageRecorder next;
  ASSERT_EQ(HalvexInitialize(next.window()), 0);
  ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
  gate.Open();
  // The old thread gives up its run as it ends.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!oldRun.expired() && Clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(oldRun.expired());
  EXPECT_EQ(State().AdapterHandle.load(), adapter);
  EXPECT_TRUE(next.Codes().empty());
  // The old window heard that the library stays loaded for the stuck thread,
  // once it took messages again.
  ASSERT_TRUE(recorder.WaitForCount(2));
  const std::vector<Message> told = recorder.Messages();
  EXPECT_EQ(recorder.Codes(), (std::vector<uint64_t>{0xF0000000u, 1006}));
  EXPECT_EQ(told[1].text,
            "[WRN] Halvex: a thread was still running in the library when it was unloaded; the library stays "
            "loaded for the rest of the process");
  // The new load's own monitor still works.
  sim->InjectEvent(0xF0000001u);
  ASSERT_TRUE(next.WaitForCount(1));
  EXPECT_EQ(next.Codes(), std::vector<uint64_t>{0xF0000001u});
  HalvexInitialize(recorder.window());
}

// A window owned by the test's own thread, as a utility's main window is.
struct OwnWindow {
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) received().push_back(static_cast<uint64_t>(wParam));
    return DefWindowProcA(window, message, wParam, lParam);
  }
  static std::vector<uint64_t>& received() {
    static std::vector<uint64_t> codes;
    return codes;
  }
  OwnWindow() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &OwnWindow::Procedure;
    wc.lpszClassName = "HalvexBoundsTestWindow";
    RegisterClassA(&wc);
    window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    received().clear();
  }
  ~OwnWindow() { DestroyWindow(window); }
  HWND window;
};

TEST_F(BoundsTest, WaitsOnTheWindowsOwnThreadLetSentMessagesThrough) {
  // The monitor is sending this thread's window a message for an earlier
  // record when the query is made; its answer comes right behind.
  OwnWindow own;
  ASSERT_NE(own.window, nullptr);
  ASSERT_EQ(HalvexInitialize(own.window), 0);
  sim->Script(OID_802_11_FRAGMENTATION_THRESHOLD, Response::Pending(PendingReplyFor(2346)));
  sim->InjectEvent(0xF0000005u);
  ASSERT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 10000, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE),
            WAIT_OBJECT_0);
  EXPECT_TRUE(OwnWindow::received().empty());  // only queued so far
  ULONG value = 0;
  const auto start = Clock::now();
  EXPECT_EQ(HalvexQueryFragThreshold(adapter, value), 0);
  EXPECT_EQ(value, 2346u);
  EXPECT_LT(Clock::now() - start, milliseconds(2000));
  EXPECT_EQ(OwnWindow::received(), std::vector<uint64_t>{0xF0000005u});
  HalvexInitialize(recorder.window());
}

TEST_F(BoundsTest, ANetworkModeChangeDuringAJoinKeepsMediaEventsBack) {
  // While the join waits, another caller changes the network mode and the
  // driver reports code 5: the join is still running, so no message 5.
  sim->SetDelays(milliseconds(10), milliseconds(50));
  sim->OnRequest([this](uint32_t oid) {
    if (oid != OID_802_11_SSID) return;
    std::async(std::launch::async, [this] { HalvexSetNetworkMode(adapter, 1); }).wait();
    sim->InjectEvent(5);
  });
  char ssid[] = "HalvexOpen";
  EXPECT_EQ(HalvexSetSsid(adapter, ssid, 10), 0);
  sim->OnRequest(nullptr);
  // Everything reported before the marker has been dispatched once it arrives.
  sim->InjectEvent(0xF0000001u);
  for (size_t count = 1; recorder.Codes().empty() || recorder.Codes().back() != 0xF0000001u; ++count)
    ASSERT_TRUE(recorder.WaitForCount(count));
  EXPECT_EQ(recorder.Codes(), (std::vector<uint64_t>{1, 0xF0000001u}));
  EXPECT_EQ(State().JoinInProgress.load(), 0u);
}

}  // namespace
}  // namespace hx::test
