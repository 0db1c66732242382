// Driver events: a full event area of mixed records fetched, walked and
// dispatched by the monitor, beside a bare loop over the same records that
// only sets each record's own event; and a driver event waking a waiting
// join, beside a bare event ping-pong between two threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "Halvex.h"
#include "bench/support.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "monitor/monitor.h"
#include "platform/unique_handle.h"
#ifndef _WIN32
#include "platform/posix/control.h"
#endif

namespace hx {
namespace {

using bench::Clock;
using bench::Lib;
using Area = std::vector<unsigned char>;

void PutWord(Area& area, size_t offset, uint32_t word) {
  std::memcpy(area.data() + offset, &word, 4);
}

uint32_t Word(const unsigned char* p) {
  uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

// A full area: link changes, pending replies, sent frames and media events
// in turn, and one scan-done record last, which tells the bench it is over.
const Area& MixedArea() {
  static const Area area = [] {
    const uint32_t cycle[] = {event::kConnected,    event::kPendingReply,  event::kEapolSent,
                              event::kDisconnected, event::kMediaSpecific, event::kRoamed};
    Area a(kEventBufferSize, 0);
    size_t offset = 4;
    uint32_t count = 0;
    for (size_t i = 0;; ++i) {
      const uint32_t code = cycle[i % std::size(cycle)];
      const uint32_t size = code == event::kPendingReply ? 8 + 4 * kPendingReplyWords : 8;
      if (offset + size + 8 > a.size()) break;
      PutWord(a, offset, size);
      PutWord(a, offset + 4, code);
      offset += size;
      ++count;
    }
    PutWord(a, offset, 0);  // the last record runs to the area's end
    PutWord(a, offset + 4, event::kScanDone);
    PutWord(a, 0, count + 1);
    return a;
  }();
  return area;
}

HANDLE NewEvent(bool manualReset) {
  return CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
}

void DispatchBare(benchmark::State& state) {
  const Area& area = MixedArea();
  platform::UniqueHandle link(NewEvent(true)), reply(NewEvent(true)), scan(NewEvent(true));
  for (auto _ : state) {
    const uint32_t count = Word(area.data());
    size_t offset = 4;
    for (uint32_t i = 0; i < count; ++i) {
      const unsigned char* record = area.data() + offset;
      switch (Word(record + 4)) {
        case event::kConnected:
        case event::kDisconnected:
        case event::kRoamed:
          SetEvent(link.get());
          break;
        case event::kPendingReply:
          SetEvent(reply.get());
          break;
        case event::kScanDone:
          SetEvent(scan.get());
          break;
        default:
          break;
      }
      offset += Word(record);
    }
  }
  state.counters["records"] = Word(area.data());
}

// The monitor's turn on this thread: the monitor itself is kept out by
// handing the adapter another notify event meanwhile (the dispatch's wake-up
// is timed on its own, below).
void DispatchLibrary(benchmark::State& state) {
  const Area& area = MixedArea();
  bench::Library& lib = Lib();
  platform::UniqueHandle quiet(NewEvent(true));
  auto registerNotify = [&](HANDLE event) {
    const auto value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
    unsigned char bytes[4];
    std::memcpy(bytes, &value, 4);
    return HalvexRegisterEvent(lib.adapter, bytes, 4);
  };
  registerNotify(quiet.get());
  static EventFetchBlock fetched;
  const auto driverArea = std::make_shared<const Area>(area);
  lib.sim->KeepCallLog(false);
  for (auto _ : state) {
    lib.sim->InjectRawArea(driverArea);
    FetchAndDispatch(lib.adapter, fetched);
  }
  if (WaitForSingleObject(State().ScanDoneEvent.get(), 0) != WAIT_OBJECT_0)
    state.SkipWithError("the area was not dispatched");
  lib.sim->KeepCallLog(true);
  registerNotify(State().DriverNotifyEvent.get());
  state.counters["records"] = Word(area.data());
}

BENCHMARK(DispatchBare)->Name("Dispatch/Bare")->Unit(benchmark::kMicrosecond);
BENCHMARK(DispatchLibrary)->Name("Dispatch/Library")->Unit(benchmark::kMicrosecond);

// Returns once `waiter` is blocked on `object`, so that what is timed next
// includes waking it. Windows has no way to ask: a short spin gives the
// thread, already past its last step before the wait, time to block.
void UntilBlocked(HANDLE object) {
#ifndef _WIN32
  posix::AwaitWaiters(object, 1, 5000);
#else
  (void)object;
  const auto until = Clock::now() + std::chrono::microseconds(200);
  while (Clock::now() < until) {
  }
#endif
}

// A bare round: one thread sets an event, another wakes and sets one back.
void WakeUpPingPong(benchmark::State& state) {
  platform::UniqueHandle ping(NewEvent(false)), pong(NewEvent(false));
  std::atomic<bool> stop{false};
  std::thread other([&] {
    while (WaitForSingleObject(ping.get(), INFINITE) == WAIT_OBJECT_0 && !stop.load()) SetEvent(pong.get());
  });
  for (auto _ : state) {
    UntilBlocked(ping.get());
    const auto start = Clock::now();
    SetEvent(ping.get());
    WaitForSingleObject(pong.get(), INFINITE);
    state.SetIterationTime(bench::Seconds(Clock::now() - start));
  }
  stop = true;
  SetEvent(ping.get());
  other.join();
}

// A join waiting for its connection event; the adapter answers the SSID as
// pending and leaves the event to the bench. Timed: from the driver's event
// to the join's return, on the joining thread.
void WakeUpJoin(benchmark::State& state) {
  bench::SetupRegistry();
  bench::Library& lib = Lib();
  platform::UniqueHandle go(NewEvent(false)), requested(NewEvent(false)), done(NewEvent(false));
  lib.sim->Script(OID_802_11_SSID, sim::Response::SetStatus(sim::kStatusPending));
  lib.sim->OnRequest([&](uint32_t oid) {
    if (oid == OID_802_11_SSID) SetEvent(requested.get());
  });
  std::atomic<bool> stop{false};
  std::atomic<int> result{0};
  std::atomic<Clock::rep> returned{0};
  std::thread joiner([&] {
    char ssid[] = "bench";
    while (WaitForSingleObject(go.get(), INFINITE) == WAIT_OBJECT_0 && !stop.load()) {
      result = HalvexSetSsid(lib.adapter, ssid, 5);
      returned = Clock::now().time_since_epoch().count();
      SetEvent(done.get());
    }
  });
  for (auto _ : state) {
    SetEvent(go.get());
    WaitForSingleObject(requested.get(), 5000);
    UntilBlocked(State().LinkChangeEvent.get());
    const auto start = Clock::now();
    lib.sim->InjectEvent(event::kConnected);
    WaitForSingleObject(done.get(), 10000);
    if (result.load() != 0) {
      state.SkipWithError("the join did not succeed");
      break;
    }
    state.SetIterationTime(bench::Seconds(Clock::duration(returned.load()) - start.time_since_epoch()));
  }
  stop = true;
  SetEvent(go.get());
  joiner.join();
  lib.sim->OnRequest(nullptr);
  lib.sim->ClearScript(OID_802_11_SSID);
}

BENCHMARK(WakeUpPingPong)->Name("WakeUp/PingPong")->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(WakeUpJoin)->Name("WakeUp/Join")->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace hx
