// The registry's base file and journal as texts, and the few file operations
// they need, done so that a kill at any point leaves a file that loads.
#include "platform/posix/hive_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/posix/fd.h"

namespace hx::posix::store {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00\r\n";
constexpr std::string_view kMarker =
    "; Saved by the Halvex registry store. The last line is a CRC-32 of the text above it.\r\n";
constexpr std::string_view kChecksumTag = "; crc32 ";
constexpr std::string_view kJournalTag = "journal 1 base ";
constexpr char kHexDigits[] = "0123456789abcdef";

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

std::string Hex8(uint32_t value) {
  std::string out(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) out[static_cast<size_t>(i)] = kHexDigits[value & 0xF];
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly eight hex digits at the front of `text`.
bool ReadHex8(std::string_view text, uint32_t* value) {
  if (text.size() < 8) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < 8; ++i) {
    int digit = HexValue(text[i]);
    if (digit < 0) return false;
    v = v << 4 | static_cast<uint32_t>(digit);
  }
  *value = v;
  return true;
}

size_t LineOf(std::string_view text, size_t offset) {
  size_t line = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) line += text[i] == '\n';
  return line;
}

// Names and paths: printable ASCII as is, every other byte (and '%') as %XX,
// so a record stays one line of space-separated fields; "%" alone is empty.
std::string Escape(std::string_view bytes) {
  if (bytes.empty()) return "%";
  std::string out;
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b > 0x20 && b < 0x7F && b != '%') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHexDigits[b >> 4]);
      out.push_back(kHexDigits[b & 0xF]);
    }
  }
  return out;
}

bool Unescape(std::string_view field, std::string* out) {
  if (field == "%") return true;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      out->push_back(field[i]);
      continue;
    }
    if (i + 2 >= field.size()) return false;
    int high = HexValue(field[i + 1]);
    int low = HexValue(field[i + 2]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high << 4 | low));
    i += 2;
  }
  return !out->empty();
}

// Value data as plain hex; "-" when there is none.
std::string HexBytes(const std::vector<BYTE>& data) {
  if (data.empty()) return "-";
  std::string out;
  for (BYTE b : data) {
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0xF]);
  }
  return out;
}

bool ReadHexBytes(std::string_view field, std::vector<BYTE>* data) {
  if (field == "-") return true;
  if (field.empty() || field.size() % 2 != 0) return false;
  for (size_t i = 0; i < field.size(); i += 2) {
    int high = HexValue(field[i]);
    int low = HexValue(field[i + 1]);
    if (high < 0 || low < 0) return false;
    data->push_back(static_cast<BYTE>(high << 4 | low));
  }
  return true;
}

std::vector<std::string_view> Fields(std::string_view body) {
  std::vector<std::string_view> fields;
  while (true) {
    size_t space = body.find(' ');
    fields.push_back(body.substr(0, space));
    if (space == std::string_view::npos) return fields;
    body.remove_prefix(space + 1);
  }
}

HKEY RootNamed(std::string_view name) {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_DYN_DATA}) {
    if (name == platform::RootName(root)) return root;
  }
  return nullptr;
}

using Kind = platform::RegChange::Kind;

// Each kind of record: its word and how many fields follow the word.
struct RecordForm {
  Kind kind;
  std::string_view word;
  size_t fields;
};
constexpr RecordForm kForms[] = {{Kind::kCreateKey, "key", 2},
                                 {Kind::kDeleteKey, "delkey", 2},
                                 {Kind::kSetValue, "set", 5},
                                 {Kind::kDeleteValue, "delvalue", 3}};

bool DecodeRecord(std::string_view body, platform::RegChange* change, const char** why) {
  std::vector<std::string_view> fields = Fields(body);
  const RecordForm* form = nullptr;
  for (const RecordForm& f : kForms) {
    if (f.word == fields[0]) form = &f;
  }
  if (form == nullptr) return *why = "unknown record", false;
  if (fields.size() != form->fields + 1) return *why = "wrong number of fields", false;
  change->kind = form->kind;
  change->root = RootNamed(fields[1]);
  if (change->root == nullptr) return *why = "unknown root", false;
  if (!Unescape(fields[2], &change->path)) return *why = "bad key path", false;
  if (form->fields >= 3 && !Unescape(fields[3], &change->name)) return *why = "bad value name", false;
  if (form->kind == Kind::kSetValue) {
    uint32_t type = 0;
    if (fields[4].size() != 8 || !ReadHex8(fields[4], &type)) return *why = "bad value type", false;
    change->type = type;
    if (!ReadHexBytes(fields[5], &change->data)) return *why = "bad value data", false;
  }
  return true;
}

std::string CheckedLine(const std::string& body) {
  return Hex8(Crc32(body)) + " " + body + "\n";
}

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Closes a descriptor on every path out.
using posix::Fd;
using posix::WriteAll;

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// mkstemp's suffix: six letters or digits.
bool IsTemporaryName(std::string_view name, std::string_view base) {
  if (name.size() != base.size() + 7 || name.substr(0, base.size()) != base || name[base.size()] != '.')
    return false;
  for (char c : name.substr(base.size() + 1)) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// The last line's start, and the checksum on it if it is a checksum line
// (whatever follows the digits: a cut or altered line end does not make the
// text above it unproven).
bool ChecksumLine(std::string_view text, size_t* start, uint32_t* value) {
  std::string_view body = text;
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
  *start = body.rfind('\n') + 1;  // npos + 1 == 0
  std::string_view last = text.substr(*start);
  return last.substr(0, kChecksumTag.size()) == kChecksumTag &&
         ReadHex8(last.substr(kChecksumTag.size()), value);
}

}  // namespace

uint32_t Crc32(std::string_view bytes, uint32_t crc) {
  crc = ~crc;
  for (char c : bytes) crc = kCrcTable[(crc ^ static_cast<unsigned char>(c)) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::string SealBase(std::string_view exported) {
  std::string text;
  text.reserve(exported.size() + kMarker.size() + 32);
  if (exported.substr(0, kHeader.size()) == kHeader) {
    text.append(kHeader).append(kMarker).append(exported.substr(kHeader.size()));
  } else {
    text.append(exported);  // not an export of ours: sealed, but with no marker
  }
  const uint32_t crc = Crc32(text);
  text.append(kChecksumTag).append(Hex8(crc)).append("\r\n");
  return text;
}

BaseCheck CheckBase(std::string_view text) {
  if (text.empty()) return {BaseState::kDamaged, {1, "the file is empty"}};
  const std::string start = std::string(kHeader) + std::string(kMarker);
  if (text.size() < start.size() && std::string_view(start).substr(0, text.size()) == text)
    return {BaseState::kDamaged, {LineOf(text, text.size()), "the file ends inside its first lines"}};
  if (text.substr(0, start.size()) != start) return {BaseState::kUnsealed, {}};
  size_t lastLine = 0;
  uint32_t expected = 0;
  if (!ChecksumLine(text, &lastLine, &expected)) {
    return {BaseState::kDamaged,
            {LineOf(text, lastLine), "the checksum line is missing: the file was cut short or edited"}};
  }
  if (Crc32(text.substr(0, lastLine)) != expected)
    return {BaseState::kDamaged, {LineOf(text, lastLine), "the text does not match its checksum"}};
  return {BaseState::kSealed, {}};
}

uint32_t BaseId(std::string_view text) {
  size_t start = 0;
  uint32_t value = 0;
  return ChecksumLine(text, &start, &value) ? value : Crc32(text);
}

std::string JournalHeader(uint32_t baseId) {
  return CheckedLine(std::string(kJournalTag) + Hex8(baseId));
}

std::string JournalRecord(const platform::RegChange& change) {
  const RecordForm* form = nullptr;
  for (const RecordForm& f : kForms) {
    if (f.kind == change.kind) form = &f;
  }
  std::string body =
      std::string(form->word) + " " + platform::RootName(change.root) + " " + Escape(change.path);
  if (form->fields >= 3) body.append(" ").append(Escape(change.name));
  if (change.kind == Kind::kSetValue)
    body.append(" ").append(Hex8(change.type)).append(" ").append(HexBytes(change.data));
  return CheckedLine(body);
}

JournalRead ReadJournal(std::string_view text) {
  JournalRead read;
  size_t position = 0;
  while (position < text.size()) {
    size_t end = text.find('\n', position);
    if (end == std::string_view::npos) {
      read.tornTail = true;
      break;
    }
    std::string_view line = text.substr(position, end - position);
    const size_t number = read.lines + 1;
    uint32_t crc = 0;
    if (line.size() < 10 || !ReadHex8(line, &crc) || line[8] != ' ') {
      read.damage = Finding{number, "malformed line"};
      break;
    }
    std::string_view body = line.substr(9);
    if (Crc32(body) != crc) {
      read.damage = Finding{number, "the line does not match its checksum"};
      break;
    }
    if (number == 1) {
      uint32_t id = 0;
      if (body.size() != kJournalTag.size() + 8 || body.substr(0, kJournalTag.size()) != kJournalTag ||
          !ReadHex8(body.substr(kJournalTag.size()), &id)) {
        read.damage = Finding{number, "not a journal header"};
        break;
      }
      read.baseId = id;
    } else {
      platform::RegChange change;
      const char* why = nullptr;
      if (!DecodeRecord(body, &change, &why)) {
        read.damage = Finding{number, why};
        break;
      }
      read.changes.push_back(std::move(change));
    }
    read.lines = number;
    position = end + 1;
  }
  return read;
}

ReadResult ReadRegularFile(const std::string& path, std::string* text, std::string* error) {
  // Non-blocking: opening a FIFO for reading would wait for a writer.
  // Nor is a link planted at the path followed.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == ENOENT) return ReadResult::kMissing;
    if (errno == ELOOP) {
      *error = path + " is a symbolic link; not followed";
      return ReadResult::kFailed;
    }
    *error = ErrnoText("cannot open", path);
    return ReadResult::kFailed;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    *error = ErrnoText("cannot examine", path);
    return ReadResult::kFailed;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + " is not a regular file";
    return ReadResult::kFailed;
  }
  text->clear();
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = ErrnoText("cannot read", path);
      return ReadResult::kFailed;
    }
    if (n == 0) return ReadResult::kRead;
    text->append(buffer, static_cast<size_t>(n));
  }
}

bool ReplaceFile(const std::string& path, std::string_view text, std::string* error) {
  std::string temp = path + ".XXXXXX";
  int raw = ::mkstemp(temp.data());
  if (raw < 0) {
    *error = ErrnoText("cannot create a file beside", path);
    return false;
  }
  Fd fd(raw);
  bool ok = WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  if (!ok) *error = ErrnoText("cannot write", temp);
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
    *error = ErrnoText("cannot replace", path);
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  if (!SyncDirectoryOf(path)) {
    *error = ErrnoText("cannot sync the directory of", path);
    return false;
  }
  return true;
}

void RemoveTemporaries(const std::string& path) {
  const std::string directory = DirectoryOf(path);
  const std::string base = path.substr(path.rfind('/') + 1);
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(dir)) {
    if (IsTemporaryName(entry->d_name, base)) found.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : found) ::unlink((directory + "/" + name).c_str());
}

std::string KeepAside(const std::string& path, std::string_view why) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  const std::string stem = path + "." + std::string(why) + "-" + stamp;
  for (int n = 0; n < 1000; ++n) {
    std::string name = n == 0 ? stem : stem + "-" + std::to_string(n);
    if (::access(name.c_str(), F_OK) == 0) continue;
    if (std::rename(path.c_str(), name.c_str()) != 0) return {};
    SyncDirectoryOf(path);
    return name;
  }
  return {};
}

bool SyncDirectoryOf(const std::string& path) {
  Fd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.get() >= 0 && ::fsync(dir.get()) == 0;
}

bool JournalFile::Start(const std::string& path, uint32_t baseId, std::string* error) {
  Close();
  // Only the lock's holder writes here, but a link planted at the path must
  // not make it write somewhere else.
  fd_ =
      ::open(path.c_str(),
             O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0600);
  path_ = path;
  struct stat info {};
  if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
    *error = ErrnoText("cannot create", path);
    Close();
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + " is not a regular file";
    Close();
    return false;
  }
  // The journal holds every value written, keys among them; a journal left by
  // an older build may be readable by others.
  if ((info.st_mode & 077) != 0 && ::fchmod(fd_, 0600) != 0) {
    *error = ErrnoText("cannot restrict the mode of", path);
    Close();
    return false;
  }
  if (!Append(JournalHeader(baseId), error) || !SyncDirectoryOf(path)) {
    if (error->empty()) *error = ErrnoText("cannot sync the directory of", path);
    Close();
    return false;
  }
  return true;
}

bool FileLock::Acquire(const std::string& path, unsigned waitMs, std::string* error,
                       const std::function<void(long holder)>& waiting) {
  Release();
  const std::string lockPath = path + ".lock";
  Fd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600));
  if (fd.get() < 0) {
    *error = ErrnoText("cannot open", lockPath);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  bool told = false;
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = ErrnoText("cannot lock", lockPath);
      return false;
    }
    const long holder = HolderOf(lockPath);
    if (std::chrono::steady_clock::now() >= deadline) {
      *error =
          path + " is in use by " + (holder > 0 ? "process " + std::to_string(holder) : "another process");
      return false;
    }
    if (!told && waiting) waiting(holder);
    told = true;
    // flock has no timed wait; the holder is another process.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0) {
    // The lock holds regardless; only the holder's name would be missing.
  }
  fd_ = fd.release();
  return true;
}

void FileLock::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing lets the lock go
  fd_ = -1;
}

long FileLock::HolderOf(const std::string& lockPath) {
  Fd fd(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
  if (fd.get() < 0) return 0;
  char text[32] = {};
  const ssize_t n = ::pread(fd.get(), text, sizeof text - 1, 0);
  return n > 0 ? std::strtol(text, nullptr, 10) : 0;
}

namespace {
std::atomic<bool> g_sync{true};
}  // namespace

void SetSync(bool sync) {
  g_sync.store(sync);
}

bool JournalFile::Append(std::string_view line, std::string* error) {
  bool ok = WriteAll(fd_, line) && (!g_sync.load(std::memory_order_relaxed) || ::fdatasync(fd_) == 0);
  // A journal whose file was removed under it would take writes nobody reads.
  struct stat info {};
  if (ok && (::fstat(fd_, &info) != 0 || info.st_nlink == 0)) {
    *error = path_ + " was removed";
    ok = false;
  } else if (!ok) {
    *error = ErrnoText("cannot write", path_);
  }
  if (!ok) {
    if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) Close();  // no later append may follow a torn line
    return false;
  }
  size_ += line.size();
  return true;
}

void JournalFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = 0;
}

}  // namespace hx::posix::store
