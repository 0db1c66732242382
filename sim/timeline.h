// The simulated adapter's own clock: actions that a real driver would take
// some time after a request (a scan completing, an association settling) run
// here, on one thread of the adapter, once their delay has passed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace hx::sim {

class Timeline {
 public:
  using Clock = std::chrono::steady_clock;

  Timeline() = default;
  ~Timeline() { Stop(); }
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  // Runs `action` on the timeline's thread after `delay`; actions due at the
  // same time run in the order they were added. The thread starts with the
  // first action.
  void After(std::chrono::milliseconds delay, std::function<void()> action);
  // Drops what has not run yet and ends the thread; an action that is running
  // finishes first.
  void Stop();

 private:
  void Run();

  // A plain flag and condition variable: the stop-token waits of the
  // mingw-w64 runtime now and then missed their wake-up under Wine, so that
  // Stop waited for the thread for ever.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, std::function<void()>> due_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace hx::sim
