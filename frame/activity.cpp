#include "frame/activity.h"

namespace hx {

bool ActivityCount::MakeEvent() {
  std::lock_guard lock(lock_);
  zero_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  return zero_.valid();
}

void ActivityCount::ReleaseEvent() {
  std::lock_guard lock(lock_);
  zero_.reset();
}

void ActivityCount::Leave() {
  if (count_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  std::lock_guard lock(lock_);
  if (zero_) SetEvent(zero_.get());
}

bool ActivityCount::AwaitZero(const Deadline& deadline) {
  HANDLE zero = zero_.get();
  for (;;) {
    // Reset before looking: a thread that leaves after the look sets it again.
    if (zero != nullptr) ResetEvent(zero);
    if (Count() == 0) return true;
    if (zero == nullptr || WaitUntil(zero, deadline, false) != WAIT_OBJECT_0) return Count() == 0;
  }
}

}  // namespace hx
