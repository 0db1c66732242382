// The service seam: a test's chosen services behind fake handles, otherwise
// the real service manager (the emulated one on POSIX).
#include <algorithm>
#include <cctype>
#include <map>

#include "platform/lock.h"
#include "platform/win32.h"

namespace hx::platform {
namespace {

// Fake handles are odd, so they never equal a real service handle (an
// aligned pointer on Windows, a multiple of 4 in the emulation), and never
// reused.
constexpr uintptr_t kFirstFake = 0x00F00001;
constexpr uintptr_t kFakeStep = 2;

struct Fake {
  bool manager = false;
  std::string name;
};

struct Overrides {
  Lock lock;
  std::optional<ServiceSet> services;
  std::map<uintptr_t, Fake> handles;
  uintptr_t next = kFirstFake;
};

// Never destroyed: a thread may still close a handle during exit.
Overrides& Current() {
  static auto* current = new Overrides;
  return *current;
}

SC_HANDLE NewFake(Overrides& current, bool manager, const std::string& name) {
  uintptr_t value = current.next;
  current.next += kFakeStep;
  current.handles.emplace(value, Fake{manager, name});
  return reinterpret_cast<SC_HANDLE>(value);
}

// The fake behind a handle, if it is one.
std::optional<Fake> FindFake(Overrides& current, SC_HANDLE handle) {
  auto found = current.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (found == current.handles.end()) return std::nullopt;
  return found->second;
}

}  // namespace

bool SameServiceName(const std::string& a, const std::string& b) {
  auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::optional<DWORD> FindServiceState(const std::map<std::string, DWORD>& states, const std::string& name) {
  for (const auto& [listed, state] : states) {
    if (SameServiceName(listed, name)) return state;
  }
  return std::nullopt;
}

void FillServiceStatus(LPSERVICE_STATUS status, DWORD state) {
  *status = SERVICE_STATUS{};
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status->dwCurrentState = state;
  status->dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
}

void OverrideServices(std::optional<ServiceSet> services) {
  Overrides& current = Current();
  Guard lock(current.lock);
  current.services = std::move(services);
}

SC_HANDLE OpenServiceManager(LPCSTR machine, LPCSTR database, DWORD access) {
  {
    Overrides& current = Current();
    Guard lock(current.lock);
    if (current.services) {
      if (current.services->managerOpens) return NewFake(current, true, {});
      SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
      return nullptr;
    }
  }
  return OpenSCManagerA(machine, database, access);
}

SC_HANDLE OpenServiceByName(SC_HANDLE manager, LPCSTR name, DWORD access) {
  {
    Overrides& current = Current();
    Guard lock(current.lock);
    if (std::optional<Fake> fake = FindFake(current, manager)) {
      DWORD error = ERROR_SUCCESS;
      if (!fake->manager) {
        error = ERROR_INVALID_HANDLE;
      } else if (name == nullptr) {
        error = ERROR_INVALID_PARAMETER;
      } else if (!current.services || !FindServiceState(current.services->states, name)) {
        error = ERROR_SERVICE_DOES_NOT_EXIST;
      } else {
        return NewFake(current, false, name);
      }
      SetLastError(error);
      return nullptr;
    }
  }
  return OpenServiceA(manager, name, access);
}

BOOL QueryServiceState(SC_HANDLE service, LPSERVICE_STATUS status) {
  {
    Overrides& current = Current();
    Guard lock(current.lock);
    if (std::optional<Fake> fake = FindFake(current, service)) {
      if (fake->manager || status == nullptr) {
        SetLastError(fake->manager ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      // A service no longer listed reads as stopped.
      std::optional<DWORD> state =
          current.services ? FindServiceState(current.services->states, fake->name) : std::nullopt;
      FillServiceStatus(status, state.value_or(SERVICE_STOPPED));
      return TRUE;
    }
  }
  return QueryServiceStatus(service, status);
}

BOOL CloseServiceManagerHandle(SC_HANDLE handle) {
  {
    Overrides& current = Current();
    Guard lock(current.lock);
    if (current.handles.erase(reinterpret_cast<uintptr_t>(handle)) > 0) return TRUE;
  }
  return CloseServiceHandle(handle);
}

}  // namespace hx::platform
