// Process attach and detach, and the window that receives notifications.
#include <cstring>
#include <memory>
#include <new>

#include "frame/channel.h"
#include "frame/state.h"
#include "frame/wait.h"
#include "monitor/monitor.h"
#include "platform/win32.h"
#include "supplicant/bridge.h"

namespace hx {
namespace {

// Puts every field back to the value it has when the library is loaded. In a
// freshly loaded process this changes nothing; it lets one process attach
// again after a detach (tests do) and start from the same state.
void ResetToLoadState(LibraryState& s) {
  s.AdapterHandle.store(nullptr);
  s.NotifyWindow.store(nullptr);
  for (auto& word : s.PendingReply) word.store(0);
  s.EventBuffer = nullptr;
  s.EventBufferSize = 0;
  s.CachedChipVersion.store(0);
  s.CachedFirmwareVersion.store(0);
  s.OsKind.store(-1);
  s.RegistryReadAccess.store(0x00020019);
  s.RegistryWriteAccess.store(0x00020006);
  s.EventsRegistered.store(0);
  s.CcxConfiguration.store(0);
  s.LastLinkEvent.store(0);
  s.WakingLinkEvent.store(0);
  s.JoinInProgress.store(0);
  s.DesiredAuthMode.store(0);
  s.DesiredWepStatus.store(0);
  s.EapolTxState.store(0);
  s.MonitorStarted.store(0);
  s.SnapshotTaken.store(0);
}

void ReleaseEvents(LibraryState& s) {
  s.CodeUsers.ReleaseEvent();
  s.DriverNotifyEvent.reset();
  s.DriverExitEvent.reset();
  s.ScanDoneEvent.reset();
  s.PendingReplyEvent.reset();
  s.LinkChangeEvent.reset();
  s.EapolSentEvent.reset();
  s.ThreadExitEvent.reset();
  s.PendingTurnEvent.reset();
  s.JoinTurnEvent.reset();
  s.UnloadEvent.reset();
}

bool CreateEvents(LibraryState& s) {
  struct NewEvent {
    UniqueHandle* event;
    BOOL manualReset;
    BOOL signalled;
  };
  const NewEvent events[] = {{&s.DriverNotifyEvent, TRUE, FALSE}, {&s.DriverExitEvent, TRUE, FALSE},
                             {&s.LinkChangeEvent, TRUE, FALSE},   {&s.ScanDoneEvent, TRUE, FALSE},
                             {&s.PendingReplyEvent, TRUE, FALSE}, {&s.ThreadExitEvent, FALSE, FALSE},
                             {&s.EapolSentEvent, FALSE, FALSE},   {&s.PendingTurnEvent, FALSE, TRUE},
                             {&s.JoinTurnEvent, FALSE, TRUE},     {&s.UnloadEvent, TRUE, FALSE}};
  for (const NewEvent& spec : events) {
    spec.event->reset(CreateEventA(nullptr, spec.manualReset, spec.signalled, nullptr));
    if (!*spec.event) return false;
  }
  return s.CodeUsers.MakeEvent();
}

// Undoes a part-way attach: the loader is about to refuse the library, so
// nothing it created may stay behind.
bool FailAttach(LibraryState& s) {
  ReleaseEvents(s);
  HalvexWPATerminate();
  s.EventBuffer = nullptr;
  s.EventBufferSize = 0;
  s.Monitor.reset();
  return false;
}

// Said once, through the trace, when a thread is still in the library's code
// after detach's bound. The pinned text stays mapped for a window that takes
// the message late; the waiting one is sent while the unload still waits.
constexpr char kPinnedText[] =
    "[WRN] Halvex: a thread was still running in the library when it was unloaded; the library stays "
    "loaded for the rest of the process";
constexpr char kWaitingText[] =
    "[WRN] Halvex: a thread is still running in the library as it is unloaded; the unload waits for it";

// Waits until no thread is left in the library's code: the count, and
// natively also the ends of the library's own threads, whose last steps
// after the count are still its code.
bool AwaitThreadsOut(LibraryState& s, const Deadline& deadline) {
  if (!s.CodeUsers.AwaitZero(deadline)) return false;
#ifdef _WIN32
  return true;
#else
  if (s.MonitorThread && WaitUntil(s.MonitorThread.get(), deadline, false) != WAIT_OBJECT_0) return false;
  return AwaitLinkThreadEnded(deadline);
#endif
}

void OutlastStuckThreads(LibraryState& s, StuckThreads stuck) {
  HWND window = s.NotifyWindow.load(std::memory_order_acquire);
  if (stuck == StuckThreads::kPin) {
    PinLibraryModule();
    // Not waited for: the window's thread may be the one that is stuck.
    if (window != nullptr)
      SendNotifyMessageA(window, WM_APP, HALVEX_MSG_TRACE_TEXT, reinterpret_cast<LPARAM>(kPinnedText));
    return;
  }
  if (window != nullptr)
    SendMessageA(window, WM_APP, HALVEX_MSG_TRACE_TEXT, reinterpret_cast<LPARAM>(kWaitingText));
  AwaitThreadsOut(s, Deadline::Never());
}

}  // namespace

void EnterLibraryCode() {
  State().CodeUsers.Enter();
}

void LeaveLibraryCode() {
  State().CodeUsers.Leave();
}

bool PinLibraryModule() {
#ifdef _WIN32
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&PinLibraryModule), &module) != FALSE;
#else
  return false;
#endif
}

bool ProcessAttach() {
  LibraryState& s = State();
  ResetToLoadState(s);
  ResetSupplicantStates();
  s.Generation.fetch_add(1);
  {
    std::lock_guard lock(s.PathLock);
    std::memset(s.AdapterKeyPath, 0, sizeof s.AdapterKeyPath);
    std::memset(s.TransportKeyPath, 0, sizeof s.TransportKeyPath);
    std::memset(s.AdapterName, 0, sizeof s.AdapterName);
  }
  {
    std::lock_guard lock(s.SnapshotLock);
    std::memset(&s.ConnSnapshot, 0, sizeof s.ConnSnapshot);
  }
  s.MacSentinel = kMacSentinel;
  s.CachedMacAddress.store(kMacSentinel);
  std::shared_ptr<MonitorRun>* parameter = nullptr;
  try {
    s.Monitor = std::make_shared<MonitorRun>();
    parameter = new std::shared_ptr<MonitorRun>(s.Monitor);
  } catch (const std::bad_alloc&) {
    s.Monitor.reset();
    return false;
  }
  s.EventBufferSize = kEventBufferSize;
  s.EventBuffer = s.Monitor->fetch.area();

  HalvexWPAInitialize();  // the library still loads without a supplicant

  if (!CreateEvents(s)) {
    delete parameter;
    return FailAttach(s);
  }
  EnterLibraryCode();  // on the monitor's behalf; it leaves as it ends
  s.MonitorThread.reset(CreateThread(nullptr, 0, EventMonitorThread, parameter, 0, nullptr));
  if (!s.MonitorThread) {
    LeaveLibraryCode();
    delete parameter;
    return FailAttach(s);
  }

  s.CcxConfiguration.store(6);
  s.NotifyWindow.store(nullptr);
  return true;
}

void ProcessDetach(StuckThreads stuck) {
  LibraryState& s = State();
  void* adapter = s.AdapterHandle.load();
  if (adapter != nullptr && s.EventsRegistered.load() != 0) HalvexUnlockPages(adapter);
  HalvexWPATerminate();
  // After detach returns the monitor may still be inside a window message it
  // was sending; once back it must not act on anything, least of all a later
  // load: its stop is set for good.
  if (s.Monitor) s.Monitor->stop.store(true);
  if (s.ThreadExitEvent) SetEvent(s.ThreadExitEvent.get());
  // The monitor finishes the record in hand, and the toolkit's calls into
  // the library return. Not waited for beyond the bound; when a window they
  // send to is this thread's, the message is let through meanwhile. (The
  // threads themselves may not end yet: while Windows unloads a library,
  // thread exits wait for the loader.)
  const bool left = AwaitThreadsOut(s, Deadline(3000));
  // Pinned, detach returns with the monitor inside: the rest of its record
  // would use what detach is about to close.
  if (!left && stuck == StuckThreads::kPin && s.Monitor) s.Monitor->abandoned.store(true);
  if (s.UnloadEvent) SetEvent(s.UnloadEvent.get());
  if (!left) OutlastStuckThreads(s, stuck);
  s.MonitorThread.reset();
  s.Monitor.reset();
  ReleaseEvents(s);
}

void Notify(WPARAM code, LPARAM text) {
  HWND window = State().NotifyWindow.load(std::memory_order_acquire);
  if (window != nullptr) SendMessageA(window, WM_APP, code, text);
}

}  // namespace hx

int HalvexInitialize(HWND window) {
  if (window == nullptr) return hx::kFailure;
  hx::State().NotifyWindow.store(window, std::memory_order_release);
  return hx::kSuccess;
}
