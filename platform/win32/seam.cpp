// The seam on Windows: a registered device is reached through a real, unique
// handle (an unnamed event used as a token) so callers can keep treating it
// as a kernel handle; everything else goes to the real calls.
#include <map>

#include "platform/lock.h"
#include "platform/seam_internal.h"

namespace hx::platform {
namespace {

struct TokenMap {
  Lock lock;
  std::map<HANDLE, std::shared_ptr<Device>> devices;
};

// Never destroyed: a thread may still close a device during exit.
TokenMap& Tokens() {
  static auto* tokens = new TokenMap;
  return *tokens;
}

std::shared_ptr<Device> FindToken(HANDLE handle) {
  TokenMap& tokens = Tokens();
  Guard lock(tokens.lock);
  auto found = tokens.devices.find(handle);
  return found == tokens.devices.end() ? nullptr : found->second;
}

}  // namespace

HANDLE OpenDevice(const char* path) {
  std::shared_ptr<Device> device = path != nullptr ? FindDevice(path) : nullptr;
  if (!device) return CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  device = OpenHandleOn(device);
  if (!device) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE token = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (token == nullptr) return INVALID_HANDLE_VALUE;
  try {
    TokenMap& tokens = Tokens();
    Guard lock(tokens.lock);
    tokens.devices[token] = std::move(device);
  } catch (...) {
    CloseHandle(token);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return token;
}

BOOL DeviceControl(HANDLE handle, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength,
                   DWORD* returned) {
  std::shared_ptr<Device> device = FindToken(handle);
  if (!device) return DeviceIoControl(handle, code, in, inLength, out, outLength, returned, nullptr);
  return hx::platform::CallDevice(*device, code, in, inLength, out, outLength, returned);
}

BOOL CloseDevice(HANDLE handle) {
  std::shared_ptr<Device> released;  // destroyed outside the lock
  {
    TokenMap& tokens = Tokens();
    Guard lock(tokens.lock);
    auto found = tokens.devices.find(handle);
    if (found != tokens.devices.end()) {
      released = std::move(found->second);
      // Forget the token before closing it: once closed, Windows may hand the
      // same value to an unrelated handle.
      tokens.devices.erase(found);
    }
  }
  return CloseHandle(handle);
}

BOOL GetVersionInfo(OSVERSIONINFOA* info) {
  if (std::optional<ReportedVersion> version = VersionOverride()) return FillVersionInfo(info, *version);
  return GetVersionExA(info);
}

}  // namespace hx::platform
