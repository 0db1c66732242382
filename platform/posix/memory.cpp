// IsBadReadPtr / IsBadWritePtr: probe the address space without touching the
// memory, so no signal handler is needed and nothing is ever written.
#include <fcntl.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/posix/probe.h"
#include "platform/posix/winapi.h"

namespace hx::posix {
namespace {

uintptr_t PageSize() {
  static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

// One byte per page touched goes through the kernel, which reports an
// unreadable page as a short read or EFAULT instead of a fault.
Verdict ProbeRead(uintptr_t first, uintptr_t last) {
  constexpr size_t kBatch = 128;
  const pid_t self = getpid();  // not cached: a forked child has its own
  unsigned char sink[kBatch];
  iovec local[kBatch];
  iovec remote[kBatch];
  uintptr_t address = first;
  bool done = false;
  while (!done) {
    size_t n = 0;
    while (n < kBatch && !done) {
      local[n] = {&sink[n], 1};
      remote[n] = {reinterpret_cast<void*>(address), 1};
      ++n;
      if (address == last) {
        done = true;
      } else {
        const uintptr_t nextPage = (address & ~(PageSize() - 1)) + PageSize();
        address = (nextPage == 0 || nextPage > last) ? last : nextPage;
      }
    }
    const ssize_t copied = process_vm_readv(self, local, n, remote, n, 0);
    if (copied < 0) {
      if (errno == EFAULT) return Verdict::kInaccessible;
      return Verdict::kUnknown;  // not permitted here (EPERM, ENOSYS, seccomp)
    }
    if (static_cast<size_t>(copied) != n) return Verdict::kInaccessible;
  }
  return Verdict::kAccessible;
}

namespace {

bool ReadMaps(std::string* text) {
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return n == 0;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

Verdict ProbeMaps(uintptr_t first, uintptr_t last, char perm) {
  std::string maps;
  try {
    if (!ReadMaps(&maps)) return Verdict::kUnknown;
  } catch (...) {
    return Verdict::kUnknown;
  }
  uintptr_t covered = first;  // everything below is known to be accessible
  size_t position = 0;
  while (position < maps.size()) {
    size_t end = maps.find('\n', position);
    if (end == std::string::npos) end = maps.size();
    const char* line = maps.c_str() + position;
    position = end + 1;
    char* cursor = nullptr;
    const uintptr_t start = std::strtoull(line, &cursor, 16);
    if (*cursor != '-') continue;
    const uintptr_t stop = std::strtoull(cursor + 1, &cursor, 16);  // exclusive
    if (*cursor != ' ') continue;
    const char* perms = cursor + 1;
    if (stop <= covered) continue;
    if (start > covered) return Verdict::kInaccessible;  // a hole
    const bool allowed = perm == 'r' ? perms[0] == 'r' : perms[1] == 'w';
    if (!allowed) return Verdict::kInaccessible;
    if (stop - 1 >= last) return Verdict::kAccessible;
    covered = stop;
  }
  return Verdict::kInaccessible;
}

namespace {

// Windows' rules before any probing: nothing to check is never bad, a null
// (or wrapping) range always is.
bool Range(const void* pointer, UINT_PTR length, uintptr_t* first, uintptr_t* last, BOOL* verdict) {
  if (length == 0) {
    *verdict = FALSE;
    return false;
  }
  *first = reinterpret_cast<uintptr_t>(pointer);
  if (*first == 0 || length - 1 > UINTPTR_MAX - *first) {
    *verdict = TRUE;
    return false;
  }
  *last = *first + (length - 1);
  return true;
}

// The calling thread's stack from this frame up to its top is mapped and
// writable: a caller's buffer there needs no probe (reading the memory map
// costs tens of microseconds).
bool OnLiveStack(uintptr_t first, uintptr_t last) {
  thread_local const uintptr_t top = [] {
    uintptr_t end = 0;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return end;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attributes, &base, &size) == 0) end = reinterpret_cast<uintptr_t>(base) + size;
    pthread_attr_destroy(&attributes);
    return end;
  }();
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return first >= here && last < top;
}

}  // namespace
}  // namespace hx::posix

using hx::posix::Verdict;

BOOL IsBadReadPtr(const void* pointer, UINT_PTR length) {
  uintptr_t first = 0;
  uintptr_t last = 0;
  BOOL verdict = TRUE;
  if (!hx::posix::Range(pointer, length, &first, &last, &verdict)) return verdict;
  if (hx::posix::OnLiveStack(first, last)) return FALSE;
  Verdict result = hx::posix::ProbeRead(first, last);
  if (result == Verdict::kUnknown) result = hx::posix::ProbeMaps(first, last, 'r');
  return result == Verdict::kAccessible ? FALSE : TRUE;
}

BOOL IsBadWritePtr(LPVOID pointer, UINT_PTR length) {
  uintptr_t first = 0;
  uintptr_t last = 0;
  BOOL verdict = TRUE;
  if (!hx::posix::Range(pointer, length, &first, &last, &verdict)) return verdict;
  if (hx::posix::OnLiveStack(first, last)) return FALSE;
  // Windows probes by writing; reading the page protections instead cannot
  // race with another thread's store to the same bytes.
  return hx::posix::ProbeMaps(first, last, 'w') == Verdict::kAccessible ? FALSE : TRUE;
}
