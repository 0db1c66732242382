#include "tests/support/guard_page.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace hx::test {
namespace {

size_t RoundUp(size_t n, size_t page) {
  return (n + page - 1) / page * page;
}

#ifdef _WIN32
DWORD Protection(GuardedBuffer::Access access) {
  switch (access) {
    case GuardedBuffer::Access::kNone:
      return PAGE_NOACCESS;
    case GuardedBuffer::Access::kReadOnly:
      return PAGE_READONLY;
    case GuardedBuffer::Access::kReadWrite:
      break;
  }
  return PAGE_READWRITE;
}

bool Protect(void* start, size_t length, GuardedBuffer::Access access) {
  DWORD old = 0;
  return VirtualProtect(start, length, Protection(access), &old) != FALSE;
}
#else
int Protection(GuardedBuffer::Access access) {
  switch (access) {
    case GuardedBuffer::Access::kNone:
      return PROT_NONE;
    case GuardedBuffer::Access::kReadOnly:
      return PROT_READ;
    case GuardedBuffer::Access::kReadWrite:
      break;
  }
  return PROT_READ | PROT_WRITE;
}

bool Protect(void* start, size_t length, GuardedBuffer::Access access) {
  return mprotect(start, length, Protection(access)) == 0;
}
#endif

}  // namespace

size_t GuardedBuffer::PageSize() {
#ifdef _WIN32
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
#else
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

GuardedBuffer::GuardedBuffer(size_t usable) : usable_(usable) {
  const size_t page = PageSize();
  const size_t body = RoundUp(usable, page);
  mapped_ = body + page;
#ifdef _WIN32
  void* base = VirtualAlloc(nullptr, mapped_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (base == nullptr) return;
#else
  void* base = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return;
#endif
  base_ = static_cast<uint8_t*>(base);
  if (!Protect(base_ + body, page, Access::kNone)) {
    Release();
    return;
  }
  data_ = base_ + body - usable;
}

GuardedBuffer::~GuardedBuffer() {
  Release();
}

void GuardedBuffer::Release() {
  if (base_ == nullptr) return;
#ifdef _WIN32
  VirtualFree(base_, 0, MEM_RELEASE);
#else
  munmap(base_, mapped_);
#endif
  base_ = nullptr;
  data_ = nullptr;
}

bool GuardedBuffer::SetAccess(size_t offset, size_t length, Access access) {
  if (base_ == nullptr || offset > usable_ || length > usable_ - offset) return false;
  if (length == 0) return true;
  const size_t page = PageSize();
  const auto first = reinterpret_cast<uintptr_t>(data_ + offset) / page * page;
  const auto end = RoundUp(reinterpret_cast<uintptr_t>(data_ + offset + length), page);
  return Protect(reinterpret_cast<void*>(first), end - first, access);
}

}  // namespace hx::test
