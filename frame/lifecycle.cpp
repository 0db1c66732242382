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
  return true;
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

}  // namespace

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
  s.MonitorThread.reset(CreateThread(nullptr, 0, EventMonitorThread, parameter, 0, nullptr));
  if (!s.MonitorThread) {
    delete parameter;
    return FailAttach(s);
  }

  s.CcxConfiguration.store(6);
  s.NotifyWindow.store(nullptr);
  return true;
}

void ProcessDetach() {
  LibraryState& s = State();
  void* adapter = s.AdapterHandle.load();
  if (adapter != nullptr && s.EventsRegistered.load() != 0) HalvexUnlockPages(adapter);
  HalvexWPATerminate();
  // After detach returns the monitor may still be inside a window message it
  // was sending; once back it must not act on anything, least of all a later
  // load: its stop is set for good.
  if (s.Monitor) s.Monitor->stop.store(true);
  if (s.ThreadExitEvent) SetEvent(s.ThreadExitEvent.get());
  // A monitor stuck in a window message is not waited for beyond the bound;
  // when that window is this thread's, the message is let through meanwhile.
  if (s.MonitorThread) WaitUntil(s.MonitorThread.get(), Deadline(3000));
  s.MonitorThread.reset();
  s.Monitor.reset();
  if (s.UnloadEvent) SetEvent(s.UnloadEvent.get());
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
