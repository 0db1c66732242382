#include "sim/timeline.h"

#include <utility>

namespace hx::sim {

void Timeline::After(std::chrono::milliseconds delay, std::function<void()> action) {
  std::lock_guard lock(mutex_);
  due_.emplace(Clock::now() + delay, std::move(action));
  if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  wake_.notify_all();
}

void Timeline::Stop() {
  std::jthread thread;
  {
    std::lock_guard lock(mutex_);
    due_.clear();
    thread = std::move(thread_);
  }
  if (thread.joinable()) {
    thread.request_stop();
    thread.join();
  }
}

void Timeline::Run(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    if (due_.empty()) {
      wake_.wait(lock, stop, [this] { return !due_.empty(); });
      continue;
    }
    const auto next = due_.begin()->first;
    if (Clock::now() < next) {
      // An action due sooner, or the stop, ends the wait early.
      wake_.wait_until(lock, stop, next, [&] { return due_.empty() || due_.begin()->first < next; });
      continue;
    }
    std::function<void()> action = std::move(due_.begin()->second);
    due_.erase(due_.begin());
    // The action takes the adapter's own lock: never run it under ours.
    lock.unlock();
    action();
    lock.lock();
  }
}

}  // namespace hx::sim
