// The registry of devices reachable by name (tests and the simulated adapter
// register theirs here); shared by both platforms' seams.
#include <map>

#include "platform/lock.h"
#include "platform/seam_internal.h"
#include "platform/win32.h"

namespace hx::platform {
namespace {

struct Registry {
  Lock lock;
  std::map<std::string, std::shared_ptr<Device>> devices;
};

// Never destroyed: a detached thread may look a device up during exit.
Registry& Devices() {
  static auto* registry = new Registry;
  return *registry;
}

// Windows device names compare without regard to ASCII case.
std::string Key(const std::string& path) {
  std::string key = path;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace

void RegisterDevice(const std::string& path, std::shared_ptr<Device> device) {
  if (!device) {
    UnregisterDevice(path);
    return;
  }
  std::string key = Key(path);
  std::shared_ptr<Device> replaced;  // destroyed outside the lock
  Registry& registry = Devices();
  Guard lock(registry.lock);
  std::shared_ptr<Device>& slot = registry.devices[std::move(key)];
  replaced = std::move(slot);
  slot = std::move(device);
}

void UnregisterDevice(const std::string& path) {
  std::shared_ptr<Device> removed;
  Registry& registry = Devices();
  Guard lock(registry.lock);
  auto found = registry.devices.find(Key(path));
  if (found == registry.devices.end()) return;
  removed = std::move(found->second);
  registry.devices.erase(found);
}

std::shared_ptr<Device> FindDevice(const std::string& path) {
  Registry& registry = Devices();
  Guard lock(registry.lock);
  auto found = registry.devices.find(Key(path));
  return found == registry.devices.end() ? nullptr : found->second;
}

std::shared_ptr<Device> OpenHandleOn(const std::shared_ptr<Device>& device) {
  try {
    std::shared_ptr<Device> own = device->Open();
    return own ? own : device;
  } catch (...) {
    return nullptr;
  }
}

BOOL CallDevice(Device& device, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength,
                DWORD* returned) {
  uint32_t count = 0;
  uint32_t error = ERROR_SUCCESS;
  bool ok = false;
  try {
    ok = device.Control(code, in, inLength, out, outLength, &count, &error);
  } catch (...) {
    ok = false;
    count = 0;
    error = ERROR_GEN_FAILURE;
  }
  if (returned != nullptr) *returned = count;
  if (!ok) {
    SetLastError(error == ERROR_SUCCESS ? static_cast<DWORD>(ERROR_GEN_FAILURE) : error);
    return FALSE;
  }
  return TRUE;
}

}  // namespace hx::platform
