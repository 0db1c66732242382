// The adapter setting store: every access of the library to the adapter's
// class key, and the generic access to any key under HKEY_LOCAL_MACHINE.
// Every operation opens and closes its own key, so the utility's thread and
// the monitor's share nothing here but the key path and the access masks.
#include "registry/store.h"

#include <algorithm>
#include <cstring>

#include "frame/channel.h"
#include "platform/unique_handle.h"
#include "platform/wipe.h"
#include "registry/discovery.h"
#include "registry/text.h"

namespace hx {
namespace {

using platform::UniqueKey;

REGSAM Access(bool write) {
  LibraryState& s = State();
  return write ? s.RegistryWriteAccess.load() : s.RegistryReadAccess.load();
}

// The adapter's class key, found first when the path is not known yet.
bool OpenAdapterKey(bool write, UniqueKey& key) {
  PathText path;
  CopyPath(State().AdapterKeyPath, path);
  if (path[0] == '\0') {
    if (DiscoverAdapterKey() != kSuccess) return false;
    CopyPath(State().AdapterKeyPath, path);
    if (path[0] == '\0') return false;  // closed again meanwhile
  }
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, Access(write), key.put()) == ERROR_SUCCESS;
}

bool OpenKeyPath(const char* path, bool write, UniqueKey& key) {
  // No path would open the machine root itself: nothing is written there.
  if (write && (path == nullptr || *path == '\0')) return false;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, Access(write), key.put()) == ERROR_SUCCESS;
}

int SetValue(HKEY key, const char* name, DWORD type, const void* data, ULONG length) {
  static const BYTE kNothing = 0;  // some callers store nothing from no buffer
  const BYTE* bytes = data != nullptr ? static_cast<const BYTE*>(data) : &kNothing;
  if (type != REG_SZ && type != REG_MULTI_SZ) {
    return RegSetValueExA(key, name, 0, type, bytes, length) == ERROR_SUCCESS ? kSuccess : kFailure;
  }
  // Windows NT looks at the byte after string data that lacks its NUL and
  // stores a NUL too when that byte is one: the stored size would depend on
  // whatever follows the caller's buffer (and the look reads past it). A copy
  // with a NUL behind it stores the same on every Windows and every buffer.
  // A count with no room left for the NUL cannot be copied (32-bit hosts).
  if (size_t{length} + 1 == 0) return kFailure;
  // The data may be a key: the copy is wiped when released.
  WipedBlock text = AllocateWiped(size_t{length} + 1, false);
  if (!text) return kFailure;
  if (length != 0) std::memcpy(text.get(), bytes, length);
  text.get()[length] = 0;
  return RegSetValueExA(key, name, 0, type, text.get(), length) == ERROR_SUCCESS ? kSuccess : kFailure;
}

// Queries a value into `buffer`; false when it is missing or larger.
bool QueryValue(HKEY key, const char* name, void* buffer, DWORD& size) {
  return RegQueryValueExA(key, name, nullptr, nullptr, static_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS;
}

int QueryNumberExport(void* adapter, const char* name, ULONG& value) {
  if (IsBadWritePtr(&value, sizeof value)) return kBadBuffer;
  ULONG read = 0;
  if (ReadAdapterNumber(adapter, name, read) != kSuccess) return kFailure;
  value = read;
  return kSuccess;
}

}  // namespace

int WriteAdapterString(void*, const char* name, const void* data, ULONG length) {
  UniqueKey key;
  if (!OpenAdapterKey(true, key)) return kFailure;
  return SetValue(key.get(), name, REG_SZ, data, length);
}

int WriteAdapterNumber(void* adapter, const char* name, ULONG value, int hexadecimal) {
  char text[20];
  const size_t length = FormatNumber(value, hexadecimal != 0, text);
  return WriteAdapterString(adapter, name, text, static_cast<ULONG>(length));
}

AdapterKeyReader::AdapterKeyReader() : open_(OpenAdapterKey(false, key_)) {}

int AdapterKeyReader::ReadString(const char* name, void* buffer, ULONG* length) const {
  unsigned char work[256] = {};
  DWORD size = sizeof work;
  if (length == nullptr || !open_ || !QueryValue(key_.get(), name, work, size)) return kFailure;
  if (size > *length) return kFailure;
  std::memcpy(buffer, work, size);
  *length = size;
  return kSuccess;
}

int AdapterKeyReader::ReadNumber(const char* name, ULONG& value) const {
  char work[100] = {};
  DWORD size = sizeof work;
  if (!open_ || !QueryValue(key_.get(), name, work, size)) return kFailure;
  value = ParseDecimal(work, std::min<size_t>(size, sizeof work));
  return kSuccess;
}

int ReadAdapterString(void*, const char* name, void* buffer, ULONG* length) {
  // The key is not opened for a call that has nowhere to put the value.
  if (length == nullptr) return kFailure;
  return AdapterKeyReader().ReadString(name, buffer, length);
}

int ReadAdapterNumber(void*, const char* name, ULONG& value) {
  return AdapterKeyReader().ReadNumber(name, value);
}

}  // namespace hx

using hx::QueryNumberExport;

int HalvexQueryRegPowerMode(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "PowerMode", value);
}
int HalvexQueryRegDataRate(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "DataRate", value);
}
int HalvexQueryRegPreamble(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "Preamble", value);
}
int HalvexQueryRegTxAntenna(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "TxAntenna", value);
}
int HalvexQueryRegRxAntenna(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "RxAntenna", value);
}
int HalvexQueryRegRTSThreshold(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "RTSThsd", value);
}
int HalvexQueryRegFragThreshold(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "FragThsd", value);
}
int HalvexQueryRegTxPower(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "TxPowerLvl", value);
}
int HalvexQueryRegBoostMode(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "BoostMode", value);
}
int HalvexQueryRegWMMSupport(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "WMM", value);
}
int HalvexQueryRegWiFiEnable(void* adapter, ULONG& value) {
  return QueryNumberExport(adapter, "WIFI", value);
}

int HalvexSetRegWiFiEnable(void* adapter, ULONG value) {
  hx::WriteAdapterNumber(adapter, "WIFI", value, 0);
  return hx::kSuccess;
}

int HalvexQueryRegistry(const char* keyPath, const char* valueName, char* buffer, ULONG length) {
  if (IsBadWritePtr(buffer, length)) return hx::kBadBuffer;
  unsigned char work[400] = {};
  DWORD size = sizeof work;
  hx::platform::UniqueKey key;
  if (!hx::OpenKeyPath(keyPath, false, key) || !hx::QueryValue(key.get(), valueName, work, size)) {
    return hx::kFailure;
  }
  if (size > length) return hx::kFailure;
  if (length != 0) std::memset(buffer, 0, length);
  std::memcpy(buffer, work, size);
  return hx::kSuccess;
}

int HalvexQueryRegistry(const char* keyPath, const char* valueName, ULONG& value) {
  if (IsBadWritePtr(&value, sizeof value)) return hx::kBadBuffer;
  DWORD read = 0;
  DWORD size = sizeof read;
  hx::platform::UniqueKey key;
  // Read aside: a value that does not fit must leave the caller's word alone.
  if (!hx::OpenKeyPath(keyPath, false, key) || !hx::QueryValue(key.get(), valueName, &read, size) ||
      size == 0) {
    return hx::kFailure;
  }
  value = read;
  return hx::kSuccess;
}

int HalvexSetRegistry(const char* keyPath, const char* valueName, const char* data, ULONG length,
                      int multiString) {
  if (length != 0 && IsBadReadPtr(data, length)) return hx::kBadBuffer;
  hx::platform::UniqueKey key;
  if (!hx::OpenKeyPath(keyPath, true, key)) return hx::kFailure;
  return hx::SetValue(key.get(), valueName, multiString != 0 ? REG_MULTI_SZ : REG_SZ, data, length);
}

int HalvexSetRegistry(const char* keyPath, const char* valueName, ULONG value) {
  const DWORD word = value;
  hx::platform::UniqueKey key;
  if (!hx::OpenKeyPath(keyPath, true, key)) return hx::kFailure;
  return hx::SetValue(key.get(), valueName, REG_DWORD, &word, sizeof word);
}
