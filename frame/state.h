// LibraryState: the one set of process-wide fields of the library.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Halvex.h"
#include "frame/activity.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace hx {

inline constexpr uint32_t kEventBufferSize = 0x4000;
// Marks WakingLinkEvent as holding a code (link codes are 0, 1, 3 and 4).
inline constexpr uint32_t kWakingCodeSet = 0x100;
inline constexpr size_t kPathLength = 200;
inline constexpr uint32_t kPendingReplyWords = 25;
// A MAC address packed into the low 48 bits of a word, so it is read and
// written whole by any thread.
inline constexpr uint64_t kMacSentinel = 0xFFFFFFFFFFFFull;

struct MonitorRun;  // monitor/monitor.h

struct LibraryState {
  // Handles and window.
  std::atomic<void*> AdapterHandle{nullptr};
  std::atomic<HWND> NotifyWindow{nullptr};
  UniqueHandle MonitorThread;
  std::shared_ptr<MonitorRun> Monitor;  // this load's; the thread holds it too

  // Events: the first five manual-reset, the others auto-reset.
  UniqueHandle DriverNotifyEvent;
  UniqueHandle DriverExitEvent;
  UniqueHandle LinkChangeEvent;
  UniqueHandle ScanDoneEvent;
  UniqueHandle PendingReplyEvent;
  UniqueHandle ThreadExitEvent;
  UniqueHandle EapolSentEvent;
  // Turns at the shared waits (auto-reset, signalled while free): pending
  // queries share PendingReply, joins share LinkChangeEvent.
  UniqueHandle PendingTurnEvent;
  UniqueHandle JoinTurnEvent;
  // Set (manual-reset) when the load ends: a call still waiting then has no
  // answer coming and returns at once instead of at its bound.
  UniqueHandle UnloadEvent;

  // Buffers. The path texts are filled by adapter discovery, which runs on the
  // utility's and the monitor's threads: PathLock serialises them.
  std::mutex PathLock;
  std::array<std::atomic<uint32_t>, kPendingReplyWords> PendingReply{};
  unsigned char* EventBuffer = nullptr;
  uint32_t EventBufferSize = 0;
  char AdapterName[kPathLength] = {};
  char TransportKeyPath[kPathLength] = {};
  char AdapterKeyPath[kPathLength] = {};
  // The connection snapshot: taken and reverted on the caller's thread, but
  // two callers may join at once, so SnapshotLock keeps the record whole.
  std::mutex SnapshotLock;
  CONNECTIONINFO ConnSnapshot = {};
  std::atomic<uint32_t> SnapshotTaken{0};

  // Caches, sentinels and registry access masks.
  uint64_t MacSentinel = kMacSentinel;
  std::atomic<uint64_t> CachedMacAddress{kMacSentinel};
  std::atomic<uint32_t> CachedChipVersion{0};
  std::atomic<uint32_t> CachedFirmwareVersion{0};
  std::atomic<int32_t> OsKind{-1};
  std::atomic<uint32_t> RegistryReadAccess{0x00020019};
  std::atomic<uint32_t> RegistryWriteAccess{0x00020006};

  // Flags and words shared with other subsystems.
  std::atomic<uint32_t> EventsRegistered{0};
  std::atomic<uint32_t> CcxConfiguration{0};
  std::atomic<uint32_t> LastLinkEvent{0};
  // The first link code since a join cleared it, as kWakingCodeSet | code:
  // the code that woke the join, even when a later one arrived before the
  // join looked. 0 while none has come.
  std::atomic<uint32_t> WakingLinkEvent{0};
  std::atomic<uint32_t> JoinInProgress{0};
  std::atomic<uint32_t> DesiredAuthMode{0};
  std::atomic<uint32_t> DesiredWepStatus{0};
  std::atomic<uint16_t> EapolTxState{0};
  std::atomic<uint32_t> MonitorStarted{0};

  // Bumped by every attach: a monitor thread left over from an earlier load
  // that wakes late sees it changed and ends instead of touching this one.
  std::atomic<uint32_t> Generation{0};

  // Threads running the library's code: its own (the monitor, the
  // supplicant's link thread), and the toolkit's calls into it (the link
  // callback, the trace). The library must not be unmapped while any is
  // left. Never reset: a thread of an earlier load may still leave.
  ActivityCount CodeUsers;
};

// Inline: nearly every call of the library reads it, most of them on the
// request path.
inline LibraryState& State() {
  static LibraryState state;
  return state;
}

// A thread enters and leaves the library's code. A thread the library starts
// is entered on its behalf before it is created (so a detach that comes
// before the thread runs still waits for it) and leaves as its routine ends.
void EnterLibraryCode();
void LeaveLibraryCode();

// Holds the library's code in use for a scope: a call from the toolkit.
class LibraryCodeScope {
 public:
  LibraryCodeScope() { EnterLibraryCode(); }
  ~LibraryCodeScope() { LeaveLibraryCode(); }
  LibraryCodeScope(const LibraryCodeScope&) = delete;
  LibraryCodeScope& operator=(const LibraryCodeScope&) = delete;
};

// Leaves, as a thread's routine ends, what was entered for it.
class LeaveLibraryCodeAtExit {
 public:
  LeaveLibraryCodeAtExit() = default;
  ~LeaveLibraryCodeAtExit() { LeaveLibraryCode(); }
  LeaveLibraryCodeAtExit(const LeaveLibraryCodeAtExit&) = delete;
  LeaveLibraryCodeAtExit& operator=(const LeaveLibraryCodeAtExit&) = delete;
};

// What detach does about a thread still in the library's code when its bound
// has passed.
enum class StuckThreads {
  // Pin the module for the rest of the process (where a module can be
  // pinned while it unloads: Windows), or nothing, where the code is not
  // unmapped at all (a static build).
  kPin,
  // Wait for it: the code is unmapped when detach returns and cannot be
  // pinned from here (a POSIX shared library, whose loader has chosen what
  // to unmap before it runs the library's destructors).
  kWait,
};

// Process attach and detach, in their fixed order. Attach returns false (and
// releases what it created) when an event or the monitor thread cannot be
// created. Called by the loader entry points and by the test fixture.
bool ProcessAttach();
void ProcessDetach(StuckThreads stuck = StuckThreads::kPin);

// Keeps the module that holds the library loaded for the rest of the process;
// false where that cannot be done (POSIX) or failed.
bool PinLibraryModule();

// Sends WM_APP (wParam, lParam) to the registered window, if there is one.
void Notify(WPARAM code, LPARAM text = 0);

}  // namespace hx
