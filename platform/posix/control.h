// Test and utility controls of the POSIX emulation (no Windows counterpart).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
// The same for threads inside Sleep (with a time other than 0).
bool AwaitSleepers(size_t count, uint32_t milliseconds);

// The registry hive. ResetRegistry saves the hive one last time if it is
// kept in a file, stops keeping it, and empties every root; keys still open
// then report ERROR_KEY_DELETED.
void ResetRegistry();

// What UseRegistryFile found. `ok`: the file's contents are in the hive and
// later changes are kept. `problems`: one line each, naming the path (and the
// line and reason where a file was damaged): files kept aside, changes that
// could not be applied, why nothing is kept. Worth showing even when ok.
struct RegistryFileStatus {
  bool ok = false;
  std::vector<std::string> problems;
  explicit operator bool() const { return ok; }
};
// Keeps the hive in `path` (a .reg text whose last line is its checksum) and
// `path`.log (the changes since, each synced before its call returns). Loads
// both into the hive first. A file that fails its check is renamed
// `path[.log].damaged-<time>` and the hive goes on from what could be proven;
// a non-regular file at either path, or a directory that cannot be written,
// makes `ok` false and nothing is kept.
RegistryFileStatus UseRegistryFile(const std::string& path);
// Why a change made while the hive is kept in a file did not reach it (the
// first such failure since UseRegistryFile), or why that call keeps nothing;
// empty while every change did.
std::optional<std::string> RegistryPersistError();
// The journal size past which the hive is rewritten; 0 restores the default
// (four times the base file's size, at least 256 KiB). Lets tests make it
// happen often.
void SetRegistryJournalLimit(size_t bytes);
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
