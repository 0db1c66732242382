// Events, waits, threads and time.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <thread>

#include "platform/posix/control.h"
#include "platform/posix/objects.h"

namespace hx::posix {
namespace {

using Clock = std::chrono::steady_clock;

std::shared_ptr<Waitable> LookupWaitable(HANDLE handle) {
  std::shared_ptr<Object> object = LookupHandle(handle);
  if (!object || (object->kind != ObjectKind::kEvent && object->kind != ObjectKind::kThread)) return nullptr;
  return std::static_pointer_cast<Waitable>(std::move(object));
}

std::shared_ptr<EventObject> LookupEvent(HANDLE handle) {
  std::shared_ptr<Object> object = LookupHandle(handle);
  if (!object || object->kind != ObjectKind::kEvent) return nullptr;
  return std::static_pointer_cast<EventObject>(std::move(object));
}

// Thread ids are non-zero multiples of 4, like Windows'.
std::atomic<DWORD> gNextThreadId{0x400};
thread_local DWORD tThreadId = 0;

DWORD NewThreadId() {
  return gNextThreadId.fetch_add(4);
}

// Index of the wait's satisfying object, or -1. Consumes auto-reset signals of
// the satisfied objects only. Caller holds WaitMutex().
int TrySatisfy(const std::array<Waitable*, MAXIMUM_WAIT_OBJECTS>& objects, DWORD count, bool waitAll) {
  if (waitAll) {
    for (DWORD i = 0; i < count; ++i) {
      if (!objects[i]->signalled) return -1;
    }
    for (DWORD i = 0; i < count; ++i) {
      if (objects[i]->autoReset) objects[i]->signalled = false;
    }
    return 0;
  }
  for (DWORD i = 0; i < count; ++i) {
    if (objects[i]->signalled) {
      if (objects[i]->autoReset) objects[i]->signalled = false;
      return static_cast<int>(i);
    }
  }
  return -1;
}

// The references a wait holds, only as many as it names: most waits name
// one object, and a full table of empty references cost more than the wait.
class WaitReferences {
 public:
  WaitReferences() = default;
  ~WaitReferences() {
    for (size_t i = 0; i < count_; ++i) std::destroy_at(At(i));
  }
  WaitReferences(const WaitReferences&) = delete;
  WaitReferences& operator=(const WaitReferences&) = delete;

  // Keeps `object` for the wait; its address, or null for none.
  Waitable* Add(std::shared_ptr<Waitable> object) {
    if (!object || count_ == MAXIMUM_WAIT_OBJECTS) return nullptr;
    return std::construct_at(At(count_++), std::move(object))->get();
  }

 private:
  std::shared_ptr<Waitable>* At(size_t i) {
    return std::launder(
        reinterpret_cast<std::shared_ptr<Waitable>*>(storage_ + i * sizeof(std::shared_ptr<Waitable>)));
  }

  alignas(std::shared_ptr<Waitable>) unsigned char storage_[MAXIMUM_WAIT_OBJECTS *
                                                            sizeof(std::shared_ptr<Waitable>)];
  size_t count_ = 0;
};

}  // namespace

namespace {
size_t g_sleepers = 0;  // threads inside Sleep with a time; guarded by WaitMutex()
}  // namespace

bool AwaitSleepers(size_t count, uint32_t milliseconds) {
  std::unique_lock lock(WaitMutex());
  return WaitCondition().wait_until(lock, Clock::now() + std::chrono::milliseconds(milliseconds),
                                    [&] { return g_sleepers >= count; });
}

bool AwaitWaiters(void* handle, size_t count, uint32_t milliseconds) {
  std::shared_ptr<Waitable> object = LookupWaitable(handle);
  if (!object) return false;
  std::unique_lock lock(WaitMutex());
  return WaitCondition().wait_until(lock, Clock::now() + std::chrono::milliseconds(milliseconds),
                                    [&] { return object->blockedWaiters >= count; });
}

}  // namespace hx::posix

using namespace hx::posix;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
  // Named events would need a namespace shared with other processes; the
  // library only uses unnamed ones.
  if (name != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  std::shared_ptr<EventObject> event;
  try {
    event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = InsertHandle(std::move(event));
  if (handle != nullptr) SetLastError(ERROR_SUCCESS);  // no existing named event was opened
  return handle;
}

BOOL SetEvent(HANDLE handle) {
  std::shared_ptr<EventObject> event = LookupEvent(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(WaitMutex());
  event->signalled = true;
  event->WakeWaits();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  std::shared_ptr<EventObject> event = LookupEvent(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(WaitMutex());
  event->signalled = false;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return WaitObjects(count, handles, waitAll != FALSE, milliseconds, nullptr);
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask,
                                  DWORD) {
  const DWORD self = GetCurrentThreadId();
  return WaitObjects(count, handles, false, milliseconds, [&] { return QueueHasMessage(self, wakeMask); });
}

namespace hx::posix {

DWORD WaitObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
                  const std::function<bool()>& ready) {
  if ((count == 0 && !ready) || count > MAXIMUM_WAIT_OBJECTS || (count != 0 && handles == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  // The references keep each object alive for this wait even if its handle is
  // closed meanwhile, as on Windows.
  WaitReferences owned;
  std::array<Waitable*, MAXIMUM_WAIT_OBJECTS> objects;
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = owned.Add(LookupWaitable(handles[i]));
    if (objects[i] == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  if (waitAll) {
    // Windows refuses an all-wait that names one object twice.
    for (DWORD i = 0; i < count; ++i) {
      if (std::find(objects.begin(), objects.begin() + i, objects[i]) != objects.begin() + i) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
      }
    }
  }

  // The objects first, as Windows reports them ahead of queued input.
  auto satisfy = [&] {
    int index = count != 0 ? TrySatisfy(objects, count, waitAll) : -1;
    if (index < 0 && ready && ready()) index = static_cast<int>(count);
    return index;
  };
  std::unique_lock lock(WaitMutex());
  int satisfied = satisfy();
  if (satisfied < 0 && milliseconds != 0) {
    // Only a wait that may block needs the clock: polls are the common case.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    // A wait for messages as well sleeps on the condition the message queues
    // wake; any other on its own.
    std::condition_variable own;
    std::condition_variable& wake = ready ? WaitCondition() : own;
    std::array<WaitLink, MAXIMUM_WAIT_OBJECTS> links;
    for (DWORD i = 0; i < count; ++i) {
      links[i] = WaitLink{&wake, nullptr, objects[i]->waits};
      if (objects[i]->waits != nullptr) objects[i]->waits->prev = &links[i];
      objects[i]->waits = &links[i];
      ++objects[i]->blockedWaiters;
    }
    WaitCondition().notify_all();  // for AwaitWaiters
    while (satisfied < 0) {
      if (milliseconds == INFINITE) {
        wake.wait(lock);
      } else if (wake.wait_until(lock, deadline) == std::cv_status::timeout) {
        satisfied = satisfy();
        break;
      }
      satisfied = satisfy();
    }
    for (DWORD i = 0; i < count; ++i) {
      (links[i].prev != nullptr ? links[i].prev->next : objects[i]->waits) = links[i].next;
      if (links[i].next != nullptr) links[i].next->prev = links[i].prev;
      --objects[i]->blockedWaiters;
    }
  }
  lock.unlock();
  // Release the references outside the lock: the last one may destroy the object.
  return satisfied < 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0 + static_cast<DWORD>(satisfied);
}

}  // namespace hx::posix

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
  // A suspended start would need ResumeThread, which the library never uses.
  if (start == nullptr || (flags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<ThreadObject> thread;
  try {
    thread = std::make_shared<ThreadObject>();
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = InsertHandle(thread);
  if (handle == nullptr) return nullptr;
  const DWORD id = NewThreadId();
  try {
    // Detached: closing the handle must not stop or join the thread.
    std::thread([thread, start, parameter, id] {
      tThreadId = id;
      const DWORD result = start(parameter);
      std::lock_guard lock(WaitMutex());
      thread->exitCode = result;
      thread->signalled = true;
      thread->WakeWaits();
    }).detach();
  } catch (...) {
    RemoveHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return handle;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  std::shared_ptr<Object> object = LookupHandle(handle);
  if (!object || object->kind != ObjectKind::kThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (exitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(WaitMutex());
  *exitCode = static_cast<ThreadObject&>(*object).exitCode;
  return TRUE;
}

DWORD GetCurrentThreadId() {
  if (tThreadId == 0) tThreadId = NewThreadId();
  return tThreadId;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  {
    std::lock_guard lock(WaitMutex());
    ++g_sleepers;
  }
  WaitCondition().notify_all();  // for AwaitSleepers
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  std::lock_guard lock(WaitMutex());
  --g_sleepers;
}

DWORD GetTickCount() {
  // Milliseconds since boot (steady_clock is CLOCK_MONOTONIC), wrapping at 2^32.
  const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
  return static_cast<DWORD>(static_cast<uint64_t>(since.count()));
}
