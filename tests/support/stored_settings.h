// A fixture whose simulated adapter is set up in the registry as the driver's
// installation leaves it (NT family, Windows XP reported), with the adapter open.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_handle.h"
#include "sim/sim_registry.h"
#include "tests/support/fixture.h"
#include "tests/support/registry_sandbox.h"

namespace hx::test {

// The value's raw bytes as the registry returns them, if it exists.
std::optional<std::vector<uint8_t>> ReadStoredBytes(const char* keyPath, const char* name);
// The same, up to the first NUL.
std::optional<std::string> ReadStoredText(const char* keyPath, const char* name);
// Stores `text` as REG_SZ, exactly its characters.
void WriteStoredText(const char* keyPath, const char* name, std::string_view text);

class StoredSettingsTest : public LibraryTest {
 protected:
  // The reported Windows and the registry setup; the adapter is opened after.
  explicit StoredSettingsTest(sim::Family family = sim::Family::kNt,
                              platform::ReportedVersion version = {5, 1, 2600, 2})
      : family_(family), version_(version) {}

  void SetUp() override;
  void TearDown() override;

  const char* AdapterKey() const {
    return family_ == sim::Family::kNt ? sim::kNtAdapterKey : sim::k9xAdapterKey;
  }
  std::optional<std::vector<uint8_t>> StoredBytes(const char* name) {
    return ReadStoredBytes(AdapterKey(), name);
  }
  std::optional<std::string> StoredText(const char* name) { return ReadStoredText(AdapterKey(), name); }
  void Store(const char* name, std::string_view text) { WriteStoredText(AdapterKey(), name, text); }
  void StoreAll(const std::map<std::string, std::string>& values) {
    for (const auto& [name, text] : values) Store(name.c_str(), text);
  }

  RegistrySandbox sandbox;
  std::unique_ptr<sim::InstancePath> instance;

 private:
  sim::Family family_;
  platform::ReportedVersion version_;
};

}  // namespace hx::test
