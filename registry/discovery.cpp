// Adapter discovery. The NT family lists every installed network adapter
// under the network class key; the 9x family lists the devices present in the
// running system under HKEY_DYN_DATA. Both are walked in enumeration order and
// the first entry that passes every test wins.
#include "registry/discovery.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "platform/unique_handle.h"

namespace hx {
namespace {

using platform::UniqueKey;

// Value texts are read through a 100-byte window; one more byte keeps a
// value that fills it terminated.
constexpr DWORD kValueCapacity = 100;
struct ValueText {
  char text[kValueCapacity + 1] = {};
};

// Discovery runs on the utility's thread and on the monitor's; both would
// write the same results, but one at a time keeps the three fields coherent.
std::mutex& DiscoveryLock() {
  static std::mutex lock;
  return lock;
}

bool OpenRead(HKEY root, const char* path, UniqueKey& key) {
  return RegOpenKeyExA(root, path, 0, State().RegistryReadAccess.load(), key.put()) == ERROR_SUCCESS;
}

// A value too long for the window counts as missing.
bool ReadValue(HKEY key, const char* name, ValueText& value) {
  DWORD size = kValueCapacity;
  return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value.text), &size) ==
         ERROR_SUCCESS;
}

// Copies `text` into a path field when it fits with its NUL; false otherwise.
bool Fits(const std::string& text) {
  return text.size() < kPathLength;
}
void StorePath(char (&field)[kPathLength], const std::string& text) {
  std::memset(field, 0, kPathLength);
  std::memcpy(field, text.data(), std::min(text.size(), kPathLength - 1));
}

int DiscoverNt() {
  UniqueKey classKey;
  if (!OpenRead(HKEY_LOCAL_MACHINE, kNetworkClassKey, classKey)) return kFailure;
  for (DWORD index = 0;; ++index) {
    char name[256] = {};
    DWORD nameLength = sizeof name;
    if (RegEnumKeyExA(classKey.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return kFailure;
    }
    UniqueKey entry;
    if (!OpenRead(classKey.get(), name, entry)) continue;
    ValueText component, instance;
    if (!ReadValue(entry.get(), "ComponentId", component) || !MatchAdapterId(component.text)) continue;
    if (!ReadValue(entry.get(), "NetCfgInstanceId", instance)) continue;
    // An entry whose device does not open belongs to an adapter no longer present.
    platform::UniqueDevice probe(platform::OpenDevice((std::string("\\\\.\\") + instance.text).c_str()));
    if (!probe) continue;
    const std::string keyPath = std::string(kNetworkClassKey) + "\\" + name;
    if (!Fits(keyPath)) continue;  // class subkey names are four digits in practice
    LibraryState& s = State();
    std::lock_guard lock(s.PathLock);
    StorePath(s.AdapterKeyPath, keyPath);
    StorePath(s.AdapterName, instance.text);
    return kSuccess;
  }
}

int Discover9x() {
  UniqueKey present;
  if (!OpenRead(HKEY_DYN_DATA, "Config Manager\\Enum", present)) return kFailure;
  for (DWORD index = 0;; ++index) {
    char name[100] = {};
    DWORD nameLength = sizeof name;
    if (RegEnumKeyExA(present.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return kFailure;
    }
    UniqueKey device, enumKey, hardware;
    ValueText hardwareKey, driver;
    if (!OpenRead(present.get(), name, device) || !ReadValue(device.get(), "HardWareKey", hardwareKey) ||
        !MatchAdapterId(hardwareKey.text)) {
      continue;
    }
    if (!OpenRead(HKEY_LOCAL_MACHINE, "Enum", enumKey) ||
        !OpenRead(enumKey.get(), hardwareKey.text, hardware) ||
        !ReadValue(hardware.get(), "Driver", driver)) {
      continue;
    }
    // The walk's buffer holds 100 bytes; a key text that fills the whole
    // window leaves no room for its NUL and has no binding to follow.
    char binding[kValueCapacity] = {};
    bool bound = false;
    if (const size_t keyLength = std::strlen(hardwareKey.text); keyLength < sizeof binding) {
      std::memcpy(binding, hardwareKey.text, keyLength);
      bound = FindTransportBinding(binding, sizeof binding) == kSuccess;
    }
    const char* backslash = std::strchr(driver.text, '\\');
    LibraryState& s = State();
    std::lock_guard lock(s.PathLock);
    StorePath(s.AdapterKeyPath, kServicesClassPrefix + std::string(driver.text));
    if (bound) StorePath(s.TransportKeyPath, kServicesClassPrefix + std::string(binding));
    if (backslash != nullptr) StorePath(s.AdapterName, backslash + 1);
    return kSuccess;
  }
}

// One level of the binding walk. `visited` holds the device keys already
// walked (upper-cased): bindings that lead back to one of them end the branch
// instead of recursing forever.
int WalkBindings(char* key, size_t capacity, std::vector<std::string>& visited) {
  if (State().OsKind.load() != kOs9x) return kFailure;
  std::string self(key, strnlen(key, capacity));
  std::transform(self.begin(), self.end(), self.begin(), [](unsigned char c) { return std::toupper(c); });
  if (std::find(visited.begin(), visited.end(), self) != visited.end()) return kFailure;
  visited.push_back(self);

  UniqueKey bindings;
  if (!OpenRead(HKEY_LOCAL_MACHINE, ("Enum\\" + self + "\\Bindings").c_str(), bindings)) return kFailure;
  for (DWORD index = 0;; ++index) {
    char name[100] = {};
    DWORD nameLength = sizeof name;
    if (RegEnumValueA(bindings.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return kFailure;
    }
    if (std::strstr(name, "MSTCP") != nullptr) {
      UniqueKey network, transport;
      if (!OpenRead(HKEY_LOCAL_MACHINE, "Enum\\Network", network) ||
          !OpenRead(network.get(), name, transport)) {
        return kFailure;
      }
      // Read aside: a failed read must not leave a half-written key behind.
      std::vector<char> driver(capacity + 1, 0);
      DWORD size = static_cast<DWORD>(capacity);
      if (RegQueryValueExA(transport.get(), "Driver", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(driver.data()), &size) != ERROR_SUCCESS ||
          strnlen(driver.data(), capacity) == capacity) {
        return kFailure;
      }
      std::memcpy(key, driver.data(), capacity);
      return kSuccess;
    }
    // A binding of a binding: one level deeper, if its key name fits.
    const std::string deeper = std::string("Network\\") + name;
    if (deeper.size() >= capacity) continue;
    std::memset(key, 0, capacity);
    std::memcpy(key, deeper.data(), deeper.size());
    if (WalkBindings(key, capacity, visited) == kSuccess) return kSuccess;
  }
}

}  // namespace

bool MatchAdapterId(char* text) {
  for (char* c = text; *c != '\0'; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  return std::any_of(std::begin(kAdapterIds), std::end(kAdapterIds),
                     [&](const char* id) { return std::strstr(text, id) != nullptr; });
}

void CopyPath(const char (&field)[kPathLength], PathText& out) {
  std::lock_guard lock(State().PathLock);
  std::memcpy(out, field, kPathLength);
  out[kPathLength - 1] = '\0';
}

int32_t DetermineOsKind() {
  OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
  auto* basic = reinterpret_cast<OSVERSIONINFOA*>(&info);
  if (!platform::GetVersionInfo(basic)) {
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!platform::GetVersionInfo(basic)) return kOsUnknown;
  }
  struct Masks {
    int32_t kind;
    uint32_t read, write;  // 0: unchanged
  };
  Masks masks{kOsUnknown, 0, 0};
  if (info.dwMajorVersion == 4) {
    masks = {info.dwMinorVersion == 0 ? kOsNt4 : kOs9x, KEY_READ, 0};
  } else if (info.dwMajorVersion == 5) {
    if (info.dwMinorVersion == 1) {
      masks = {kOsXp, KEY_READ | KEY_WOW64_64KEY, KEY_WRITE | KEY_WOW64_64KEY};
    } else if (info.dwMinorVersion == 2) {
      masks = {kOs2003, KEY_READ | KEY_WOW64_64KEY, KEY_WRITE | KEY_WOW64_64KEY};
    } else {
      masks = {kOs2000, KEY_READ, KEY_WRITE};
    }
  } else if (info.dwMajorVersion == 6 || info.dwMajorVersion == 10) {
    // Every Windows since Vista: the NT layout, and a 32-bit library on a
    // 64-bit system must ask for the native view as on XP x64.
    masks = {info.dwMajorVersion == 6 ? kOsNt6 : kOsNt10, KEY_READ | KEY_WOW64_64KEY,
             KEY_WRITE | KEY_WOW64_64KEY};
  }
  LibraryState& s = State();
  if (masks.read != 0) s.RegistryReadAccess.store(masks.read);
  if (masks.write != 0) s.RegistryWriteAccess.store(masks.write);
  return masks.kind;
}

int32_t EnsureOsKind() {
  LibraryState& s = State();
  if (s.OsKind.load() == kOsUnknown) s.OsKind.store(DetermineOsKind());
  return s.OsKind.load();
}

int DiscoverAdapterKey() {
  std::lock_guard lock(DiscoveryLock());
  const int32_t kind = EnsureOsKind();
  if (kind == kOsUnknown) return kFailure;
  return kind == kOs9x ? Discover9x() : DiscoverNt();
}

int FindTransportBinding(char* key, size_t capacity) {
  if (key == nullptr || capacity == 0) return kFailure;
  std::vector<std::string> visited;
  return WalkBindings(key, capacity, visited);
}

}  // namespace hx
