// The supplicant bridge's lifecycle: the toolkit, its context, the link and
// its thread are created at attach and torn down at detach (or whenever the
// utility asks); the link's port is opened and closed here.
#include <cstring>

#include "Halvex.h"
#include "frame/state.h"
#include "supplicant/bridge.h"

namespace hx {

SupplicantBridge& Bridge() {
  static SupplicantBridge bridge;
  return bridge;
}

void WipingDelete::operator()(char* text) const {
  WipeSecret(text, std::strlen(text) + 1);
  delete[] text;
}

SecretText CopySecret(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t size = std::strlen(text) + 1;
  SecretText copy(new char[size]);
  std::memcpy(copy.get(), text, size);
  return copy;
}

void ClearGtcResponseLocked() {
  WipeSecret(Bridge().StoredGtcResponse, sizeof Bridge().StoredGtcResponse);
}

void ResetSupplicantStates() {
  SupplicantBridge& b = Bridge();
  b.CcxMode.store(0);
  b.SupplicantState.store(0);
  b.SupplicantLinkState.store(0);
  b.SupplicantAuthState.store(0);
  b.KeyWaitCount.store(0);
}

void SuppBlob::Assign(const void* bytes, ULONG length) {
  Clear();
  if (length == 0 || bytes == nullptr) return;
  Data = std::make_unique<unsigned char[]>(length);
  std::memcpy(Data.get(), bytes, length);
  Length = length;
}

void WaitForToolkitUsers() {
  SupplicantBridge& b = Bridge();
  std::unique_lock lock(b.UsersMutex);
  b.UsersDone.wait(lock, [&b] { return b.ToolkitUsers.load() == 0; });
}

ODSTK_HANDLE RetireToolkitHandle(std::atomic<ODSTK_HANDLE>& slot) {
  ODSTK_HANDLE handle = slot.exchange(nullptr);
  WaitForToolkitUsers();
  return handle;
}

void ReleaseSuppObjects() {
  SupplicantBridge& b = Bridge();
  for (SuppBlob* blob :
       {b.SsidBlob.get(), b.RequestIeBlob.get(), b.ResponseIeBlob.get(), b.BeaconIeBlob.get()}) {
    if (blob != nullptr) blob->Clear();
  }
  b.PassphraseCopy.reset();
}

DWORD WINAPI LinkThreadRoutine(LPVOID link) {
  // Entered for this thread before it was created; left last of all here.
  const LeaveLibraryCodeAtExit leave;
  // The binding outlives this thread: terminate keeps it while the thread runs.
  if (const ToolkitEntries* tk = LinkThreadToolkit()) {
    tk->ODSTK_LINK_Thread(link);
    tk->ODSTK_Release(link);  // the reference Initialize took for this thread
  }
  // Out of the toolkit's code: from here on it may be unloaded.
  Bridge().Binding.ThreadsInside.Leave();
  return 1;
}

bool AwaitLinkThreadEnded(const Deadline& deadline) {
  SupplicantBridge& b = Bridge();
  if (!b.EndingLinkThread) return true;
  if (WaitUntil(b.EndingLinkThread.get(), deadline, false) != WAIT_OBJECT_0) return false;
  b.EndingLinkThread.reset();
  return true;
}

namespace {

bool HasAnything(SupplicantBridge& b) {
  std::lock_guard lock(b.NetworkInfoLock);
  return b.ToolkitContext.load() != nullptr || b.ToolkitLink.load() != nullptr || b.LinkThread || b.SsidBlob;
}

// Terminate's steps; the caller holds LifecycleLock. The handles are cleared
// before the toolkit is told to drop them, so no other thread passes a
// released handle in.
void Teardown(SupplicantBridge& b) {
  // Handles exist only while the toolkit is bound.
  const ToolkitEntries* tk = b.Binding.Bound.load();
  if (ODSTK_HANDLE link = RetireToolkitHandle(b.ToolkitLink); link != nullptr && tk != nullptr) {
    tk->ODSTK_LINK_Terminate(link);
    tk->ODSTK_Release(link);
    // Out of the toolkit is enough for the toolkit; past the bound the
    // thread is left to finish on its own.
    const Deadline bound(b.LinkStopWait.load());
    b.Binding.ThreadsInside.AwaitZero(bound);
#ifndef _WIN32
    // Natively its end can be waited for too: until then it runs the
    // library's code. (While Windows unloads the library, the thread cannot
    // end before detach is over.)
    if (b.LinkThread && WaitUntil(b.LinkThread.get(), bound, false) != WAIT_OBJECT_0)
      b.EndingLinkThread = std::move(b.LinkThread);
#endif
  }
  b.LinkThread.reset();
  ODSTK_HANDLE identity = RetireToolkitHandle(b.ToolkitIdentity);
  ODSTK_HANDLE context = b.ToolkitContext.exchange(nullptr);
  if (tk != nullptr) {
    if (identity != nullptr) tk->ODSTK_Release(identity);
    if (context != nullptr) tk->ODSTK_Release(context);
    tk->ODSTK_Terminate();
    // A link thread still inside the toolkit keeps it loaded and bound. (One
    // that has left it may still be ending: at unload the loader holds its
    // exit back until detach is over.)
    if (b.Binding.ThreadsInside.Count() == 0) UnbindToolkit();
  }
  // With the toolkit gone there is no port to open on a later connect.
  b.PortOpen.store(0);
  b.WpaInfoPending.store(0);
  {
    // No identity is left to answer a GTC request with this response.
    std::lock_guard lock(b.GtcLock);
    b.GtcResponseDisabled.store(1);
    ClearGtcResponseLocked();
  }
  std::lock_guard lock(b.NetworkInfoLock);
  ReleaseSuppObjects();
  b.NetworkInfo = SUPP_NETWORK_INFO{};
  b.SsidBlob.reset();
  b.RequestIeBlob.reset();
  b.ResponseIeBlob.reset();
  b.BeaconIeBlob.reset();
}

int Initialize(SupplicantBridge& b) {
  // A second initialise restarts the supplicant rather than orphaning the
  // running link and its thread.
  if (HasAnything(b)) Teardown(b);

  b.LinkThread.reset();
  b.ToolkitContext.store(nullptr);
  b.ToolkitLink.store(nullptr);
  {
    std::lock_guard lock(b.NetworkInfoLock);
    b.PassphraseCopy.reset();
    b.SsidBlob = std::make_unique<SuppBlob>();
    b.RequestIeBlob = std::make_unique<SuppBlob>();
    b.ResponseIeBlob = std::make_unique<SuppBlob>();
    b.BeaconIeBlob = std::make_unique<SuppBlob>();
  }
  b.PortOpen.store(0);
  b.WpaInfoPending.store(0);

  // Without the toolkit the library goes on with no supplicant.
  const ToolkitEntries* tk = BindToolkit();
  if (tk == nullptr) return 1;
  tk->ODSTK_Initialize();
  ODSTK_HANDLE context = nullptr;
  tk->ODSTK_CreateContext(&context);
  b.ToolkitContext.store(context);
  if (context == nullptr) return 1;
  tk->ODSTK_CONTEXT_Initialize(context);
  b.ToolkitIdentity.store(nullptr);

  ODSTK_HANDLE link = nullptr;
  tk->ODSTK_CONTEXT_CreateLinkAsynchronousA(context, &link);
  if (link == nullptr) return 1;
  tk->ODSTK_LINK_SetCallbackA(link, SupplicantCallback, 0);
  tk->ODSTK_LINK_Initialize(link);
  // Published once it is ready for other threads' calls.
  b.ToolkitLink.store(link);
  // The thread holds its own reference: terminate may release the bridge's
  // before the thread has even entered the link.
  tk->ODSTK_AddRef(link);
  // Made once, before the first thread: later loads find it.
  if (!b.Binding.ThreadsInside.HasEvent()) b.Binding.ThreadsInside.MakeEvent();
  b.Binding.ThreadsInside.Enter();
  EnterLibraryCode();
  b.LinkThread.reset(CreateThread(nullptr, 0, LinkThreadRoutine, link, 0, nullptr));
  if (!b.LinkThread) {
    LeaveLibraryCode();
    b.Binding.ThreadsInside.Leave();
    tk->ODSTK_Release(link);
  }
  return 0;
}

}  // namespace

}  // namespace hx

int HalvexWPAInitialize() {
  try {
    hx::SupplicantBridge& b = hx::Bridge();
    std::lock_guard lock(b.LifecycleLock);
    return hx::Initialize(b);
  } catch (...) {
    return 1;
  }
}

void HalvexWPATerminate() {
  try {
    hx::SupplicantBridge& b = hx::Bridge();
    std::lock_guard lock(b.LifecycleLock);
    hx::Teardown(b);
  } catch (...) {
  }
}

void HalvexWPAPortUp() {
  hx::ToolkitUse use;
  if (const hx::ToolkitEntries* tk = use.Toolkit()) tk->ODSTK_LINK_PortUp(use.Link());
}

void HalvexWPAPortDown() {
  {
    hx::ToolkitUse use;
    if (const hx::ToolkitEntries* tk = use.Toolkit()) tk->ODSTK_LINK_PortDown(use.Link());
  }
  hx::Bridge().PortOpen.store(0);
  hx::Bridge().WpaInfoPending.store(0);
}
