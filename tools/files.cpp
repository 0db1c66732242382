#include "tools/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/fd.h"
#endif

namespace halvexctl {
namespace {

#ifndef _WIN32
using hx::posix::Fd;
using hx::posix::WriteAll;
#endif

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& text, Privacy privacy,
                         std::string* error) {
#ifdef _WIN32
  // A user's files under their profile are theirs alone by its ACL; the
  // temporary is created new, never opened over something already there.
  (void)privacy;
  const std::string temporary = path + ".new";
  HANDLE file =
      CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = path + ": cannot be written (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  DWORD written = 0;
  const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
                  written == text.size() && FlushFileBuffers(file) != 0;
  CloseHandle(file);
  if (!ok ||
      MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    *error = path + ": cannot be written (error " + std::to_string(GetLastError()) + ")";
    DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
#else
  std::string temporary = path + ".XXXXXX";
  Fd fd(::mkstemp(temporary.data()));  // O_EXCL, mode 0600
  if (fd.get() < 0) {
    *error = path + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  if (privacy == Privacy::kShared) {
    // What a plain create would have given: 0666 less the umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ok = ::fchmod(fd.get(), 0666 & ~mask) == 0;
  }
  ok = ok && WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  const int closed = fd.Close() ? 0 : -1;
  if (!ok || closed != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = path + ": cannot be written: " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
#endif
}

std::optional<std::string> ReadRegularFile(const std::string& path, std::string* error, bool* missing) {
  if (missing != nullptr) *missing = false;
#ifdef _WIN32
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(path, ec);
  if (ec || status.type() == std::filesystem::file_type::not_found) {
    if (missing != nullptr) *missing = true;
    *error = path + ": not found";
    return std::nullopt;
  }
  if (status.type() != std::filesystem::file_type::regular) {
    *error = path + ": not a regular file";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    *error = path + ": cannot be read";
    return std::nullopt;
  }
  return text.str();
#else
  // Non-blocking, so that a FIFO put in the file's place cannot hang the read.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    if (errno == ENOENT && missing != nullptr) *missing = true;
    *error =
        path + ": " + (errno == ELOOP ? std::string("a symbolic link, not followed") : std::strerror(errno));
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = path + ": not a regular file";
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = path + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
#endif
}

}  // namespace halvexctl
