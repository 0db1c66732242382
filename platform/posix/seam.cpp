// The seam on POSIX: the emulated calls already reach the device registry.
#include "platform/seam_internal.h"

namespace hx::platform {

HANDLE OpenDevice(const char* path) {
  return CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL DeviceControl(HANDLE device, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength,
                   DWORD* returned) {
  return DeviceIoControl(device, code, in, inLength, out, outLength, returned, nullptr);
}

BOOL CloseDevice(HANDLE device) {
  return CloseHandle(device);
}

BOOL GetVersionInfo(OSVERSIONINFOA* info) {
  if (std::optional<ReportedVersion> version = VersionOverride()) return FillVersionInfo(info, *version);
  return GetVersionExA(info);
}

}  // namespace hx::platform
