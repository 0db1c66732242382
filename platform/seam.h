// The few things tests must steer even on real Windows: the adapter's device,
// the reported Windows version and the service manager. Each wrapper
// defaults to the real call. Internal: nothing here is exported.
#pragma once

#include <cstdint>
#include <map>
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
  // A device that keeps state per open handle (a driver's event queue)
  // answers each open with a device of that handle's own, released when the
  // handle is closed; null when every handle shares this one. Throwing, or
  // an opened device that is not usable, fails the open.
  virtual std::shared_ptr<Device> Open() { return nullptr; }
};

// The device a new handle on `device` uses: its own, or `device` itself;
// null when the device refuses the open.
std::shared_ptr<Device> OpenHandleOn(const std::shared_ptr<Device>& device);

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

// The service manager (OpenSCManagerA, OpenServiceA, QueryServiceStatus,
// CloseServiceHandle), unless a test chose the services to report: then the
// manager opens when `managerOpens`, a service opens when it is listed, and
// its status reports the listed current state (SERVICE_RUNNING...).
struct ServiceSet {
  bool managerOpens = true;
  std::map<std::string, DWORD> states;  // names compare without regard to case
};
void OverrideServices(std::optional<ServiceSet> services);
SC_HANDLE OpenServiceManager(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceByName(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL QueryServiceState(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL CloseServiceManagerHandle(SC_HANDLE handle);

// Shared by the override and the POSIX service manager: service names
// compare without regard to ASCII case; the state listed for `name`; the
// status reported for a service of its own process in `state`.
bool SameServiceName(const std::string& a, const std::string& b);
std::optional<DWORD> FindServiceState(const std::map<std::string, DWORD>& states, const std::string& name);
void FillServiceStatus(LPSERVICE_STATUS status, DWORD state);

}  // namespace hx::platform
