// The supplicant bridge: the toolkit context, link, link thread and identity
// the library owns, the heap blocks behind the network information it hands
// the toolkit, and the port flags.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "platform/wipe.h"
#include "supplicant/binding.h"
#include "supplicant/odstk.h"

namespace hx {

// How long terminate waits for the link thread before it goes on regardless.
inline constexpr DWORD kLinkThreadStopWait = 3000;
// How long a key installation waits for the driver to report the EAPOL frame
// before it sent.
inline constexpr DWORD kEapolSentWait = 10;
// The stored GTC response: at most 39 characters and the NUL.
inline constexpr size_t kGtcResponseSize = 40;

// Frees a NUL-terminated secret text after wiping it.
struct WipingDelete {
  void operator()(char* text) const;
};
using SecretText = std::unique_ptr<char[], WipingDelete>;
// A heap copy of `text` (null for null), wiped when released.
SecretText CopySecret(const char* text);

// Heap bytes and their count. Owns the bytes; a blob of length 0 owns nothing.
struct SuppBlob {
  std::unique_ptr<unsigned char[]> Data;
  ULONG Length = 0;

  void Clear() {
    Data.reset();
    Length = 0;
  }
  // Replaces the contents with a copy of `length` bytes (empty when 0).
  void Assign(const void* bytes, ULONG length);
};

struct SupplicantBridge {
  // The toolkit's entry points; Binding.Bound is null while there is no
  // toolkit. Read it only through a ToolkitUse, under LifecycleLock or on the
  // link thread (LinkThreadToolkit).
  ToolkitBinding Binding;

  // Toolkit handles; null when none. Threads other than the lifecycle's read
  // them only through a ToolkitUse.
  std::atomic<ODSTK_HANDLE> ToolkitContext{nullptr};
  std::atomic<ODSTK_HANDLE> ToolkitLink{nullptr};
  std::atomic<ODSTK_HANDLE> ToolkitIdentity{nullptr};
  UniqueHandle LinkThread;
  // A link thread terminate gave up waiting for: until it has ended it may
  // still run the library's own code (see AwaitLinkThreadEnded).
  UniqueHandle EndingLinkThread;

  // The holders and the pass-phrase copy are built on the utility's thread and
  // refreshed on the monitor's: whoever fills, empties, frees or hands over
  // their contents holds NetworkInfoLock.
  std::mutex NetworkInfoLock;
  std::unique_ptr<SuppBlob> SsidBlob;
  std::unique_ptr<SuppBlob> RequestIeBlob;
  std::unique_ptr<SuppBlob> ResponseIeBlob;
  std::unique_ptr<SuppBlob> BeaconIeBlob;
  SecretText PassphraseCopy;
  // The record handed to the toolkit; its pointers lead into the holders.
  SUPP_NETWORK_INFO NetworkInfo{};

  std::atomic<uint32_t> PortOpen{0};
  std::atomic<uint32_t> WpaInfoPending{0};
  // 1 while the last security mode given was the CCX one (8).
  std::atomic<uint32_t> CcxMode{0};

  // What the link callback last heard from the toolkit; 0 at load.
  std::atomic<uint32_t> SupplicantState{0};
  std::atomic<uint32_t> SupplicantLinkState{0};
  std::atomic<uint32_t> SupplicantAuthState{0};
  std::atomic<uint32_t> KeyWaitCount{0};

  // The GTC response of the last PEAP identity that gave one; answered to
  // the toolkit's GTC request while GtcResponseDisabled is 0. Written on the
  // utility's thread, read on the link thread: GtcLock keeps it whole.
  std::atomic<uint32_t> GtcResponseDisabled{1};
  std::mutex GtcLock;
  char StoredGtcResponse[kGtcResponseSize] = {};

  // Serialises initialise, terminate and identity replacement, which the
  // utility may call from any thread.
  std::mutex LifecycleLock;
  // ToolkitUse objects open right now; the last to close wakes a waiter. A
  // mutex and condition rather than an atomic wait: the mingw runtime's
  // atomic waits have been seen to miss their wake-up under Wine.
  std::atomic<uint32_t> ToolkitUsers{0};
  std::mutex UsersMutex;
  std::condition_variable UsersDone;
  // Terminate's bound on the link thread; tests shorten it.
  std::atomic<DWORD> LinkStopWait{kLinkThreadStopWait};
  // The key installation's bound on the EAPOL-sent report; tests lengthen it.
  std::atomic<DWORD> EapolSentWait{kEapolSentWait};
};

SupplicantBridge& Bridge();

// Borrows the bridge's toolkit handles for the length of a toolkit call, so
// that a handle the bridge gives up is not released to the toolkit while
// another thread is still passing it in. Hold one only around the toolkit
// call itself (never across a window message or a wait).
class ToolkitUse {
 public:
  ToolkitUse() { Bridge().ToolkitUsers.fetch_add(1); }
  ~ToolkitUse() {
    if (Bridge().ToolkitUsers.fetch_sub(1) == 1) {
      { std::lock_guard lock(Bridge().UsersMutex); }
      Bridge().UsersDone.notify_all();
    }
  }
  ToolkitUse(const ToolkitUse&) = delete;
  ToolkitUse& operator=(const ToolkitUse&) = delete;

  // The toolkit's entry points; null when there is none, and then nothing is called.
  const ToolkitEntries* Toolkit() const { return Bridge().Binding.Bound.load(); }
  ODSTK_HANDLE Link() const { return Bridge().ToolkitLink.load(); }
  ODSTK_HANDLE Identity() const { return Bridge().ToolkitIdentity.load(); }
};

// Whether the toolkit's entry points are bound right now: the exports that
// would only hand work to a missing toolkit refuse up front.
inline bool ToolkitBound() {
  return ToolkitUse().Toolkit() != nullptr;
}

// The entry points as the link thread's callbacks reach them. Terminate keeps
// the binding while that thread runs, so these calls need no ToolkitUse, and
// must not hold one: the toolkit may keep them as long as it likes.
inline const ToolkitEntries* LinkThreadToolkit() {
  return Bridge().Binding.Bound.load();
}

// Loads the toolkit and publishes its entry points, unless already bound;
// null when the toolkit or any of its entry points is missing. The caller
// holds LifecycleLock.
const ToolkitEntries* BindToolkit();
// Unpublishes the entry points, waits until no ToolkitUse can still call
// through them and closes the module. The caller holds LifecycleLock and no
// ToolkitUse, and no link thread may still run inside the toolkit.
void UnbindToolkit();

// Returns once no ToolkitUse is open. Never call it while holding one.
void WaitForToolkitUsers();

// Clears `slot` and returns what it held once no ToolkitUse that could have
// read the old value is open. Never call it while holding a ToolkitUse.
ODSTK_HANDLE RetireToolkitHandle(std::atomic<ODSTK_HANDLE>& slot);

// Waits until the link thread terminate left behind, if any, has ended; true
// when none is left. Where a thread's end can be waited for while the library
// unloads (not on Windows, whose loader holds exits back), detach does.
bool AwaitLinkThreadEnded(const Deadline& deadline);

// Empties the four holders' contents and frees PassphraseCopy; the holders
// stay. The caller holds NetworkInfoLock.
void ReleaseSuppObjects();

// Puts the callback's states and the CCX mode back to what they are when the
// library is loaded. (The GTC response goes with terminate, at every detach.)
void ResetSupplicantStates();
// Clears the stored GTC response (wiped). The caller holds GtcLock.
void ClearGtcResponseLocked();

// The monitor's part on a connect while security information is pending:
// complete the network information from the adapter and hand it over.
void RefreshNetworkInfo();
int OpenSupplicantPort();
// A received frame of a code-132 record: `data` is the record's data (a
// 32-bit frame length, then the frame), `available` the bytes it holds.
// Returns the toolkit's result, or 1 for a frame dropped.
int ReceiveDriverEapol(const unsigned char* data, uint32_t available);

// The link's thread: runs the toolkit link until it is terminated, then drops
// the reference the bridge took for the thread.
DWORD WINAPI LinkThreadRoutine(LPVOID link);

// Receives the link's events on the link thread.
void ODSTK_CALL SupplicantCallback(ULONG value, void* event);
// Turns the toolkit's trace calls into window lines.
void ODSTK_CALL TraceCallback(ULONG level, ULONG value, const char* text, const void* data, ULONG length);

}  // namespace hx
