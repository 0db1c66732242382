#include "sim/timeline.h"

#include <utility>

namespace hx::sim {

void Timeline::After(std::chrono::milliseconds delay, std::function<void()> action) {
  std::lock_guard lock(mutex_);
  due_.emplace(Clock::now() + delay, std::move(action));
  if (!thread_.joinable()) {
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
  }
  wake_.notify_all();
}

void Timeline::Stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    due_.clear();
    stopping_ = true;
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) thread.join();
}

void Timeline::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (due_.empty()) {
      wake_.wait(lock, [this] { return stopping_ || !due_.empty(); });
      continue;
    }
    const auto next = due_.begin()->first;
    if (Clock::now() < next) {
      // An action due sooner, or the stop, ends the wait early.
      wake_.wait_until(lock, next, [&] { return stopping_ || due_.empty() || due_.begin()->first < next; });
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
