// The process-wide handle table, the last error, and the emulation's controls.
#include <atomic>
#include <unordered_map>

#include "platform/posix/control.h"
#include "platform/posix/objects.h"

namespace hx::posix {
namespace {

// Handle values step by 4 as Windows' do and are never reused, so a stale
// handle stays invalid instead of silently naming a newer object. They stay
// below 2^32 because a handle travels to the driver as 4 bytes.
constexpr uint32_t kHandleStep = 4;
constexpr uint32_t kLastHandleValue = 0xFFFFFFFCu;

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uint32_t, std::shared_ptr<Object>> entries;
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
  table.entries.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
  uint32_t value = 0;
  if (!ToValue(handle, &value)) return nullptr;
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  auto found = table.entries.find(value);
  return found == table.entries.end() ? nullptr : found->second;
}

bool RemoveHandle(HANDLE handle) {
  uint32_t value = 0;
  if (!ToValue(handle, &value)) return false;
  std::shared_ptr<Object> removed;  // released outside the lock
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  auto found = table.entries.find(value);
  if (found == table.entries.end()) return false;
  removed = std::move(found->second);
  table.entries.erase(found);
  return true;
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
