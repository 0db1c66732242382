// Test and utility controls of the POSIX emulation (no Windows counterpart).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// The registry hive. ResetRegistry empties every root and stops saving it;
// keys still open then report ERROR_KEY_DELETED.
void ResetRegistry();
// Loads a .reg file if it exists, then saves the whole hive to it after every
// change (a temporary file beside it, then a rename). False, and nothing
// saved from then on, if the file cannot be read, parsed or written.
bool UseRegistryFile(const std::string& path);
// Applies a .reg file to the hive; false if it cannot be read or applied.
bool ImportRegistryFile(const std::string& path);
// Number of open registry key handles (leak checks in tests).
size_t OpenKeyCount();

// The service manager. By default it opens and knows no service, so
// OpenServiceA fails with ERROR_SERVICE_DOES_NOT_EXIST. Names compare without
// regard to case.
void SetService(const std::string& name, uint32_t currentState);
void RemoveService(const std::string& name);
// When unavailable, OpenSCManagerA fails with ERROR_CALL_NOT_IMPLEMENTED, as
// it does on the Windows 9x family.
void SetServiceManagerAvailable(bool available);
// Back to the default: available, no services.
void ResetServices();

}  // namespace hx::posix
