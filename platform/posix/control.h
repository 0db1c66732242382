// Test and utility controls of the POSIX emulation (no Windows counterpart).
#pragma once

#include <cstddef>
#include <cstdint>

namespace hx::posix {

// What GetVersionExA reports (default 5.1, build 2600, NT platform).
void SetReportedVersion(uint32_t major, uint32_t minor, uint32_t build, uint32_t platformId);

// Makes the next `count` handle-creating calls (CreateEventA, CreateThread,
// CreateFileA) fail with ERROR_NOT_ENOUGH_MEMORY; 0 disarms.
void FailNextHandleCreations(unsigned count);
// Lets the next `skip` handle-creating calls succeed, then fails the `count`
// after them; (0, 0) disarms. Walks a failure through each creation in turn.
void FailHandleCreations(unsigned skip, unsigned count);

// Number of live entries in the handle table (leak checks in tests).
size_t LiveHandleCount();

// Waits until at least `count` threads are blocked in WaitForSingleObject or
// WaitForMultipleObjects on the object behind `handle`, or `milliseconds` pass;
// true if they are. Lets a test act on a waiter that is really waiting.
bool AwaitWaiters(void* handle, size_t count, uint32_t milliseconds);

}  // namespace hx::posix
