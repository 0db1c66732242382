// The bounded waits of the exports: each call keeps its own bound, measured
// from its start, however long it queued behind another caller.
#pragma once

#include <chrono>

#include "platform/win32.h"

namespace hx {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(DWORD milliseconds) : at_(Clock::now() + std::chrono::milliseconds(milliseconds)) {}
  // None at all: Remaining() is INFINITE.
  static Deadline Never() { return Deadline(); }
  // Milliseconds left, rounded up so a wait never ends early; 0 once passed.
  DWORD Remaining() const;

 private:
  Deadline() : at_(Clock::time_point::max()) {}
  Clock::time_point at_;
};

// Waits for `object` until `deadline`. On the thread that owns the notify
// window, messages sent to that thread are handled meanwhile (posted ones stay
// queued): the monitor may be sending the window a message for an earlier
// record, and what the caller waits for comes after it. When the load ends
// meanwhile the wait fails (WAIT_FAILED): nothing will come, unless the
// caller is the unload itself (`endsWithLoad` false).
DWORD WaitUntil(HANDLE object, const Deadline& deadline, bool endsWithLoad = true);

// A caller's turn at a wait that callers share (their answers would be taken
// for each other's): `gate` is an auto-reset event, signalled while no one
// has the turn. Queueing for it counts against the caller's bound and lets
// sent messages through as WaitUntil does; without the turn in time (or
// without a usable gate) the caller has none and must not send its request.
class WaitTurn {
 public:
  WaitTurn(HANDLE gate, const Deadline& deadline) : gate_(gate), woke_(WaitUntil(gate, deadline)) {
    // A turn with no time left is none: a request sent then would have its
    // answer come after the caller gave up, for the next caller to take.
    if (woke_ == WAIT_OBJECT_0 && deadline.Remaining() == 0) {
      SetEvent(gate_);
      woke_ = WAIT_TIMEOUT;
    }
  }
  ~WaitTurn() {
    if (held()) SetEvent(gate_);
  }
  WaitTurn(const WaitTurn&) = delete;
  WaitTurn& operator=(const WaitTurn&) = delete;
  bool held() const { return woke_ == WAIT_OBJECT_0; }
  // Without the turn: the bound ran out (rather than the wait failing).
  bool timedOut() const { return woke_ == WAIT_TIMEOUT; }

 private:
  HANDLE gate_;
  DWORD woke_;
};

}  // namespace hx
