#include "frame/wait.h"

#include "frame/state.h"

namespace hx {

DWORD Deadline::Remaining() const {
  if (at_ == Clock::time_point::max()) return INFINITE;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<DWORD>(left);
}

namespace {

bool OnNotifyWindowThread() {
  HWND window = State().NotifyWindow.load(std::memory_order_acquire);
  return window != nullptr && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

}  // namespace

DWORD WaitUntil(HANDLE object, const Deadline& deadline, bool endsWithLoad) {
  const HANDLE handles[2] = {object, endsWithLoad ? State().UnloadEvent.get() : nullptr};
  const DWORD count = handles[1] != nullptr ? 2 : 1;
  const bool pump = OnNotifyWindowThread();
  for (;;) {
    const DWORD woke = pump ? MsgWaitForMultipleObjectsEx(count, handles, deadline.Remaining(),
                                                          QS_SENDMESSAGE, MWMO_INPUTAVAILABLE)
                            : WaitForMultipleObjects(count, handles, FALSE, deadline.Remaining());
    if (woke == WAIT_OBJECT_0 + count && pump) {
      MSG msg;
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      continue;
    }
    // The load ended: what was waited for will not come.
    if (count == 2 && woke == WAIT_OBJECT_0 + 1) return WAIT_FAILED;
    return woke;
  }
}

}  // namespace hx
