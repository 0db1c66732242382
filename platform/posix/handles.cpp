// The process-wide handle table, the last error, and the emulation's controls.
#include <atomic>
#include <new>
#include <vector>

#include "platform/posix/control.h"
#include "platform/posix/objects.h"

namespace hx::posix {
namespace {

// Handle values step by 4 as Windows' do and are never reused, so a stale
// handle stays invalid instead of silently naming a newer object. They stay
// below 2^32 because a handle travels to the driver as 4 bytes.
constexpr uint32_t kHandleStep = 4;
constexpr uint32_t kLastHandleValue = 0xFFFFFFFCu;

// Open addressing over a power-of-two table: values step by 4 and are never
// reused, so value / 4 spreads them evenly and a lookup is a probe or two.
// Lookups are on every wait and signal; a general hash map's division and
// node chase were most of their cost.
class HandleMap {
 public:
  std::shared_ptr<Object> Find(uint32_t value) const {
    if (slots_.empty()) return nullptr;
    for (size_t i = Home(value);; i = Next(i)) {
      if (slots_[i].value == value) return slots_[i].object;
      if (slots_[i].value == kEmpty) return nullptr;
    }
  }

  // Throws std::bad_alloc when the table cannot grow.
  void Insert(uint32_t value, std::shared_ptr<Object> object) {
    if ((used_ + 1) * 2 > slots_.size()) Rehash();
    size_t i = Home(value);
    while (slots_[i].value != kEmpty && slots_[i].value != kRemoved) i = Next(i);
    if (slots_[i].value == kEmpty) ++used_;
    slots_[i] = Slot{value, std::move(object)};
    ++live_;
  }

  // The removed object, or null when `value` names none.
  std::shared_ptr<Object> Remove(uint32_t value) {
    if (slots_.empty()) return nullptr;
    for (size_t i = Home(value);; i = Next(i)) {
      if (slots_[i].value == value) {
        slots_[i].value = kRemoved;
        --live_;
        return std::move(slots_[i].object);
      }
      if (slots_[i].value == kEmpty) return nullptr;
    }
  }

  size_t size() const { return live_; }

 private:
  // Neither is a handle value: those are non-zero multiples of 4.
  static constexpr uint32_t kEmpty = 0;
  static constexpr uint32_t kRemoved = 1;

  struct Slot {
    uint32_t value = kEmpty;
    std::shared_ptr<Object> object;
  };

  size_t Home(uint32_t value) const { return (value / kHandleStep) & (slots_.size() - 1); }
  size_t Next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

  // Room for twice the live handles at most half full; removed slots go.
  void Rehash() {
    size_t capacity = 16;
    while (capacity < (live_ + 1) * 4) capacity *= 2;
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    used_ = 0;
    live_ = 0;
    for (Slot& slot : old) {
      if (slot.value != kEmpty && slot.value != kRemoved) Insert(slot.value, std::move(slot.object));
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;  // slots not empty: live and removed
  size_t live_ = 0;
};

struct HandleTable {
  std::mutex mutex;
  HandleMap entries;
};

// Never destroyed: detached threads may still finish after static destruction.
HandleTable& Table() {
  static auto* table = new HandleTable;
  return *table;
}

std::atomic<uint32_t> gNextValue{kHandleStep};

struct InjectedFailures {
  std::mutex mutex;
  unsigned skip = 0;
  unsigned count = 0;
};

InjectedFailures& Injected() {
  static auto* injected = new InjectedFailures;
  return *injected;
}

bool ConsumeInjectedFailure() {
  InjectedFailures& injected = Injected();
  std::lock_guard lock(injected.mutex);
  if (injected.count == 0) return false;
  if (injected.skip > 0) {
    --injected.skip;
    return false;
  }
  --injected.count;
  return true;
}

bool ToValue(HANDLE handle, uint32_t* value) {
  auto raw = reinterpret_cast<uintptr_t>(handle);
  if (raw == 0 || raw > kLastHandleValue || raw % kHandleStep != 0) return false;
  *value = static_cast<uint32_t>(raw);
  return true;
}

thread_local DWORD tLastError = ERROR_SUCCESS;

}  // namespace

std::mutex& WaitMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::condition_variable& WaitCondition() {
  static auto* condition = new std::condition_variable;
  return *condition;
}

uint32_t NextHandleValue() {
  uint32_t value = gNextValue.load();
  do {
    if (value == 0 || value > kLastHandleValue) return 0;
  } while (!gNextValue.compare_exchange_weak(value, value == kLastHandleValue ? 0 : value + kHandleStep));
  return value;
}

HANDLE InsertHandle(std::shared_ptr<Object> object) {
  if (ConsumeInjectedFailure()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  uint32_t value = NextHandleValue();
  if (value == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  try {
    table.entries.Insert(value, std::move(object));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
  uint32_t value = 0;
  if (!ToValue(handle, &value)) return nullptr;
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  return table.entries.Find(value);
}

bool RemoveHandle(HANDLE handle) {
  uint32_t value = 0;
  if (!ToValue(handle, &value)) return false;
  std::shared_ptr<Object> removed;  // released outside the lock
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  removed = table.entries.Remove(value);
  return removed != nullptr;
}

void FailNextHandleCreations(unsigned count) {
  FailHandleCreations(0, count);
}

void FailHandleCreations(unsigned skip, unsigned count) {
  InjectedFailures& injected = Injected();
  std::lock_guard lock(injected.mutex);
  injected.skip = count == 0 ? 0 : skip;
  injected.count = count;
}

size_t LiveHandleCount() {
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  return table.entries.size();
}

}  // namespace hx::posix

DWORD GetLastError() {
  return hx::posix::tLastError;
}

void SetLastError(DWORD error) {
  hx::posix::tLastError = error;
}

BOOL CloseHandle(HANDLE handle) {
  if (!hx::posix::RemoveHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
