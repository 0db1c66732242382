// Whether Windows' own wireless configuration service manages this adapter,
// so the library can stand back while it does.
#include <cstring>
#include <string>

#include "frame/channel.h"
#include "frame/state.h"
#include "platform/unique_handle.h"

namespace hx {
namespace {

constexpr const char* kServiceName = "WZCSVC";
constexpr const char* kInterfacesKey = "Software\\Microsoft\\WZCSVC\\Parameters\\Interfaces\\";
constexpr ULONG kManagedBit = 0x00008000;
constexpr DWORD kServiceAccess = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;

// False only when the service is known to be installed and not running; a
// manager or service that cannot be asked counts as running, so systems
// without the service go on to the registry test.
bool ServiceMayBeRunning() {
  platform::UniqueServiceHandle manager(platform::OpenServiceManager(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return true;
  platform::UniqueServiceHandle service(
      platform::OpenServiceByName(manager.get(), kServiceName, kServiceAccess));
  if (!service) return true;
  SERVICE_STATUS status{};
  if (!platform::QueryServiceState(service.get(), &status)) return true;
  return status.dwCurrentState == SERVICE_RUNNING;
}

// The adapter's key path, opening the adapter for the question when none is
// open and closing it again whatever the answer.
bool AdapterKeyPath(char (&path)[400]) {
  LibraryState& s = State();
  if (void* open = s.AdapterHandle.load())
    return HalvexQueryRegistryPath(open, path, sizeof path) == kSuccess;
  // Opening stores the handle in AdapterHandle and closing clears it again.
  void* adapter = nullptr;
  if (HalvexOpenAdapter(adapter) != kSuccess) return false;
  const bool found = HalvexQueryRegistryPath(adapter, path, sizeof path) == kSuccess;
  HalvexCloseAdapter(adapter);
  return found;
}

}  // namespace
}  // namespace hx

int HalvexQueryWZCStatusCheck(int& answer) {
  using namespace hx;
  if (IsBadWritePtr(&answer, sizeof answer)) return kBadBuffer;
  if (!ServiceMayBeRunning()) return kFailure;
  char path[400] = {};
  if (!AdapterKeyPath(path)) return kFailure;
  char instance[100] = {};
  // One byte short of the buffer keeps the id terminated whatever is stored.
  if (HalvexQueryRegistry(path, "NetCfgInstanceId", instance, sizeof instance - 1) != kSuccess)
    return kFailure;
  const std::string interfaceKey = std::string(kInterfacesKey) + instance;
  ULONG flags = 0;
  if (HalvexQueryRegistry(interfaceKey.c_str(), "ControlFlags", flags) != kSuccess) {
    answer = 1;  // unreadable flags: assume the service is in charge
    return kSuccess;
  }
  answer = (flags & kManagedBit) != 0 ? 1 : 0;
  return kSuccess;
}
