// The seam's exports: a device answered by a caller's C function.
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "HalvexSeam.h"
#include "platform/seam.h"

namespace {

constexpr uint32_t kDeviceGone = 1167;  // ERROR_DEVICE_NOT_CONNECTED

// A device answered by the caller's functions. Withdrawing it waits for the
// calls already in it and fails every later one, so the caller may free the
// context once the withdrawal returns, even while handles stay open (the
// library's monitor keeps its adapter's handle until it is unloaded). A
// device with handle contexts closes those still open as it is withdrawn.
class CallbackDevice final : public hx::platform::Device,
                             public std::enable_shared_from_this<CallbackDevice> {
 public:
  CallbackDevice(HalvexSeamOpen open, HalvexSeamControl control, HalvexSeamClose close, void* context)
      : open_(open), control_(control), close_(close), context_(context) {}

  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override {
    return Call(context_, nullptr, code, in, inLength, out, outLength, returned, error);
  }

  std::shared_ptr<hx::platform::Device> Open() override;

  // One call into the caller's control with `context` (the device's, or a
  // handle's, which `handle` then names and which must still be open).
  bool Call(void* context, const void* handle, uint32_t code, void* in, uint32_t inLength, void* out,
            uint32_t outLength, uint32_t* returned, uint32_t* error) {
    {
      std::lock_guard lock(mutex_);
      if (withdrawn_ || (handle != nullptr && !open_handles_.contains(handle))) {
        *returned = 0;
        *error = kDeviceGone;
        return false;
      }
      ++calls_;
    }
    const bool done = control_(context, code, in, inLength, out, outLength, returned, error) != 0;
    std::lock_guard lock(mutex_);
    if (--calls_ == 0) idle_.notify_all();
    return done;
  }

  // A handle closed: its context goes back, unless withdrawal already did so.
  void CloseHandleContext(const void* handle, void* context) {
    {
      std::unique_lock lock(mutex_);
      if (open_handles_.erase(handle) == 0) return;
      // Not while a call may still use it (another thread's, on this handle).
      idle_.wait(lock, [this] { return calls_ == 0; });
    }
    close_(context_, context);
  }

  void Withdraw() {
    std::map<const void*, void*> open;
    {
      std::unique_lock lock(mutex_);
      withdrawn_ = true;
      idle_.wait(lock, [this] { return calls_ == 0; });
      open.swap(open_handles_);
    }
    for (const auto& [handle, context] : open) close_(context_, context);
  }

 private:
  HalvexSeamOpen open_;
  HalvexSeamControl control_;
  HalvexSeamClose close_;
  void* context_;
  std::mutex mutex_;
  std::condition_variable idle_;
  size_t calls_ = 0;
  bool withdrawn_ = false;
  std::map<const void*, void*> open_handles_;  // by the handle's device, its context
};

// One open handle of a CallbackDevice with handle contexts.
class CallbackHandle final : public hx::platform::Device {
 public:
  CallbackHandle(std::shared_ptr<CallbackDevice> device, void* context)
      : device_(std::move(device)), context_(context) {}
  ~CallbackHandle() override { device_->CloseHandleContext(this, context_); }
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override {
    return device_->Call(context_, this, code, in, inLength, out, outLength, returned, error);
  }

 private:
  std::shared_ptr<CallbackDevice> device_;
  void* context_;
};

std::shared_ptr<hx::platform::Device> CallbackDevice::Open() {
  if (open_ == nullptr) return nullptr;
  {
    std::lock_guard lock(mutex_);
    if (withdrawn_) throw std::runtime_error("withdrawn");
    ++calls_;  // the open counts as a call: withdrawal waits for it
  }
  void* context = open_(context_);
  std::shared_ptr<CallbackHandle> handle;
  {
    std::lock_guard lock(mutex_);
    if (--calls_ == 0) idle_.notify_all();
    if (context != nullptr && !withdrawn_) {
      handle = std::make_shared<CallbackHandle>(shared_from_this(), context);
      open_handles_.emplace(handle.get(), context);
    }
  }
  if (!handle) {
    if (context != nullptr) close_(context_, context);
    throw std::runtime_error("the device refused the handle");
  }
  return handle;
}

// Withdraws the callback device registered at `path`, if there is one.
bool WithdrawAt(const char* path) {
  const std::shared_ptr<hx::platform::Device> device = hx::platform::FindDevice(path);
  if (!device) return false;
  if (auto* callback = dynamic_cast<CallbackDevice*>(device.get())) callback->Withdraw();
  return true;
}

int Register(const char* path, HalvexSeamOpen open, HalvexSeamControl control, HalvexSeamClose close,
             void* context) {
  try {
    // The one it replaces is withdrawn too: its caller may free its context.
    auto device = std::make_shared<CallbackDevice>(open, control, close, context);
    WithdrawAt(path);
    hx::platform::RegisterDevice(path, std::move(device));
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}

}  // namespace

extern "C" int HalvexSeamRegisterDevice(const char* path, HalvexSeamControl control, void* context) {
  if (path == nullptr || *path == '\0' || control == nullptr) return 1;
  return Register(path, nullptr, control, nullptr, context);
}

extern "C" int HalvexSeamRegisterHandleDevice(const char* path, HalvexSeamOpen open,
                                              HalvexSeamControl control, HalvexSeamClose close,
                                              void* context) {
  if (path == nullptr || *path == '\0' || open == nullptr || control == nullptr || close == nullptr) return 1;
  return Register(path, open, control, close, context);
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
