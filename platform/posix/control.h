// Test and utility controls of the POSIX emulation (no Windows counterpart).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/winapi.h"

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
//
// While it has them open, the hive holds an exclusive lock on the files (see
// store::FileLock): another process opening them waits up to `lockWaitMs`,
// told once through `waiting` (with the holder's pid), then gives up. Read
// only, the files are loaded and every change is refused with
// ERROR_WRITE_PROTECT; so too when the files cannot be written at the start
// (the problem is reported, the hive still loads), or once a change could
// not be saved (that change's call fails with ERROR_WRITE_FAULT).
struct RegistryFileOptions {
  bool readOnly = false;
  unsigned lockWaitMs = 10000;
  std::function<void(long holder)> waiting;
};
RegistryFileStatus UseRegistryFile(const std::string& path, const RegistryFileOptions& options = {});
// Why changes are refused, while they are.
std::optional<std::string> RegistryReadOnly();
// Why a change made while the hive is kept in a file did not reach it (the
// first such failure since UseRegistryFile), or why that call keeps nothing;
// empty while every change did.
std::optional<std::string> RegistryPersistError();
// The journal size past which the hive is rewritten; 0 restores the default
// (four times the base file's size, at least 256 KiB). Lets tests make it
// happen often.
void SetRegistryJournalLimit(size_t bytes);
// Registry calls served elsewhere: the simulated machine's service holds the
// hive for every process of its state directory, as a wineserver holds Wine's
// registry. Each call has its Reg*A function's contract. While one is in use,
// every Reg* call of this process goes to it and the local hive is untouched.
class RegistryRemote {
 public:
  virtual ~RegistryRemote() = default;
  virtual LONG OpenKey(HKEY key, LPCSTR subKey, REGSAM access, PHKEY result) = 0;
  virtual LONG CreateKey(HKEY key, LPCSTR subKey, REGSAM access, PHKEY result, LPDWORD disposition) = 0;
  virtual LONG CloseKey(HKEY key) = 0;
  virtual LONG DeleteKey(HKEY key, LPCSTR subKey) = 0;
  virtual LONG DeleteValue(HKEY key, LPCSTR name) = 0;
  virtual LONG EnumKey(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPSTR keyClass,
                       LPDWORD classLength, PFILETIME lastWrite) = 0;
  virtual LONG EnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD type, LPBYTE data,
                         LPDWORD dataLength) = 0;
  virtual LONG QueryValue(HKEY key, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD dataLength) = 0;
  // `data` holds `length` bytes and, as Windows NT reads it, one more when
  // not null: whether it is a NUL decides a string's stored terminator.
  virtual LONG SetValue(HKEY key, LPCSTR name, DWORD type, const BYTE* data, DWORD length) = 0;
};
// Sends this process's registry calls to `remote` (null: the local hive).
void UseRegistryRemote(std::shared_ptr<RegistryRemote> remote);
// While one lives, the calling thread's registry calls use the local hive
// whatever remote is in use: a service serving others from its own hive in
// a process that is also its client (tests, benchmarks).
class LocalRegistryScope {
 public:
  LocalRegistryScope();
  ~LocalRegistryScope();
  LocalRegistryScope(const LocalRegistryScope&) = delete;
  LocalRegistryScope& operator=(const LocalRegistryScope&) = delete;
};
// Whether each journaled change is synced to disk before its call returns
// (the default); benchmarks turn it off to time the registry, not the disk.
void SetRegistrySync(bool sync);

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
