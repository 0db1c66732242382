// The simulated machine's C interface, in its least form: the adapter with
// its default world, reached through the seam, and the registry its driver's
// setup leaves, kept in the state directory. Capture, request log and
// registry files are not offered here.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HalvexSeam.h"
#include "HalvexSim.h"
#include "platform/reg_file.h"
#include "platform/unique_handle.h"
#include "sim/sim_adapter.h"
#include "sim/sim_registry.h"
#ifndef _WIN32
#include "platform/posix/control.h"
#endif

namespace {

struct Machine {
  std::mutex mutex;
  std::shared_ptr<hx::sim::SimAdapter> adapter;
  // A request already under way when the device is withdrawn still reaches
  // the adapter (the seam cannot say when it ends): stopped ones stay alive.
  std::vector<std::shared_ptr<hx::sim::SimAdapter>> stopped;
};

// Never destroyed: the library may still reach the adapter while the
// process exits.
Machine& TheMachine() {
  static auto* machine = new Machine;
  return *machine;
}

const std::string& InstancePath() {
  static const std::string path = std::string("\\\\.\\") + hx::sim::kInstanceId;
  return path;
}

void Report(char* messages, unsigned size, const std::string& text) {
  if (messages == nullptr || size == 0) return;
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(messages, text.data(), n);
  messages[n] = '\0';
}

// Registered through the seam: on Windows this module's own copy of the
// platform layer is not the one Halvex.dll opens devices through.
int Control(void* context, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
            uint32_t* returned, uint32_t* error) {
  return static_cast<hx::sim::SimAdapter*>(context)->Control(code, in, inLength, out, outLength, returned,
                                                             error)
             ? 1
             : 0;
}

// The driver's setup, unless the registry already holds the adapter's key.
bool PrepareRegistry(const std::filesystem::path& dir, std::string* problem) {
#ifdef _WIN32
  (void)dir;
  *problem = "the simulated registry needs a sandbox key on Windows, not built yet";
  return false;
#else
  const std::string file = (dir / "registry.reg").string();
  if (!hx::posix::UseRegistryFile(file)) {
    *problem = file + ": unreadable, not kept";
    return false;
  }
  hx::platform::UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, hx::sim::kNtAdapterKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    return true;
  if (hx::platform::ImportRegText(hx::sim::RegistrySetup(hx::sim::Family::kNt), problem) != ERROR_SUCCESS)
    return false;
  return true;
#endif
}

int Unavailable(char* messages, unsigned size, const char* what) {
  Report(messages, size, std::string(what) + ": not offered by this build of the simulated machine\n");
  return HALVEXSIM_FAILED;
}

}  // namespace

extern "C" int HalvexSimStart(const char* stateDir, char* messages, unsigned size) {
  Report(messages, size, "");
  if (stateDir == nullptr || *stateDir == '\0') {
    Report(messages, size, "no state directory\n");
    return HALVEXSIM_FAILED;
  }
  try {
    Machine& machine = TheMachine();
    std::lock_guard lock(machine.mutex);
    if (machine.adapter) {
      Report(messages, size, "the machine is already running\n");
      return HALVEXSIM_FAILED;
    }
    std::error_code ec;
    std::filesystem::create_directories(stateDir, ec);
    if (ec) {
      Report(messages, size, std::string(stateDir) + ": " + ec.message() + "\n");
      return HALVEXSIM_FAILED;
    }
    std::string problem;
    if (!PrepareRegistry(stateDir, &problem)) {
      Report(messages, size, problem + "\n");
      return HALVEXSIM_FAILED;
    }
    auto adapter = hx::sim::SimAdapter::Create();
    if (HalvexSeamRegisterDevice(hx::sim::kDevicePath, Control, adapter.get()) != 0 ||
        HalvexSeamRegisterDevice(InstancePath().c_str(), Control, adapter.get()) != 0) {
      HalvexSeamUnregisterDevice(hx::sim::kDevicePath);
      Report(messages, size, "the adapter could not be registered\n");
      return HALVEXSIM_FAILED;
    }
    machine.adapter = std::move(adapter);
    return HALVEXSIM_OK;
  } catch (const std::exception& e) {
    Report(messages, size, std::string(e.what()) + "\n");
    return HALVEXSIM_FAILED;
  }
}

extern "C" int HalvexSimStop(char* messages, unsigned size) {
  Report(messages, size, "");
  try {
    Machine& machine = TheMachine();
    std::lock_guard lock(machine.mutex);
    if (!machine.adapter) {
      Report(messages, size, "the machine is not running\n");
      return HALVEXSIM_FAILED;
    }
    HalvexSeamUnregisterDevice(InstancePath().c_str());
    HalvexSeamUnregisterDevice(hx::sim::kDevicePath);
    machine.stopped.push_back(std::move(machine.adapter));
    return HALVEXSIM_OK;
  } catch (const std::exception& e) {
    Report(messages, size, std::string(e.what()) + "\n");
    return HALVEXSIM_FAILED;
  }
}

extern "C" int HalvexSimCapture(const char* path, char* messages, unsigned size) {
  return Unavailable(messages, size, "capture");
}

extern "C" unsigned HalvexSimRequestLog(char* buffer, unsigned size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return 1;
}

extern "C" int HalvexSimExportRegistry(const char* key, const char* path, char* messages, unsigned size) {
  return Unavailable(messages, size, "registry export");
}

extern "C" int HalvexSimImportRegistry(const char* path, char* messages, unsigned size) {
  return Unavailable(messages, size, "registry import");
}

extern "C" int HalvexSimPortOpen(void) {
  return 0;
}
