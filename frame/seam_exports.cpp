// The seam's exports: a device answered by a caller's C function.
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "HalvexSeam.h"
#include "platform/seam.h"

namespace {

// A device answered by the caller's function. Withdrawing it waits for the
// calls already in it and fails every later one, so the caller may free the
// context once the withdrawal returns, even while handles stay open (the
// library's monitor keeps its adapter's handle until it is unloaded).
class CallbackDevice final : public hx::platform::Device {
 public:
  CallbackDevice(HalvexSeamControl control, void* context) : control_(control), context_(context) {}
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override {
    {
      std::lock_guard lock(mutex_);
      if (withdrawn_) {
        *returned = 0;
        *error = kDeviceGone;
        return false;
      }
      ++calls_;
    }
    const bool done = control_(context_, code, in, inLength, out, outLength, returned, error) != 0;
    std::lock_guard lock(mutex_);
    if (--calls_ == 0) idle_.notify_all();
    return done;
  }

  void Withdraw() {
    std::unique_lock lock(mutex_);
    withdrawn_ = true;
    idle_.wait(lock, [this] { return calls_ == 0; });
  }

 private:
  static constexpr uint32_t kDeviceGone = 1167;  // ERROR_DEVICE_NOT_CONNECTED

  HalvexSeamControl control_;
  void* context_;
  std::mutex mutex_;
  std::condition_variable idle_;
  size_t calls_ = 0;
  bool withdrawn_ = false;
};

// Withdraws the callback device registered at `path`, if there is one.
bool WithdrawAt(const char* path) {
  const std::shared_ptr<hx::platform::Device> device = hx::platform::FindDevice(path);
  if (!device) return false;
  if (auto* callback = dynamic_cast<CallbackDevice*>(device.get())) callback->Withdraw();
  return true;
}

}  // namespace

extern "C" int HalvexSeamRegisterDevice(const char* path, HalvexSeamControl control, void* context) {
  if (path == nullptr || *path == '\0' || control == nullptr) return 1;
  try {
    // The one it replaces is withdrawn too: its caller may free its context.
    auto device = std::make_shared<CallbackDevice>(control, context);
    WithdrawAt(path);
    hx::platform::RegisterDevice(path, std::move(device));
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}

extern "C" int HalvexSeamUnregisterDevice(const char* path) {
  if (path == nullptr) return 1;
  try {
    if (!WithdrawAt(path)) return 1;
    hx::platform::UnregisterDevice(path);
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}
