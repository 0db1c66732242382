// The fixture of the setting tests: the adapter set up in the registry and
// reached through a device that lets a test look at the library's state at
// the moment each set request arrives at the driver.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frame/oids.h"
#include "platform/seam.h"
#include "platform/unique_handle.h"
#include "tests/support/stored_settings.h"

namespace hx::test {

class SetObserver : public platform::Device {
 public:
  explicit SetObserver(std::shared_ptr<sim::SimAdapter> adapter) : adapter_(std::move(adapter)) {}

  // Runs on the requesting thread, before the adapter sees the request.
  std::function<void(uint32_t oid)> onSet;

  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override {
    if (code == IOCTL_OID_SET && inLength >= 4 && onSet) onSet(sim::ReadWord(static_cast<uint8_t*>(in)));
    return adapter_->Control(code, in, inLength, out, outLength, returned, error);
  }

 private:
  std::shared_ptr<sim::SimAdapter> adapter_;
};

// A handle that is not the open adapter.
inline void* const kRefusedHandle = reinterpret_cast<void*>(uintptr_t{0x999});

class SettingsTest : public StoredSettingsTest {
 protected:
  void SetUp() override {
    StoredSettingsTest::SetUp();
    if (HasFatalFailure()) return;
    observer = std::make_shared<SetObserver>(sim);
    ReopenThrough(observer);
  }

  // Closes the adapter and opens it again through `device`: the handle keeps
  // the device it was opened on.
  void ReopenThrough(std::shared_ptr<platform::Device> device) {
    ASSERT_EQ(HalvexCloseAdapter(adapter), 0);
    platform::RegisterDevice(sim::kDevicePath, std::move(device));
    Open();
  }

  // Every value under the adapter's key, for checks that nothing changed.
  std::map<std::string, std::vector<uint8_t>> AllStored() {
    std::map<std::string, std::vector<uint8_t>> values;
    platform::UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, AdapterKey(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
      return values;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD nameLength = sizeof name;
      BYTE data[512];
      DWORD size = sizeof data;
      if (RegEnumValueA(key.get(), i, name, &nameLength, nullptr, nullptr, data, &size) != ERROR_SUCCESS)
        break;
      values[std::string(name, nameLength)] = std::vector<uint8_t>(data, data + size);
    }
    return values;
  }

  std::shared_ptr<SetObserver> observer;
};

inline sim::Bytes BytesOf(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  return sim::Bytes(b, b + n);
}

// The first `n` payload bytes of a request: what the command meant to send,
// without the channel's padding.
inline sim::Bytes Sent(const sim::ControlCall& call, size_t n) {
  sim::Bytes payload = call.Payload();
  payload.resize(std::min(payload.size(), n));
  return payload;
}

}  // namespace hx::test
