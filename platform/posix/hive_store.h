// The registry's files on disk: a base .reg text that ends with a checksum
// line, and a journal of the changes made since, one checked line per change.
// Pure texts here; registry.cpp decides when each file is read or written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/reg_file.h"

namespace hx::posix::store {

// CRC-32 (the zlib/PNG polynomial); pass the previous result to go on.
uint32_t Crc32(std::string_view bytes, uint32_t crc = 0);

// Where a file failed its check, and why.
struct Finding {
  size_t line = 0;
  std::string reason;
};

// An exported text (as ExportRegText writes it) with a marker line after the
// header, saying a checksum follows, and the checksum as the last line; both
// are comments, so the file stays a .reg text for editors and people.
std::string SealBase(std::string_view exported);

enum class BaseState {
  kSealed,    // the checksum line matches the text above it
  kUnsealed,  // no marker: an older or hand-written file, taken unverified
  kDamaged,   // marked but cut short or altered, or empty
};
struct BaseCheck {
  BaseState state = BaseState::kDamaged;
  Finding finding;  // for kDamaged
};
BaseCheck CheckBase(std::string_view text);
// What the journal names its base by: the checksum on the base's last line,
// or for a file without one, the CRC-32 of the whole file.
uint32_t BaseId(std::string_view text);

// The journal's first line: the BaseId of the base it follows.
std::string JournalHeader(uint32_t baseId);
// One change as one line, '\n' included.
std::string JournalRecord(const platform::RegChange& change);

struct JournalRead {
  std::optional<uint32_t> baseId;            // from the header line
  std::vector<platform::RegChange> changes;  // the complete, checked records in order
  size_t lines = 0;                          // lines read and accepted, header included
  std::optional<Finding> damage;             // a complete line that failed its check
  bool tornTail = false;                     // ends in a line without its '\n'
};
// Reads up to the first line that fails its check; an unfinished last line
// is the trace of an interrupted append, not damage.
JournalRead ReadJournal(std::string_view text);

// ---- files --------------------------------------------------------------

enum class ReadResult { kRead, kMissing, kFailed };
// Reads a regular file whole. Anything else at the path (a FIFO, a directory,
// a device) is refused without blocking; *error names the path and the cause.
ReadResult ReadRegularFile(const std::string& path, std::string* text, std::string* error);

// Replaces `path` by a temporary written beside it (`path.XXXXXX`), synced,
// renamed over it, and the directory synced; false with *error on failure.
bool ReplaceFile(const std::string& path, std::string_view text, std::string* error);

// Removes the temporaries (`path.XXXXXX`) an interrupted ReplaceFile left.
void RemoveTemporaries(const std::string& path);

// Renames `path` to `path.<why>-YYYYMMDDTHHMMSS` (with -N if that exists);
// the new name, or empty if the rename failed.
std::string KeepAside(const std::string& path, std::string_view why);

// Flushes a directory's entries (a rename or a new file in it) to disk.
bool SyncDirectoryOf(const std::string& path);

// An exclusive lock on a file set (held through `path`.lock, a small file
// that names the holder's pid) for as long as its owner lives: the lock goes
// with the process, however it ends.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock, waiting up to `waitMs` for another holder; false with
  // *error set (naming the holder's pid when known). `waiting` is called once
  // with that holder's pid if the lock is busy at first.
  bool Acquire(const std::string& path, unsigned waitMs, std::string* error,
               const std::function<void(long holder)>& waiting = {});
  void Release();
  bool held() const { return fd_ >= 0; }
  // The pid written in a lock file, or 0.
  static long HolderOf(const std::string& lockPath);

 private:
  int fd_ = -1;
};

// Whether appends are synced before they return (the default).
void SetSync(bool sync);

// The journal file, open for appending; closed with its owner.
class JournalFile {
 public:
  JournalFile() = default;
  ~JournalFile() { Close(); }
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  // Creates or empties `path` and writes the header line, synced. A symbolic
  // link at `path` is not followed.
  bool Start(const std::string& path, uint32_t baseId, std::string* error);
  // Appends one line and syncs it before returning. On failure the file is
  // cut back to its last whole line, so later appends still read back.
  bool Append(std::string_view line, std::string* error);
  bool open() const { return fd_ >= 0; }
  size_t size() const { return size_; }
  void Close();

 private:
  int fd_ = -1;
  size_t size_ = 0;
  std::string path_;
};

}  // namespace hx::posix::store
