// Devices opened by name: the only "files" the library opens.
#include <string>

#include "platform/posix/objects.h"
#include "platform/seam_internal.h"

using namespace hx::posix;

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<hx::platform::Device> device = hx::platform::FindDevice(name);
  if (!device) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  device = hx::platform::OpenHandleOn(device);
  if (!device) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<DeviceObject> object;
  try {
    object = std::make_shared<DeviceObject>(std::move(device));
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = InsertHandle(std::move(object));
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                     LPDWORD returned, LPOVERLAPPED) {
  std::shared_ptr<Object> object = LookupHandle(handle);
  if (!object || object->kind != ObjectKind::kDevice) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The reference keeps the device alive through the call even if the handle
  // is closed or the device unregistered meanwhile.
  std::shared_ptr<hx::platform::Device> device = static_cast<DeviceObject&>(*object).device;
  return hx::platform::CallDevice(*device, code, in, inLength, out, outLength, returned);
}
