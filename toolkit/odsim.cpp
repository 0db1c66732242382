// The stand-in toolkit's test controls (ODSIM_*), apart from the deliveries
// on a link's thread (link.cpp).
#include <algorithm>
#include <chrono>
#include <cstring>

#include "eap/tls.h"
#include "toolkit/internal.h"

using namespace odstk_sim;

namespace {

// Copies `text` with its NUL as far as it fits; returns the size it needs.
ULONG CopyOut(const std::string& text, char* buffer, ULONG size) {
  if (buffer != nullptr && size != 0) {
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<ULONG>(text.size() + 1);
}

ULONG LiveHandlesLocked(ULONG kind) {
  const auto& handles = Toolkit().handles;
  if (kind == ODSIM_KIND_ANY) return static_cast<ULONG>(handles.size());
  return static_cast<ULONG>(std::count_if(handles.begin(), handles.end(), [&](const auto& entry) {
    return static_cast<ULONG>(entry.second->kind) == kind;
  }));
}

std::shared_ptr<Link> LiveLinkLocked(ODSTK_HANDLE handle) {
  std::shared_ptr<Object> object = FindLocked(handle);
  if (!object || object->kind != Kind::kLink) return nullptr;
  return std::static_pointer_cast<Link>(object);
}

}  // namespace

extern "C" {

ODSIM_API void ODSIM_Reset(void) {
  Guard(0, [] {
    Lock lock(Toolkit().mu);
    ResetLocked();
    return 0;
  });
}

ODSIM_API int ODSIM_ToolkitInitialized(void) {
  Lock lock(Toolkit().mu);
  return Toolkit().initialized ? 1 : 0;
}

ODSIM_API int ODSIM_ScriptResult(const char* call, int result, ULONG times) {
  return Guard(1, [&] {
    if (call == nullptr || !IsScriptable(call)) return 1;
    Lock lock(Toolkit().mu);
    Toolkit().scripts[call] = Script{result, times};
    return 0;
  });
}

ODSIM_API ULONG ODSIM_CallCount(void) {
  Lock lock(Toolkit().mu);
  return static_cast<ULONG>(Toolkit().calls.size());
}

ODSIM_API ULONG ODSIM_GetCall(ULONG index, char* buffer, ULONG size) {
  return Guard(0ul, [&]() -> ULONG {
    Lock lock(Toolkit().mu);
    const auto& calls = Toolkit().calls;
    if (index >= calls.size()) return 0;
    return CopyOut(calls[index].text, buffer, size);
  });
}

ODSIM_API ULONG ODSIM_GetCallLinkThread(ULONG index) {
  Lock lock(Toolkit().mu);
  const auto& calls = Toolkit().calls;
  return index < calls.size() ? calls[index].linkThread : 0;
}

ODSIM_API ULONG ODSIM_GetCallThread(ULONG index) {
  Lock lock(Toolkit().mu);
  const auto& calls = Toolkit().calls;
  return index < calls.size() ? calls[index].thread : 0;
}

ODSIM_API ULONG ODSIM_CurrentThread(void) {
  return CurrentThreadNumber();
}

ODSIM_API void ODSIM_ClearCalls(void) {
  Lock lock(Toolkit().mu);
  ClearCallsLocked();
}

ODSIM_API void ODSIM_RecordSecrets(int on) {
  Lock lock(Toolkit().mu);
  Toolkit().recordSecrets = on != 0;
}

ODSIM_API ULONG ODSIM_InvalidHandleCalls(void) {
  Lock lock(Toolkit().mu);
  return Toolkit().invalidCalls;
}

ODSIM_API ULONG ODSIM_LiveHandles(ULONG kind) {
  Lock lock(Toolkit().mu);
  return LiveHandlesLocked(kind);
}

ODSIM_API int ODSIM_WaitLiveHandles(ULONG kind, ULONG count, ULONG timeoutMs) {
  Lock lock(Toolkit().mu);
  return Toolkit().changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return LiveHandlesLocked(kind) <= count; })
             ? 0
             : 1;
}

ODSIM_API ULONG ODSIM_RefCount(ODSTK_HANDLE handle) {
  Lock lock(Toolkit().mu);
  std::shared_ptr<Object> object = FindLocked(handle);
  return object ? object->refs : 0;
}

ODSIM_API ULONG ODSIM_DescribeHandle(ODSTK_HANDLE handle, char* buffer, ULONG size) {
  return Guard(0ul, [&] {
    Lock lock(Toolkit().mu);
    return CopyOut(HandleText(handle), buffer, size);
  });
}

ODSIM_API ODSTK_HANDLE ODSIM_FindHandle(ULONG kind, ULONG ordinal) {
  Lock lock(Toolkit().mu);
  const Object* found = nullptr;
  for (const auto& [value, object] : Toolkit().handles) {
    if (static_cast<ULONG>(object->kind) != kind) continue;
    if (ordinal == 0 ? found == nullptr || object->ordinal > found->ordinal : object->ordinal == ordinal)
      found = object.get();
  }
  return found != nullptr ? reinterpret_cast<ODSTK_HANDLE>(found->value) : nullptr;
}

ODSIM_API int ODSIM_PortState(ODSTK_HANDLE handle) {
  Lock lock(Toolkit().mu);
  std::shared_ptr<Link> link = LiveLinkLocked(handle);
  return link ? (link->portUp ? 1 : 0) : -1;
}

ODSIM_API int ODSIM_LinkThreadRunning(ODSTK_HANDLE handle) {
  Lock lock(Toolkit().mu);
  std::shared_ptr<Link> link = LiveLinkLocked(handle);
  return link ? (link->threadRunning ? 1 : 0) : -1;
}

ODSIM_API int ODSIM_OnLinkThread(void) {
  return CurrentLinkThread() != nullptr ? 1 : 0;
}

ODSIM_API ULONG ODSIM_RunningLinkThreads(void) {
  Lock lock(Toolkit().mu);
  return Toolkit().runningThreads;
}

ODSIM_API int ODSIM_WaitLinkThreadsStopped(ULONG timeoutMs) {
  Lock lock(Toolkit().mu);
  State& s = Toolkit();
  return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s.runningThreads == 0; })
             ? 0
             : 1;
}

ODSIM_API int ODSIM_GetNetworkInfo(ODSTK_HANDLE handle, ODSIM_NETWORK_INFO* info) {
  Lock lock(Toolkit().mu);
  std::shared_ptr<Link> link = LiveLinkLocked(handle);
  if (!link || !link->networkInfo || info == nullptr) return 1;
  *info = link->networkInfo->fixed;
  return 0;
}

ODSIM_API ULONG ODSIM_GetNetworkInfoBytes(ODSTK_HANDLE handle, ULONG field, void* buffer, ULONG size) {
  Lock lock(Toolkit().mu);
  std::shared_ptr<Link> link = LiveLinkLocked(handle);
  if (!link || !link->networkInfo || field > ODSIM_FIELD_RESPONSE_IES) return 0;
  const hx::crypto::SecretBytes& bytes = link->networkInfo->bytes[field];
  if (buffer != nullptr) std::memcpy(buffer, bytes.data(), std::min<size_t>(bytes.size(), size));
  return static_cast<ULONG>(bytes.size());
}

ODSIM_API int ODSIM_EmitTrace(ULONG level, ULONG value, const char* text, const void* data, ULONG length) {
  ODSTK_TRACE_CALLBACK trace;
  {
    Lock lock(Toolkit().mu);
    trace = Toolkit().trace;
  }
  if (trace == nullptr) return 1;
  trace(level, value, text, data, length);
  return 0;
}

ODSIM_API ULONG ODSIM_TraceLevel(void) {
  Lock lock(Toolkit().mu);
  return Toolkit().traceLevel;
}

ODSIM_API void ODSIM_EnableSupplicant(int on) {
  Lock lock(Toolkit().mu);
  Toolkit().engine = on != 0;
}

ODSIM_API void ODSIM_SetHandshakeTimeout(ULONG milliseconds) {
  Lock lock(Toolkit().mu);
  Toolkit().handshakeTimeoutMs = milliseconds;
}

ODSIM_API int ODSIM_TrustCertificateFile(const char* path) {
  return Guard(1, [&] {
    if (path == nullptr) {
      Lock lock(Toolkit().mu);
      Toolkit().trustedCaFiles.clear();
      return 0;
    }
    std::string why;
    if (!hx::eap::CertificateThumbprint(path, "", &why)) return 1;
    Lock lock(Toolkit().mu);
    Toolkit().trustedCaFiles.push_back(path);
    return 0;
  });
}

ODSIM_API int ODSIM_AddCertificate(const char* certificateFile, const char* keyFile, UCHAR thumbprint[20],
                                   char* why, ULONG whySize) {
  return Guard(1, [&] {
    std::string error = "no certificate or key file given";
    std::optional<std::array<uint8_t, 20>> digest;
    if (certificateFile != nullptr && keyFile != nullptr && *keyFile != '\0')
      digest = hx::eap::CertificateThumbprint(certificateFile, keyFile, &error);
    if (!digest) {
      CopyOut(error, why, whySize);
      return 1;
    }
    if (thumbprint != nullptr) std::memcpy(thumbprint, digest->data(), 20);
    Lock lock(Toolkit().mu);
    auto& store = Toolkit().certificates;
    std::erase_if(store, [&](const StoredCertificate& c) { return c.thumbprint == *digest; });
    store.push_back({*digest, certificateFile, keyFile});
    return 0;
  });
}

ODSIM_API void ODSIM_SetTtlsInnerProtocol(ULONG protocol) {
  Lock lock(Toolkit().mu);
  Toolkit().ttlsInnerOverride = protocol;
}

ODSIM_API ULONG ODSIM_LiveBlobs(void) {
  Lock lock(Toolkit().mu);
  return static_cast<ULONG>(Toolkit().blobs.size());
}

ODSIM_API void ODSIM_HoldProcessCallback(int hold) {
  Lock lock(Toolkit().mu);
  Toolkit().hold = hold != 0;
  Toolkit().changed.notify_all();
}

ODSIM_API int ODSIM_WaitHeld(ULONG timeoutMs) {
  Lock lock(Toolkit().mu);
  State& s = Toolkit();
  return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s.held != 0; }) ? 0 : 1;
}

}  // extern "C"
