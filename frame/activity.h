// A count of threads doing something the library must wait out before it
// lets go of what they use (its code, the toolkit's), with an event that is
// set each time the count drops to zero.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "frame/wait.h"
#include "platform/unique_handle.h"

namespace hx {

class ActivityCount {
 public:
  // The event a wait needs; false when it cannot be made (waits then only
  // look at the count). Replaces an earlier one.
  bool MakeEvent();
  bool HasEvent() const { return zero_.valid(); }
  // Closes the event. Under the lock: the last thread out never sets a
  // handle that is closed (or, closed, already stands for something else).
  void ReleaseEvent();

  void Enter() { count_.fetch_add(1, std::memory_order_acq_rel); }
  void Leave();
  uint32_t Count() const { return count_.load(std::memory_order_acquire); }

  // Waits until the count is zero or `deadline` passes, letting messages sent
  // to this thread's windows through; true when it is zero.
  bool AwaitZero(const Deadline& deadline);

 private:
  std::atomic<uint32_t> count_{0};
  std::mutex lock_;
  platform::UniqueHandle zero_;  // manual-reset
};

}  // namespace hx
