// The registry: one in-memory hive behind one lock, with the Win32 calls'
// error codes and size reporting, optionally kept in a file: each change is
// appended to a journal and synced before the call returns, and the whole
// hive is written as a .reg text only when the journal has grown.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/posix/control.h"
#include "platform/posix/hive_store.h"
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

// Each byte's folded character, worked out once: every name of every key
// access is folded.
using FoldTable = std::array<char16_t, 256>;
const FoldTable& Folded() {
  static const FoldTable table = [] {
    FoldTable folded{};
    for (size_t byte = 0; byte < folded.size(); ++byte)
      folded[byte] = Lower(platform::Cp1252ToUnicode(static_cast<unsigned char>(byte)));
    return folded;
  }();
  return table;
}

std::u16string Fold(std::string_view name) {
  const FoldTable& table = Folded();
  std::u16string folded(name.size(), u'\0');
  for (size_t i = 0; i < name.size(); ++i) folded[i] = table[static_cast<unsigned char>(name[i])];
  return folded;
}

// A name as the caller gave it, looked up without building its folded copy.
struct Unfolded {
  std::string_view name;
};

// Orders folded names, and compares an unfolded one with them as if folded.
struct FoldedLess {
  using is_transparent = void;
  bool operator()(const std::u16string& a, const std::u16string& b) const { return a < b; }
  bool operator()(const std::u16string& a, Unfolded b) const { return Compare(a, b.name) < 0; }
  bool operator()(Unfolded a, const std::u16string& b) const { return Compare(b, a.name) > 0; }

 private:
  static int Compare(const std::u16string& folded, std::string_view name) {
    const FoldTable& table = Folded();
    const size_t common = std::min(folded.size(), name.size());
    for (size_t i = 0; i < common; ++i) {
      const char16_t c = table[static_cast<unsigned char>(name[i])];
      if (folded[i] != c) return folded[i] < c ? -1 : 1;
    }
    return folded.size() < name.size() ? -1 : folded.size() > name.size() ? 1 : 0;
  }
};

using Change = platform::RegChange;

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// Entries by folded name. Enumeration asks for index 0, 1, 2...: a cursor
// kept from the last lookup makes each next index one step, not a walk from
// the start. Any insertion or removal forgets it.
template <typename T>
class Entries {
 public:
  using Map = std::map<std::u16string, T, FoldedLess>;
  using iterator = typename Map::iterator;

  iterator begin() { return map_.begin(); }
  iterator end() { return map_.end(); }
  iterator find(const std::u16string& name) { return map_.find(name); }
  iterator find(std::string_view name) { return map_.find(Unfolded{name}); }
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }

  std::pair<iterator, bool> try_emplace(std::u16string name, T entry = T{}) {
    auto result = map_.try_emplace(std::move(name), std::move(entry));
    if (result.second) cursorValid_ = false;
    return result;
  }
  void erase(iterator entry) {
    map_.erase(entry);
    cursorValid_ = false;
  }
  size_t erase(const std::u16string& name) {
    size_t erased = map_.erase(name);
    if (erased > 0) cursorValid_ = false;
    return erased;
  }
  void clear() {
    map_.clear();
    cursorValid_ = false;
  }
  // The entry at `index` in name order; null past the end.
  T* At(size_t index) {
    if (index >= map_.size()) return nullptr;
    if (!cursorValid_ || index < cursorIndex_) {
      cursor_ = map_.begin();
      cursorIndex_ = 0;
      cursorValid_ = true;
    }
    std::advance(cursor_, index - cursorIndex_);
    cursorIndex_ = index;
    return &cursor_->second;
  }

 private:
  Map map_;
  iterator cursor_;
  size_t cursorIndex_ = 0;
  bool cursorValid_ = false;
};

struct Key {
  std::string name;
  Key* parent = nullptr;  // null for roots and deleted keys
  Entries<std::shared_ptr<Key>> subkeys;
  Entries<Value> values;
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

// Set while this thread applies a whole file: its changes are saved together
// afterwards, and the store's lock is already held.
thread_local int tBatch = 0;

const char* const kProblemLead = "registry: ";

// The hive's files and what is known about them. Its lock serialises the
// writers, so journal records follow the order of the changes; lock order:
// the store's, then the hive's.
class Store {
 public:
  std::mutex mutex;

  bool active() const { return !path_.empty(); }

  // Why changes are refused, while they are.
  const std::optional<std::string>& readOnly() const { return readOnly_; }
  // A change refused: counted, so that the end of the run reports it.
  LONG Refused() {
    ++refused_;
    return ERROR_WRITE_PROTECT;
  }

  // Appends the record of a change already made in the hive; false when it
  // could not be saved, and from then on the hive takes no change (one that
  // a later process would not see must not be acknowledged).
  bool Record(const platform::RegChange& change) {
    if (!active()) return true;
    try {
      if (!journal_.open() || compactionDue_)
        return Compact() || Refuse();  // the export holds this change too
      std::string why;
      if (!journal_.Append(store::JournalRecord(change), &why)) {
        Fail(why);
        compactionDue_ = true;
        return Refuse();
      }
      ++records_;
      if (journal_.size() > Limit()) Compact();
      return true;
    } catch (...) {
      Fail("out of memory while saving a change");
      compactionDue_ = true;
      return Refuse();
    }
  }

  // Writes the whole hive as the base and starts an empty journal after it.
  bool Compact() {
    bool complete = true;
    const std::string text =
        store::SealBase(platform::ExportRegText(std::span<const HKEY>(kRootHandles), &complete));
    if (!complete) Fail("keys whose names hold a line break cannot be saved in " + path_);
    std::string why;
    if (!store::ReplaceFile(path_, text, &why) || !journal_.Start(JournalPath(), store::BaseId(text), &why)) {
      Fail(why);
      compactionDue_ = true;
      return false;
    }
    baseBytes_ = text.size();
    records_ = 0;
    compactionDue_ = false;
    return true;
  }

  // Stops saving; the journal's records are first folded into the base.
  void Close() {
    if (active() && (records_ > 0 || compactionDue_)) Compact();
    journal_.Close();
    lock_.Release();
    path_.clear();
    records_ = 0;
    compactionDue_ = false;
    error_.reset();
    readOnly_.reset();
    refused_ = 0;
  }

  RegistryFileStatus Open(const std::string& path, const RegistryFileOptions& options) {
    Close();
    error_.reset();
    RegistryFileStatus status;
    std::string why;
    // Another process's files are not touched, its temporaries least of all.
    if (!options.readOnly && !lock_.Acquire(path, options.lockWaitMs, &why, options.waiting)) {
      status.problems.push_back(kProblemLead + why);
      error_ = why;
      return status;
    }
    status.ok = Load(path, &status.problems, !options.readOnly);
    if (status.ok && options.readOnly) {
      readOnly_ = path + " is opened read-only: changes are refused";
      status.problems.push_back(kProblemLead + *readOnly_);
    } else if (status.ok) {
      path_ = path;
      if (!Compact()) {
        // The hive is there to read; a change that could not be kept is not.
        status.problems.push_back(kProblemLead + *error_ + "; changes are refused until it can be written");
        readOnly_ = *error_;
        path_.clear();
        journal_.Close();
      }
    }
    if (!status.ok) {
      lock_.Release();
      std::string summary = "registry: changes are not saved to " + path;
      error_ = summary;
      status.problems.push_back(summary);
    }
    return status;
  }

  // Why a change was not saved (or refused), the first time it happened.
  std::optional<std::string> error() const {
    if (error_ || refused_ == 0) return error_;
    return std::to_string(refused_) + " registry change" + (refused_ == 1 ? " was" : "s were") +
           " refused: " + readOnly_.value_or("the registry is read-only");
  }
  void SetLimit(size_t bytes) { limit_ = bytes; }

 private:
  // A journal may grow to four times the base (and at least 256 KiB) before
  // it is folded in: a write then pays a small, constant share of a
  // compaction however large the hive, and a load reads at most five hives.
  size_t Limit() const { return limit_ != 0 ? limit_ : std::max<size_t>(size_t{256} << 10, 4 * baseBytes_); }
  std::string JournalPath() const { return path_ + ".log"; }

  void Fail(const std::string& why) {
    if (!error_) error_ = why;
  }
  bool Refuse() {
    if (!readOnly_) readOnly_ = "a change could not be saved: " + error_.value_or("unknown error");
    return false;
  }

  // Reads the base and the journal into the hive; false when the files
  // cannot be used at all. Damaged files are kept aside and reported.
  bool Load(const std::string& path, std::vector<std::string>* problems, bool owner) {
    auto report = [&](std::string text) { problems->push_back(kProblemLead + std::move(text)); };
    // Temporaries are a dead holder's only when the lock is ours.
    if (owner) store::RemoveTemporaries(path);
    std::string base;
    std::string why;
    store::ReadResult baseRead = store::ReadRegularFile(path, &base, &why);
    if (baseRead == store::ReadResult::kFailed) return report(why), false;
    bool baseGood = false;
    std::vector<platform::RegChange> changes;
    if (baseRead == store::ReadResult::kRead) {
      store::BaseCheck check = store::CheckBase(base);
      std::string parseError;
      if (check.state != store::BaseState::kDamaged && !platform::ParseRegText(base, &changes, &parseError)) {
        check.state = store::BaseState::kDamaged;
        check.finding.reason = parseError;  // names its line
        check.finding.line = 0;
      }
      if (check.state == store::BaseState::kDamaged) {
        std::string where =
            check.finding.line != 0 ? "line " + std::to_string(check.finding.line) + ": " : "";
        report(path + ": " + where + check.finding.reason + "; " + Aside(path, "damaged") +
               "; starting from an empty hive");
      } else {
        baseGood = true;
        if (check.state == store::BaseState::kUnsealed)
          report(path + ": no checksum line (an older or hand-written file): loaded unverified");
      }
    }
    const std::string journalPath = path + ".log";
    std::string journal;
    store::ReadResult journalRead = store::ReadRegularFile(journalPath, &journal, &why);
    if (journalRead == store::ReadResult::kFailed) return report(why), false;
    if (journalRead == store::ReadResult::kRead) {
      store::JournalRead read = store::ReadJournal(journal);
      if (read.baseId && !baseGood) {
        // Its changes apply to a base that is gone: not applied, not lost.
        if (!read.changes.empty())
          report(journalPath + ": " + std::to_string(read.changes.size()) +
                 " changes made after the base were not applied; " + Aside(journalPath, "unapplied"));
      } else if (read.baseId && *read.baseId != store::BaseId(base)) {
        // Folded into this base already, by a compaction cut short.
      } else {
        changes.insert(changes.end(), std::make_move_iterator(read.changes.begin()),
                       std::make_move_iterator(read.changes.end()));
        if (read.damage) {
          report(journalPath + ": line " + std::to_string(read.damage->line) + ": " + read.damage->reason +
                 "; the " + std::to_string(read.changes.size()) + " changes before it were applied; " +
                 Aside(journalPath, "damaged"));
        } else if (read.tornTail) {
          report(journalPath + ": line " + std::to_string(read.lines + 1) +
                 " is incomplete (a write was interrupted) and was dropped");
        }
      }
    }
    ++tBatch;
    LONG status = platform::ApplyRegChanges(changes, &why);
    --tBatch;
    if (status != ERROR_SUCCESS) return report(path + ": " + why), false;
    return true;
  }

  static std::string Aside(const std::string& path, std::string_view why) {
    std::string kept = store::KeepAside(path, why);
    return kept.empty() ? "could not be kept aside, left as it is" : "kept as " + kept;
  }

  std::string path_;  // empty: not saving
  store::FileLock lock_;
  std::optional<std::string> readOnly_;
  size_t refused_ = 0;
  store::JournalFile journal_;
  size_t baseBytes_ = 0;
  size_t records_ = 0;  // appended since the last compaction
  size_t limit_ = 0;    // 0: the default bound
  bool compactionDue_ = false;
  std::optional<std::string> error_;
};

// The registry this process's calls go to when it is not the local hive.
// Never destroyed: a thread may make a registry call during exit.
std::atomic<std::shared_ptr<RegistryRemote>>& RemoteSlot() {
  static auto* remote = new std::atomic<std::shared_ptr<RegistryRemote>>();
  return *remote;
}
std::atomic<bool> g_anyRemote{false};
thread_local int tLocalOnly = 0;

// The remote for this thread's call, if it has one.
std::shared_ptr<RegistryRemote> Remote() {
  if (!g_anyRemote.load(std::memory_order_acquire) || tLocalOnly > 0) return nullptr;
  return RemoteSlot().load();
}

// Never destroyed, like the hive.
Store& TheStore() {
  static auto* store = new Store;
  return *store;
}

// At exit the journal is folded into the base, unless a writer is busy (the
// journal is durable either way).
void CompactAtExit() {
  Store& store = TheStore();
  std::unique_lock lock(store.mutex, std::try_to_lock);
  if (lock.owns_lock()) store.Close();
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

LONG Walk(const std::shared_ptr<Key>& key, const std::vector<std::string_view>& names,
          std::shared_ptr<Key>* out) {
  const std::shared_ptr<Key>* at = &key;  // the hive's lock keeps every step alive
  for (std::string_view name : names) {
    auto found = (*at)->subkeys.find(name);
    if (found == (*at)->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    at = &found->second;
  }
  *out = *at;
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

// The body of every call: resolves the handle under the lock and catches
// what must not cross the call.
template <typename Body>
LONG WithKey(HKEY handle, Body body) {
  try {
    Hive& hive = TheHive();
    std::lock_guard lock(hive.mutex);
    Resolved resolved;
    LONG status = Resolve(hive, handle, &resolved);
    return status == ERROR_SUCCESS ? body(hive, resolved) : status;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// Fills in the kind, root and path of a change to `key`.
void Describe(const Hive& hive, const Key* key, platform::RegChange::Kind kind, platform::RegChange* record) {
  std::vector<const std::string*> names;
  for (; key->parent != nullptr; key = key->parent) names.push_back(&key->name);
  record->kind = kind;
  for (size_t i = 0; i < kRootCount; ++i) {
    if (hive.roots[i].get() == key) record->root = kRootHandles[i];
  }
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (name != names.rbegin()) record->path.push_back('\\');
    record->path.append(**name);
  }
}

// The body of a call that may change the hive. While the hive is saved the
// body describes its change in `*record` (null otherwise), which is journaled
// once the hive's lock is released, still in the writers' order.
template <typename Body>
LONG WithChange(HKEY handle, Body body) {
  try {
    Store& store = TheStore();
    std::unique_lock<std::mutex> writer;
    if (tBatch == 0) writer = std::unique_lock(store.mutex);
    if (writer.owns_lock() && store.readOnly()) return store.Refused();
    platform::RegChange record;
    platform::RegChange* wanted = writer.owns_lock() && store.active() ? &record : nullptr;
    LONG status = WithKey(handle, [&](Hive& hive, Resolved& target) { return body(hive, target, wanted); });
    if (record.root != nullptr && !store.Record(record)) return ERROR_WRITE_FAULT;
    return status;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

}  // namespace

void ResetRegistry() {
  Store& store = TheStore();
  std::lock_guard writer(store.mutex);
  store.Close();
  Hive& hive = TheHive();
  std::lock_guard lock(hive.mutex);
  for (auto& root : hive.roots) {
    Dismantle(std::move(root));
    root = std::make_shared<Key>();
  }
}

RegistryFileStatus UseRegistryFile(const std::string& path, const RegistryFileOptions& options) {
  static const bool exitHook = std::atexit(CompactAtExit) == 0;
  (void)exitHook;
  Store& store = TheStore();
  std::lock_guard writer(store.mutex);
  return store.Open(path, options);
}

std::optional<std::string> RegistryReadOnly() {
  Store& store = TheStore();
  std::lock_guard writer(store.mutex);
  return store.readOnly();
}

bool ImportRegistryFile(const std::string& path) {
  Store& store = TheStore();
  std::lock_guard writer(store.mutex);
  std::string text;
  std::string why;
  if (store::ReadRegularFile(path, &text, &why) != store::ReadResult::kRead) return false;
  std::vector<platform::RegChange> changes;
  if (!platform::ParseRegText(text, &changes)) return false;
  ++tBatch;
  LONG status = platform::ApplyRegChanges(changes);
  --tBatch;
  if (store.active()) store.Compact();  // one save for the whole file
  return status == ERROR_SUCCESS;
}

std::optional<std::string> RegistryPersistError() {
  Store& store = TheStore();
  std::lock_guard writer(store.mutex);
  return store.error();
}

void SetRegistryJournalLimit(size_t bytes) {
  Store& store = TheStore();
  std::lock_guard writer(store.mutex);
  store.SetLimit(bytes);
}

void UseRegistryRemote(std::shared_ptr<RegistryRemote> remote) {
  g_anyRemote.store(remote != nullptr, std::memory_order_release);
  RemoteSlot().store(std::move(remote));
}

LocalRegistryScope::LocalRegistryScope() {
  ++tLocalOnly;
}
LocalRegistryScope::~LocalRegistryScope() {
  --tLocalOnly;
}

void SetRegistrySync(bool sync) {
  store::SetSync(sync);
}

size_t OpenKeyCount() {
  Hive& hive = TheHive();
  std::lock_guard lock(hive.mutex);
  return hive.handles.size();
}

}  // namespace hx::posix

using namespace hx::posix;

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
  if (const std::shared_ptr<RegistryRemote> remote = Remote())
    return remote->OpenKey(key, subKey, access, result);
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;  // a failed open leaves no stale key behind
  return WithKey(key, [&](Hive& hive, Resolved& base) -> LONG {
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
  if (const std::shared_ptr<RegistryRemote> remote = Remote())
    return remote->CreateKey(key, subKey, access, result, disposition);
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  return WithChange(key, [&](Hive& hive, Resolved& base, Change* record) -> LONG {
    std::vector<std::string_view> names;
    if (LONG status = SplitPath(subKey, &names); status != ERROR_SUCCESS) return status;
    if (names.empty() && base.root) {
      *result = key;
      if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
      return ERROR_SUCCESS;
    }
    std::shared_ptr<Key> current = base.key;
    bool created = false;
    bool anyCreated = false;
    for (std::string_view name : names) {
      std::u16string folded = Fold(name);
      auto found = current->subkeys.find(folded);
      created = found == current->subkeys.end();
      if (created) {
        auto child = std::make_shared<Key>();
        child->name.assign(name);
        child->parent = current.get();
        found = current->subkeys.try_emplace(std::move(folded), std::move(child)).first;
        anyCreated = true;
      }
      current = found->second;
    }
    if (anyCreated && record != nullptr) Describe(hive, current.get(), Change::Kind::kCreateKey, record);
    if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return NewHandle(hive, std::move(current), access, result);
  });
}

LSTATUS RegCloseKey(HKEY key) {
  if (const std::shared_ptr<RegistryRemote> remote = Remote()) return remote->CloseKey(key);
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
  if (const std::shared_ptr<RegistryRemote> remote = Remote()) return remote->DeleteKey(key, subKey);
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  return WithChange(key, [&](Hive& hive, Resolved& base, Change* record) -> LONG {
    std::vector<std::string_view> names;
    if (LONG status = SplitPath(subKey, &names); status != ERROR_SUCCESS) return status;
    if (names.empty() && base.root) return ERROR_ACCESS_DENIED;
    std::shared_ptr<Key> target;
    if (LONG status = Walk(base.key, names, &target); status != ERROR_SUCCESS) return status;
    // Only leaves can be deleted.
    if (!target->subkeys.empty()) return ERROR_ACCESS_DENIED;
    if (record != nullptr) Describe(hive, target.get(), Change::Kind::kDeleteKey, record);
    target->parent->subkeys.erase(Fold(target->name));
    target->parent = nullptr;
    target->deleted = true;
    target->values.clear();
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) {
  if (const std::shared_ptr<RegistryRemote> remote = Remote()) return remote->DeleteValue(key, name);
  return WithChange(key, [&](Hive& hive, Resolved& target, Change* record) -> LONG {
    if ((target.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    auto found = target.key->values.find(std::string_view(name != nullptr ? name : ""));
    if (found == target.key->values.end()) return ERROR_FILE_NOT_FOUND;
    if (record != nullptr) {
      Describe(hive, target.key.get(), Change::Kind::kDeleteValue, record);
      record->name = found->second.name;
    }
    target.key->values.erase(found);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPSTR keyClass,
                      LPDWORD classLength, PFILETIME lastWrite) {
  if (const std::shared_ptr<RegistryRemote> remote = Remote())
    return remote->EnumKey(key, index, name, nameLength, keyClass, classLength, lastWrite);
  return WithKey(key, [&](Hive&, Resolved& target) -> LONG {
    if ((target.access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
    if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
    const std::shared_ptr<Key>* subkey = target.key->subkeys.At(index);
    if (subkey == nullptr) return ERROR_NO_MORE_ITEMS;
    const std::string& found = (*subkey)->name;
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
  if (const std::shared_ptr<RegistryRemote> remote = Remote())
    return remote->EnumValue(key, index, name, nameLength, type, data, dataLength);
  return WithKey(key, [&](Hive&, Resolved& target) -> LONG {
    if ((target.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (name == nullptr || nameLength == nullptr || (data != nullptr && dataLength == nullptr))
      return ERROR_INVALID_PARAMETER;
    const Value* entry = target.key->values.At(index);
    if (entry == nullptr) return ERROR_NO_MORE_ITEMS;
    const Value& value = *entry;
    if (LONG status = CopyData(value, type, data, dataLength); status != ERROR_SUCCESS) return status;
    if (*nameLength <= value.name.size()) return ERROR_MORE_DATA;
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    *nameLength = static_cast<DWORD>(value.name.size());
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataLength) {
  if (const std::shared_ptr<RegistryRemote> remote = Remote())
    return remote->QueryValue(key, name, type, data, dataLength);
  return WithKey(key, [&](Hive&, Resolved& target) -> LONG {
    if ((target.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (data != nullptr && dataLength == nullptr) return ERROR_INVALID_PARAMETER;
    auto found = target.key->values.find(std::string_view(name != nullptr ? name : ""));
    if (found == target.key->values.end()) return ERROR_FILE_NOT_FOUND;
    return CopyData(found->second, type, data, dataLength);
  });
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD length) {
  if (const std::shared_ptr<RegistryRemote> remote = Remote())
    return remote->SetValue(key, name, type, data, length);
  return WithChange(key, [&](Hive& hive, Resolved& target, Change* record) -> LONG {
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
    if (record != nullptr) {
      Describe(hive, target.key.get(), Change::Kind::kSetValue, record);
      record->name = value.name;
      record->type = value.type;
      record->data = value.data;
    }
    return ERROR_SUCCESS;
  });
}
