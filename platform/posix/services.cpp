// The service manager: services a test or the utility declares, each with a
// current state, behind handles from the handle counter.
#include <unordered_map>

#include "platform/posix/control.h"
#include "platform/posix/objects.h"

namespace hx::posix {
namespace {

struct ServiceHandle {
  bool manager = false;
  std::string name;
};

struct Manager {
  std::mutex mutex;
  bool available = true;
  std::map<std::string, DWORD> states;
  std::unordered_map<uint32_t, ServiceHandle> handles;
};

// Never destroyed: a thread may still close a handle during exit.
Manager& TheManager() {
  static auto* manager = new Manager;
  return *manager;
}

// The entry listed under `name` in any case.
std::map<std::string, DWORD>::iterator FindListed(Manager& manager, const std::string& name) {
  for (auto it = manager.states.begin(); it != manager.states.end(); ++it) {
    if (platform::SameServiceName(it->first, name)) return it;
  }
  return manager.states.end();
}

ServiceHandle* FindHandle(Manager& manager, SC_HANDLE handle) {
  auto raw = reinterpret_cast<uintptr_t>(handle);
  if (raw == 0 || raw > 0xFFFFFFFFu) return nullptr;
  auto found = manager.handles.find(static_cast<uint32_t>(raw));
  return found == manager.handles.end() ? nullptr : &found->second;
}

SC_HANDLE NewHandle(Manager& manager, bool isManager, std::string name) {
  uint32_t value = NextHandleValue();
  if (value == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  manager.handles.emplace(value, ServiceHandle{isManager, std::move(name)});
  return reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(value));
}

}  // namespace

void SetService(const std::string& name, uint32_t currentState) {
  Manager& manager = TheManager();
  std::lock_guard lock(manager.mutex);
  auto listed = FindListed(manager, name);
  if (listed != manager.states.end()) {
    listed->second = currentState;  // the first spelling stays
  } else {
    manager.states.emplace(name, currentState);
  }
}

void RemoveService(const std::string& name) {
  Manager& manager = TheManager();
  std::lock_guard lock(manager.mutex);
  auto listed = FindListed(manager, name);
  if (listed != manager.states.end()) manager.states.erase(listed);
}

void SetServiceManagerAvailable(bool available) {
  Manager& manager = TheManager();
  std::lock_guard lock(manager.mutex);
  manager.available = available;
}

void ResetServices() {
  Manager& manager = TheManager();
  std::lock_guard lock(manager.mutex);
  manager.available = true;
  manager.states.clear();
}

}  // namespace hx::posix

using namespace hx::posix;

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
  Manager& manager = TheManager();
  std::lock_guard lock(manager.mutex);
  if (!manager.available) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  return NewHandle(manager, true, {});
}

SC_HANDLE OpenServiceA(SC_HANDLE managerHandle, LPCSTR name, DWORD) {
  Manager& manager = TheManager();
  std::lock_guard lock(manager.mutex);
  ServiceHandle* handle = FindHandle(manager, managerHandle);
  DWORD error = ERROR_SUCCESS;
  if (handle == nullptr || !handle->manager) {
    error = ERROR_INVALID_HANDLE;
  } else if (name == nullptr) {
    error = ERROR_INVALID_PARAMETER;
  } else if (!hx::platform::FindServiceState(manager.states, name)) {
    error = ERROR_SERVICE_DOES_NOT_EXIST;
  } else {
    return NewHandle(manager, false, name);
  }
  SetLastError(error);
  return nullptr;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  Manager& manager = TheManager();
  std::lock_guard lock(manager.mutex);
  ServiceHandle* handle = FindHandle(manager, service);
  if (handle == nullptr || handle->manager || status == nullptr) {
    SetLastError(handle == nullptr || handle->manager ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A service removed while open reads as stopped.
  std::optional<DWORD> state = hx::platform::FindServiceState(manager.states, handle->name);
  hx::platform::FillServiceStatus(status, state.value_or(SERVICE_STOPPED));
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  Manager& manager = TheManager();
  std::lock_guard lock(manager.mutex);
  if (FindHandle(manager, handle) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  manager.handles.erase(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)));
  return TRUE;
}
