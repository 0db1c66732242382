// The adapter handle: open, close, and the two event registrations.
#include <cstring>
#include <mutex>

#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "platform/win32.h"

namespace {

bool IsUsable(void* handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Hands the driver one of our event handles as a 4-byte little-endian value.
void RegisterHandle(void* adapter, HANDLE event, int (*registrar)(void*, unsigned char*, ULONG)) {
  const uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
  unsigned char bytes[4];
  std::memcpy(bytes, &value, 4);
  registrar(adapter, bytes, 4);
}

int RegisterWithCode(void* adapter, uint32_t code, unsigned char* buffer, ULONG length) {
  if (!hx::IsOpenAdapter(adapter)) return hx::kFailure;
  DWORD returned = 0;
  if (!hx::platform::DeviceControl(adapter, code, buffer, length, nullptr, 0, &returned)) return hx::kFailure;
  hx::State().EventsRegistered.store(1);
  return hx::kSuccess;
}

void ClearPaths(bool transportToo) {
  auto& s = hx::State();
  std::lock_guard lock(s.PathLock);
  std::memset(s.AdapterKeyPath, 0, sizeof s.AdapterKeyPath);
  std::memset(s.AdapterName, 0, sizeof s.AdapterName);
  if (transportToo) std::memset(s.TransportKeyPath, 0, sizeof s.TransportKeyPath);
}

}  // namespace

int HalvexOpenAdapter(void*& adapter) {
  if (IsBadWritePtr(&adapter, sizeof adapter)) return hx::kBadBuffer;
  auto& s = hx::State();
  void* handle = hx::platform::OpenDevice(hx::kDeviceName);
  adapter = handle;
  if (!IsUsable(handle)) {
    adapter = nullptr;
    return hx::kFailure;
  }
  // An adapter already recorded is replaced, not closed: the caller owns it.
  s.AdapterHandle.store(handle, std::memory_order_release);
  RegisterHandle(handle, s.DriverNotifyEvent.get(), HalvexRegisterEvent);
  RegisterHandle(handle, s.DriverExitEvent.get(), HalvexRegisterExitEvent);
  ClearPaths(true);
  HalvexSetFswCCXConfiguration(handle, s.CcxConfiguration.load());
  return hx::kSuccess;
}

int HalvexCloseAdapter(void*& adapter) {
  // The handle is read, and cleared once closed.
  if (IsBadWritePtr(&adapter, sizeof adapter)) return hx::kBadBuffer;
  auto& s = hx::State();
  void* open = s.AdapterHandle.load(std::memory_order_acquire);
  if (!IsUsable(adapter) || adapter != open) {
    if (open != nullptr) return hx::kFailure;
    adapter = nullptr;
    return hx::kSuccess;
  }
  if (s.EventsRegistered.load() != 0) HalvexUnlockPages(open);
  // Only the thread that swaps the recorded handle out closes it, so the
  // utility and the monitor closing at once cannot close it twice.
  if (!s.AdapterHandle.compare_exchange_strong(open, nullptr)) {
    if (open != nullptr) return hx::kFailure;
    adapter = nullptr;
    return hx::kSuccess;
  }
  const BOOL closed = hx::platform::CloseDevice(open);
  adapter = nullptr;
  s.CachedChipVersion.store(0);
  s.CachedFirmwareVersion.store(0);
  ClearPaths(false);
  s.CachedMacAddress.store(s.MacSentinel);
  return closed ? hx::kSuccess : hx::kFailure;
}

int HalvexRegisterEvent(void* adapter, unsigned char* buffer, ULONG length) {
  return RegisterWithCode(adapter, hx::IOCTL_REGISTER_EVENT, buffer, length);
}

int HalvexRegisterExitEvent(void* adapter, unsigned char* buffer, ULONG length) {
  return RegisterWithCode(adapter, hx::IOCTL_REGISTER_EXIT_EVENT, buffer, length);
}

int HalvexUnlockPages(void*) {
  return hx::kSuccess;
}
