#include "tools/stored.h"

#include <algorithm>
#include <cctype>

#include "Halvex.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace halvexctl {
namespace {

using hx::platform::UniqueKey;

bool Open(const std::string& path, REGSAM access, UniqueKey& key) {
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key.put()) == ERROR_SUCCESS;
}

}  // namespace

std::optional<std::string> StoredValue::Text() const {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  std::string text(data.begin(), data.end());
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

bool NoCase::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

std::optional<std::string> AdapterKeyPath(void* adapter) {
  char path[260] = {};
  if (HalvexQueryRegistryPath(adapter, path, sizeof path - 1) != HALVEX_RESULT_SUCCESS || path[0] == '\0')
    return std::nullopt;
  return std::string(path);
}

std::optional<StoredValue> ReadStoredValue(const std::string& keyPath, const std::string& name) {
  UniqueKey key;
  if (!Open(keyPath, KEY_READ, key)) return std::nullopt;
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return std::nullopt;
  StoredValue value{type, std::vector<unsigned char>(size)};
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, value.data.data(), &size) != ERROR_SUCCESS)
    return std::nullopt;
  value.data.resize(size);
  value.type = type;
  return value;
}

std::optional<StoredValues> ReadStoredValues(const std::string& keyPath) {
  UniqueKey key;
  if (!Open(keyPath, KEY_READ, key)) return std::nullopt;
  StoredValues values;
  for (DWORD index = 0;; ++index) {
    char name[16384];
    DWORD nameLength = sizeof name, type = 0, size = 0;
    const LONG listed = RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type, nullptr, &size);
    if (listed == ERROR_NO_MORE_ITEMS) return values;
    if (listed != ERROR_SUCCESS) return std::nullopt;
    StoredValue value{type, std::vector<unsigned char>(size)};
    DWORD read = size;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, value.data.data(), &read) != ERROR_SUCCESS)
      return std::nullopt;
    value.data.resize(read);
    values[std::string(name, nameLength)] = std::move(value);
  }
}

bool RestoreStoredValues(const std::string& keyPath, const StoredValues& wanted,
                         std::vector<std::string>* changed, std::string* error) {
  const std::optional<StoredValues> now = ReadStoredValues(keyPath);
  UniqueKey key;
  if (!now || !Open(keyPath, KEY_READ | KEY_WRITE, key)) {
    *error = "the adapter's registry key cannot be opened";
    return false;
  }
  bool ok = true;
  for (const auto& [name, value] : wanted) {
    auto it = now->find(name);
    if (it != now->end() && it->second == value) continue;
    changed->push_back(name);
    // NT adds a NUL to string data whose next byte is one: a byte that is not
    // keeps the stored bytes exact.
    std::vector<unsigned char> data(value.data);
    data.push_back(0xFF);
    ok = RegSetValueExA(key.get(), name.c_str(), 0, value.type, data.data(),
                        static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS &&
         ok;
  }
  for (const auto& [name, value] : *now) {
    if (wanted.count(name) != 0) continue;
    changed->push_back(name);
    ok = RegDeleteValueA(key.get(), name.c_str()) == ERROR_SUCCESS && ok;
  }
  if (!ok) *error = "the adapter's registry key could not be put back whole";
  return ok;
}

}  // namespace halvexctl
