// Internal to the POSIX emulation: the kernel objects behind handles and the
// process-wide handle table.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/posix/winapi.h"
#include "platform/seam.h"

namespace hx::posix {

enum class ObjectKind { kEvent, kThread, kDevice };

struct Object {
  explicit Object(ObjectKind k) : kind(k) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  const ObjectKind kind;
};

// A blocked wait's link on one of the objects it names: a signal wakes the
// waits linked on its object through their own condition, not every wait in
// the process. Lives on the waiting thread's stack while it is blocked.
struct WaitLink {
  std::condition_variable* wake;
  WaitLink* prev;
  WaitLink* next;
};

// Signal state of events and threads. Every field is guarded by WaitMutex(),
// and every change that could satisfy a wait is followed by WakeWaits(): one
// lock for all waits keeps WaitForMultipleObjects simple and exact (no lost
// wake-ups, auto-reset consumed under the same lock).
struct Waitable : Object {
  Waitable(ObjectKind k, bool autoReset, bool signalled)
      : Object(k), autoReset(autoReset), signalled(signalled) {}
  // Wakes the blocked waits that name this object. Caller holds WaitMutex().
  void WakeWaits() const {
    for (const WaitLink* link = waits; link != nullptr; link = link->next) link->wake->notify_all();
  }
  const bool autoReset;
  bool signalled;
  WaitLink* waits = nullptr;  // the blocked waits that name this object
  size_t blockedWaiters = 0;  // threads asleep in a wait that includes this object
};

struct EventObject : Waitable {
  EventObject(bool manualReset, bool initialState)
      : Waitable(ObjectKind::kEvent, !manualReset, initialState) {}
};

struct ThreadObject : Waitable {
  ThreadObject() : Waitable(ObjectKind::kThread, false, false) {}
  DWORD exitCode = STILL_ACTIVE;
};

struct DeviceObject : Object {
  explicit DeviceObject(std::shared_ptr<platform::Device> d)
      : Object(ObjectKind::kDevice), device(std::move(d)) {}
  const std::shared_ptr<platform::Device> device;
};

std::mutex& WaitMutex();
std::condition_variable& WaitCondition();

// WaitForMultipleObjects (count may be 0 when `ready` is given) with one more
// way to end: `ready`, checked under WaitMutex() whenever the objects are,
// ends the wait with WAIT_OBJECT_0 + count.
DWORD WaitObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
                  const std::function<bool()>& ready);
// True when `thread` has a queued message of a kind in `wakeMask`
// (QS_SENDMESSAGE, QS_POSTMESSAGE). Caller holds WaitMutex().
bool QueueHasMessage(DWORD thread, DWORD wakeMask);

// Adds an object to the handle table. Returns nullptr with the last error set
// when the table is exhausted or a test asked for the creation to fail.
HANDLE InsertHandle(std::shared_ptr<Object> object);
// The object behind a live handle, or nullptr.
std::shared_ptr<Object> LookupHandle(HANDLE handle);
// Removes a live handle; false if it was not one.
bool RemoveHandle(HANDLE handle);
// A fresh value from the counter handles use (0 once exhausted), so window
// handles never coincide with kernel handles.
uint32_t NextHandleValue();

}  // namespace hx::posix
