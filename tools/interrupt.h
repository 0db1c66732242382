// Ctrl-C and termination requests, taken on a thread of their own: the
// signal only raises a flag (and wakes whoever waits); the command that runs
// lets the library's call in progress end, puts back what it started and
// exits 130 (SIGINT) or 143 (SIGTERM).
#pragma once

#include <functional>

namespace halvexctl::interrupt {

// Starts watching: the signal handler only writes to a pipe, which a thread
// of the watcher's own reads (the self-pipe), so no work runs in the handler.
void Start();
// Stops the watcher (at exit).
void Stop();

// True once an interrupt arrived.
bool Requested();
// 130 after SIGINT (Ctrl-C), 143 after SIGTERM; 0 before any.
int ExitCode();
// The name of what arrived ("SIGINT", "SIGTERM"); empty before any.
const char* Name();

// For tests of these paths: when HALVEXCTL_SIGNAL_AT names `point` ("point"
// for SIGINT, "point:TERM" for SIGTERM), the utility signals itself there,
// once, as Ctrl-C or kill would, and goes on once the signal was taken.
void SignalAt(const char* point);

// Runs `wake` (on the watcher's thread) when an interrupt arrives, so that a
// wait can end at once; one at a time, cleared by the Waker's destructor.
class Waker {
 public:
  explicit Waker(std::function<void()> wake);
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
};

}  // namespace halvexctl::interrupt
