// The few things tests must steer even on real Windows: the adapter's device,
// the reported Windows version (and, later, the service manager). Each wrapper
// defaults to the real call. Internal: nothing here is exported.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/win32.h"  // HANDLE, BOOL, OSVERSIONINFOA for either platform

namespace hx::platform {

// A device reachable by CreateFileA under a name such as "\\.\HalvexDev0".
// Control() has DeviceIoControl's contract: returns false with *error set on
// failure; *returned is the bytes-returned count in both cases.
class Device {
 public:
  virtual ~Device() = default;
  virtual bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                       uint32_t* returned, uint32_t* error) = 0;
};

// Registers (or replaces) a device under a case-insensitive path.
void RegisterDevice(const std::string& path, std::shared_ptr<Device> device);
void UnregisterDevice(const std::string& path);
std::shared_ptr<Device> FindDevice(const std::string& path);

// CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr) reaching
// registered devices first.
HANDLE OpenDevice(const char* path);
BOOL DeviceControl(HANDLE device, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength,
                   DWORD* returned);
BOOL CloseDevice(HANDLE device);

// GetVersionExA, unless a test chose the version to report.
struct ReportedVersion {
  DWORD major = 0;
  DWORD minor = 0;
  DWORD build = 0;
  DWORD platformId = 2;  // VER_PLATFORM_WIN32_NT; 1 for the 9x family
};
void OverrideVersion(std::optional<ReportedVersion> version);
BOOL GetVersionInfo(OSVERSIONINFOA* info);

}  // namespace hx::platform
