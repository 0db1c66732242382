// The adapter's registry key as it is stored: each value's type and bytes,
// read and put back exactly. The key's path is the library's
// (HalvexQueryRegistryPath); the values are read the way regedit reads them,
// since no export of the library reports a value's type or lists a key.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halvexctl {

struct StoredValue {
  uint32_t type = 0;  // REG_SZ, REG_DWORD...
  std::vector<unsigned char> data;
  bool operator==(const StoredValue&) const = default;
  // The text of a REG_SZ value, without the terminator the registry may add.
  std::optional<std::string> Text() const;
};

struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const;
};
// A key's values by name (names compare without case, as the registry's).
using StoredValues = std::map<std::string, StoredValue, NoCase>;

// The adapter's key below HKEY_LOCAL_MACHINE, as the library found it.
std::optional<std::string> AdapterKeyPath(void* adapter);

std::optional<StoredValue> ReadStoredValue(const std::string& keyPath, const std::string& name);
// Every value of the key (not its subkeys); nothing when it cannot be read.
std::optional<StoredValues> ReadStoredValues(const std::string& keyPath);
// Makes the key's values exactly `wanted`: changed and removed ones written
// back, added ones deleted. The names of what changed go to *changed.
bool RestoreStoredValues(const std::string& keyPath, const StoredValues& wanted,
                         std::vector<std::string>* changed, std::string* error);

}  // namespace halvexctl
