// Process attach and detach, and the window that receives notifications.
#include <cstring>

#include "frame/channel.h"
#include "frame/state.h"
#include "monitor/monitor.h"
#include "platform/win32.h"
#include "supplicant/bridge.h"

namespace hx {
namespace {

// The static area the monitor reads the driver's event records into.
alignas(8) unsigned char g_eventArea[kEventBufferSize];

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
}

bool CreateEvents(LibraryState& s) {
  struct NewEvent {
    UniqueHandle* event;
    BOOL manualReset;
  };
  const NewEvent events[] = {{&s.DriverNotifyEvent, TRUE}, {&s.DriverExitEvent, TRUE},
                             {&s.LinkChangeEvent, TRUE},   {&s.ScanDoneEvent, TRUE},
                             {&s.PendingReplyEvent, TRUE}, {&s.ThreadExitEvent, FALSE},
                             {&s.EapolSentEvent, FALSE}};
  for (const NewEvent& spec : events) {
    spec.event->reset(CreateEventA(nullptr, spec.manualReset, FALSE, nullptr));
    if (!*spec.event) return false;
  }
  return true;
}

// Undoes a part-way attach: the loader is about to refuse the library, so
// nothing it created may stay behind.
bool FailAttach(LibraryState& s) {
  ReleaseEvents(s);
  HalvexWPATerminate();
  return false;
}

}  // namespace

LibraryState& State() {
  static LibraryState state;
  return state;
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
  s.EventBufferSize = kEventBufferSize;
  s.EventBuffer = g_eventArea;

  HalvexWPAInitialize();  // the library still loads without a supplicant

  if (!CreateEvents(s)) return FailAttach(s);
  s.MonitorThread.reset(CreateThread(nullptr, 0, EventMonitorThread, nullptr, 0, nullptr));
  if (!s.MonitorThread) return FailAttach(s);

  s.CcxConfiguration.store(6);
  s.NotifyWindow.store(nullptr);
  return true;
}

void ProcessDetach() {
  LibraryState& s = State();
  void* adapter = s.AdapterHandle.load();
  if (adapter != nullptr && s.EventsRegistered.load() != 0) HalvexUnlockPages(adapter);
  HalvexWPATerminate();
  if (s.ThreadExitEvent) SetEvent(s.ThreadExitEvent.get());
  // A monitor stuck in a window message is not waited for beyond the bound.
  if (s.MonitorThread) WaitForSingleObject(s.MonitorThread.get(), 3000);
  s.MonitorThread.reset();
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
