#include "tests/support/stored_settings.h"

namespace hx::test {

std::optional<std::vector<uint8_t>> ReadStoredBytes(const char* keyPath, const char* name) {
  platform::UniqueKey key;
  std::string bytes;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
      ReadValue(key.get(), name, nullptr, &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::optional<std::string> ReadStoredText(const char* keyPath, const char* name) {
  std::optional<std::vector<uint8_t>> data = ReadStoredBytes(keyPath, name);
  if (!data) return std::nullopt;
  std::string text(data->begin(), data->end());
  return text.substr(0, text.find('\0'));
}

void WriteStoredText(const char* keyPath, const char* name, std::string_view text) {
  platform::UniqueKey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_WRITE, key.put()), ERROR_SUCCESS) << keyPath;
  ASSERT_EQ(WriteValue(key.get(), name, REG_SZ, text), ERROR_SUCCESS);
}

void StoredSettingsTest::SetUp() {
  platform::OverrideVersion(version_);
  LibraryTest::SetUp();
  sandbox.Import(sim::RegistrySetup(family_));
  if (family_ == sim::Family::kNt) instance = std::make_unique<sim::InstancePath>(sim);
  Open();
}

void StoredSettingsTest::TearDown() {
  LibraryTest::TearDown();
  instance.reset();
  platform::OverrideVersion(std::nullopt);
}

}  // namespace hx::test
