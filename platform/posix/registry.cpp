// The registry: one in-memory hive behind one lock, with the Win32 calls'
// error codes and size reporting, optionally saved to a .reg file after every
// change.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "platform/posix/control.h"
#include "platform/posix/objects.h"
#include "platform/reg_file.h"

namespace hx::posix {
namespace {

// Windows' limits on a key name and a value name, in characters, and on a
// path given to an "A" call (converted through a MAX_PATH buffer).
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
constexpr size_t kMaxAnsiPath = 260;

// Names compare as code page 1252 characters folded to lower case, then
// ordered by character value: the order Wine's enumeration calls report
// (and the tests pin), so '_' and '[' come before letters.
char16_t Lower(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
    return static_cast<char16_t>(c + 0x20);
  switch (c) {
    case 0x0160:
      return 0x0161;
    case 0x0152:
      return 0x0153;
    case 0x017D:
      return 0x017E;
    case 0x0178:
      return 0x00FF;
    default:
      return c;
  }
}

std::u16string Fold(std::string_view name) {
  std::u16string folded;
  folded.reserve(name.size());
  for (char c : name) folded.push_back(Lower(platform::Cp1252ToUnicode(static_cast<unsigned char>(c))));
  return folded;
}

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key {
  std::string name;
  Key* parent = nullptr;  // null for roots and deleted keys
  std::map<std::u16string, std::shared_ptr<Key>> subkeys;
  std::map<std::u16string, Value> values;
  bool deleted = false;
};

struct OpenKey {
  std::shared_ptr<Key> key;
  REGSAM access = 0;
};

const HKEY kRootHandles[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_DYN_DATA};
constexpr size_t kRootCount = std::size(kRootHandles);

struct Hive {
  std::mutex mutex;
  std::shared_ptr<Key> roots[kRootCount];
  std::unordered_map<uint32_t, OpenKey> handles;

  Hive() {
    for (auto& root : roots) root = std::make_shared<Key>();
  }
};

// Never destroyed: detached threads may still use keys during exit.
Hive& TheHive() {
  static auto* hive = new Hive;
  return *hive;
}

// Where the hive is saved. Lock order: the writer's lock, then the hive's.
struct Persistence {
  std::mutex mutex;
  std::string path;
  std::atomic<bool> active{false};
};

Persistence& Saved() {
  static auto* saved = new Persistence;
  return *saved;
}

// Set while a whole file is being applied: it is saved once, at the end.
thread_local int tBatch = 0;

bool WriteAtomically(const std::string& path, const std::string& text) {
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  bool ok = written == text.size() && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
  std::remove(temp.c_str());
  return false;
}

bool SaveLocked(Persistence& saved) {
  bool complete = true;
  std::string text = platform::ExportRegText(std::span<const HKEY>(kRootHandles), &complete);
  return !text.empty() && WriteAtomically(saved.path, text);
}

// Called after every change, outside the hive's lock (the export reads the
// hive through the registry calls).
void Persist() {
  Persistence& saved = Saved();
  if (!saved.active.load() || tBatch > 0) return;
  std::lock_guard lock(saved.mutex);
  if (!saved.path.empty()) SaveLocked(saved);
}

// Detaches every key below `root` and marks it deleted, without recursion:
// trees may be deeper than the stack.
void Dismantle(std::shared_ptr<Key> root) {
  std::vector<std::shared_ptr<Key>> pending{std::move(root)};
  while (!pending.empty()) {
    std::shared_ptr<Key> key = std::move(pending.back());
    pending.pop_back();
    for (auto& [folded, subkey] : key->subkeys) pending.push_back(std::move(subkey));
    key->subkeys.clear();
    key->values.clear();
    key->parent = nullptr;
    key->deleted = true;
  }
}

REGSAM Granted(REGSAM requested) {
  REGSAM granted = requested & KEY_ALL_ACCESS;
  if (requested & (GENERIC_READ | GENERIC_EXECUTE)) granted |= KEY_READ;
  if (requested & GENERIC_WRITE) granted |= KEY_WRITE;
  if (requested & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
  return granted;
}

int RootIndex(HKEY key) {
  for (size_t i = 0; i < kRootCount; ++i) {
    if (kRootHandles[i] == key) return static_cast<int>(i);
  }
  return -1;
}

// A handle's key and rights, with the hive's lock held.
struct Resolved {
  std::shared_ptr<Key> key;
  REGSAM access = 0;
  bool root = false;
};

LONG Resolve(Hive& hive, HKEY handle, Resolved* out) {
  if (int index = RootIndex(handle); index >= 0) {
    *out = {hive.roots[index], KEY_ALL_ACCESS, true};
    return ERROR_SUCCESS;
  }
  auto raw = reinterpret_cast<uintptr_t>(handle);
  if (raw == 0 || raw > 0xFFFFFFFFu) return ERROR_INVALID_HANDLE;
  auto found = hive.handles.find(static_cast<uint32_t>(raw));
  if (found == hive.handles.end()) return ERROR_INVALID_HANDLE;
  if (found->second.key->deleted) return ERROR_KEY_DELETED;
  *out = {found->second.key, found->second.access, false};
  return ERROR_SUCCESS;
}

// Splits a relative path; empty components are skipped as Windows skips
// them, a leading backslash is refused.
LONG SplitPath(LPCSTR subKey, std::vector<std::string_view>* names) {
  if (subKey == nullptr) return ERROR_SUCCESS;
  std::string_view path(subKey);
  if (path.size() > kMaxAnsiPath) return ERROR_MORE_DATA;
  if (!path.empty() && path.front() == '\\') return ERROR_BAD_PATHNAME;
  while (!path.empty()) {
    size_t end = path.find('\\');
    std::string_view name = path.substr(0, end);
    if (name.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
    if (!name.empty()) names->push_back(name);
    if (end == std::string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  return ERROR_SUCCESS;
}

LONG Walk(std::shared_ptr<Key> key, const std::vector<std::string_view>& names, std::shared_ptr<Key>* out) {
  for (std::string_view name : names) {
    auto found = key->subkeys.find(Fold(name));
    if (found == key->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    key = found->second;
  }
  *out = std::move(key);
  return ERROR_SUCCESS;
}

LONG NewHandle(Hive& hive, std::shared_ptr<Key> key, REGSAM access, PHKEY result) {
  uint32_t value = NextHandleValue();
  if (value == 0) return ERROR_NOT_ENOUGH_MEMORY;
  hive.handles.emplace(value, OpenKey{std::move(key), Granted(access)});
  *result = reinterpret_cast<HKEY>(static_cast<uintptr_t>(value));
  return ERROR_SUCCESS;
}

// Strings whose count left out their terminating NUL get it back, as Windows
// NT does: when the data does not end in a NUL but the byte after it is one.
// (NT reads that byte past the caller's count; so does this, to store the same.)
std::vector<BYTE> StoredData(DWORD type, const BYTE* data, DWORD length) {
  // Room for the NUL from the start: growing would free a block holding the
  // data, and values may be keys.
  std::vector<BYTE> stored;
  stored.reserve(size_t{length} + 1);
  stored.assign(data, data + length);
  bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  if (text && length > 0 && stored.back() != 0 && data[length] == 0) stored.push_back(0);
  return stored;
}

// Hands out a value's type and data as the query calls do: the size is
// always reported, a short buffer is left alone with ERROR_MORE_DATA.
LONG CopyData(const Value& value, LPDWORD type, LPBYTE data, LPDWORD dataLength) {
  const auto size = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data != nullptr && *dataLength < size) {
    *dataLength = size;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && size > 0) std::memcpy(data, value.data.data(), size);
  if (dataLength != nullptr) *dataLength = size;
  return ERROR_SUCCESS;
}

// The body of every call: resolves the handle under the lock, catches what
// must not cross the call, saves the hive afterwards if `changed` was set.
template <typename Body>
LONG WithKey(HKEY handle, Body body) {
  bool changed = false;
  LONG status = ERROR_SUCCESS;
  try {
    Hive& hive = TheHive();
    std::lock_guard lock(hive.mutex);
    Resolved resolved;
    status = Resolve(hive, handle, &resolved);
    if (status == ERROR_SUCCESS) status = body(hive, resolved, &changed);
  } catch (...) {
    status = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (changed) Persist();
  return status;
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  *text = content.str();
  return !in.bad();
}

bool ApplyFile(const std::string& path) {
  std::string text;
  if (!ReadFile(path, &text)) return false;
  std::vector<platform::RegChange> changes;
  if (!platform::ParseRegText(text, &changes)) return false;
  ++tBatch;
  LONG status = platform::ApplyRegChanges(changes);
  --tBatch;
  return status == ERROR_SUCCESS;
}

}  // namespace

void ResetRegistry() {
  Persistence& saved = Saved();
  std::lock_guard writer(saved.mutex);
  saved.active = false;
  saved.path.clear();
  Hive& hive = TheHive();
  std::lock_guard lock(hive.mutex);
  for (auto& root : hive.roots) {
    Dismantle(std::move(root));
    root = std::make_shared<Key>();
  }
}

bool UseRegistryFile(const std::string& path) {
  Persistence& saved = Saved();
  {
    std::lock_guard writer(saved.mutex);
    saved.active = false;
    saved.path.clear();
  }
  if (access(path.c_str(), F_OK) == 0 && !ApplyFile(path)) return false;
  std::lock_guard writer(saved.mutex);
  saved.path = path;
  if (!SaveLocked(saved)) {
    saved.path.clear();
    return false;
  }
  saved.active = true;
  return true;
}

bool ImportRegistryFile(const std::string& path) {
  bool ok = ApplyFile(path);
  Persist();
  return ok;
}

size_t OpenKeyCount() {
  Hive& hive = TheHive();
  std::lock_guard lock(hive.mutex);
  return hive.handles.size();
}

}  // namespace hx::posix

using namespace hx::posix;

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;  // a failed open leaves no stale key behind
  return WithKey(key, [&](Hive& hive, Resolved& base, bool*) -> LONG {
    std::vector<std::string_view> names;
    if (LONG status = SplitPath(subKey, &names); status != ERROR_SUCCESS) return status;
    // Opening a predefined root itself hands back the root's own value.
    if (names.empty() && base.root) {
      *result = key;
      return ERROR_SUCCESS;
    }
    std::shared_ptr<Key> target;
    if (LONG status = Walk(base.key, names, &target); status != ERROR_SUCCESS) return status;
    return NewHandle(hive, std::move(target), access, result);
  });
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                        PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  return WithKey(key, [&](Hive& hive, Resolved& base, bool* changed) -> LONG {
    std::vector<std::string_view> names;
    if (LONG status = SplitPath(subKey, &names); status != ERROR_SUCCESS) return status;
    if (names.empty() && base.root) {
      *result = key;
      if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
      return ERROR_SUCCESS;
    }
    std::shared_ptr<Key> current = base.key;
    bool created = false;
    for (std::string_view name : names) {
      std::u16string folded = Fold(name);
      auto found = current->subkeys.find(folded);
      created = found == current->subkeys.end();
      if (created) {
        auto child = std::make_shared<Key>();
        child->name.assign(name);
        child->parent = current.get();
        found = current->subkeys.emplace(std::move(folded), std::move(child)).first;
        *changed = true;
      }
      current = found->second;
    }
    if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return NewHandle(hive, std::move(current), access, result);
  });
}

LSTATUS RegCloseKey(HKEY key) {
  if (RootIndex(key) >= 0) return ERROR_SUCCESS;
  auto raw = reinterpret_cast<uintptr_t>(key);
  OpenKey closed;  // released outside the lock
  Hive& hive = TheHive();
  std::lock_guard lock(hive.mutex);
  auto found = raw <= 0xFFFFFFFFu ? hive.handles.find(static_cast<uint32_t>(raw)) : hive.handles.end();
  if (found == hive.handles.end()) return ERROR_INVALID_HANDLE;
  closed = std::move(found->second);
  hive.handles.erase(found);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  return WithKey(key, [&](Hive&, Resolved& base, bool* changed) -> LONG {
    std::vector<std::string_view> names;
    if (LONG status = SplitPath(subKey, &names); status != ERROR_SUCCESS) return status;
    if (names.empty() && base.root) return ERROR_ACCESS_DENIED;
    std::shared_ptr<Key> target;
    if (LONG status = Walk(base.key, names, &target); status != ERROR_SUCCESS) return status;
    // Only leaves can be deleted.
    if (!target->subkeys.empty()) return ERROR_ACCESS_DENIED;
    target->parent->subkeys.erase(Fold(target->name));
    target->parent = nullptr;
    target->deleted = true;
    target->values.clear();
    *changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) {
  return WithKey(key, [&](Hive&, Resolved& target, bool* changed) -> LONG {
    if ((target.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (target.key->values.erase(Fold(name != nullptr ? name : "")) == 0) return ERROR_FILE_NOT_FOUND;
    *changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPSTR keyClass,
                      LPDWORD classLength, PFILETIME lastWrite) {
  return WithKey(key, [&](Hive&, Resolved& target, bool*) -> LONG {
    if ((target.access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
    if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
    if (index >= target.key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& found = std::next(target.key->subkeys.begin(), index)->second->name;
    // The length in needs room for the NUL; the length out leaves it out.
    if (*nameLength <= found.size()) return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *nameLength = static_cast<DWORD>(found.size());
    if (keyClass != nullptr && classLength != nullptr && *classLength > 0) keyClass[0] = '\0';
    if (classLength != nullptr) *classLength = 0;
    if (lastWrite != nullptr) *lastWrite = FILETIME{};
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPDWORD type,
                      LPBYTE data, LPDWORD dataLength) {
  return WithKey(key, [&](Hive&, Resolved& target, bool*) -> LONG {
    if ((target.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (name == nullptr || nameLength == nullptr || (data != nullptr && dataLength == nullptr))
      return ERROR_INVALID_PARAMETER;
    if (index >= target.key->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& value = std::next(target.key->values.begin(), index)->second;
    if (LONG status = CopyData(value, type, data, dataLength); status != ERROR_SUCCESS) return status;
    if (*nameLength <= value.name.size()) return ERROR_MORE_DATA;
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    *nameLength = static_cast<DWORD>(value.name.size());
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataLength) {
  return WithKey(key, [&](Hive&, Resolved& target, bool*) -> LONG {
    if ((target.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (data != nullptr && dataLength == nullptr) return ERROR_INVALID_PARAMETER;
    auto found = target.key->values.find(Fold(name != nullptr ? name : ""));
    if (found == target.key->values.end()) return ERROR_FILE_NOT_FOUND;
    return CopyData(found->second, type, data, dataLength);
  });
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD length) {
  return WithKey(key, [&](Hive& hive, Resolved& target, bool* changed) -> LONG {
    if ((target.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    // As on Windows, the machine and users roots hold keys, not values.
    if (target.key == hive.roots[0] || target.key == hive.roots[2]) return ERROR_ACCESS_DENIED;
    std::string_view valueName = name != nullptr ? name : "";
    if (valueName.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
    if (data == nullptr && length > 0) return ERROR_NOACCESS;
    std::vector<BYTE> stored = StoredData(type, data, length);
    auto [found, added] = target.key->values.try_emplace(Fold(valueName));
    Value& value = found->second;
    if (added) value.name.assign(valueName);  // the first spelling stays
    value.type = type;
    value.data = std::move(stored);
    *changed = true;
    return ERROR_SUCCESS;
  });
}
