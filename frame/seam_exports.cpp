// The seam's exports: a device answered by a caller's C function.
#include <exception>
#include <memory>
#include <string>

#include "HalvexSeam.h"
#include "platform/seam.h"

namespace {

class CallbackDevice final : public hx::platform::Device {
 public:
  CallbackDevice(HalvexSeamControl control, void* context) : control_(control), context_(context) {}
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override {
    return control_(context_, code, in, inLength, out, outLength, returned, error) != 0;
  }

 private:
  HalvexSeamControl control_;
  void* context_;
};

}  // namespace

extern "C" int HalvexSeamRegisterDevice(const char* path, HalvexSeamControl control, void* context) {
  if (path == nullptr || *path == '\0' || control == nullptr) return 1;
  try {
    hx::platform::RegisterDevice(path, std::make_shared<CallbackDevice>(control, context));
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}

extern "C" int HalvexSeamUnregisterDevice(const char* path) {
  if (path == nullptr) return 1;
  try {
    if (!hx::platform::FindDevice(path)) return 1;
    hx::platform::UnregisterDevice(path);
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}
