// Small owners for Win32 handles: no manual CloseHandle paths.
#pragma once

#include <atomic>
#include <utility>

#include "platform/win32.h"

namespace hx {

// Owns a kernel handle (event, thread) and closes it with CloseHandle. The
// value itself is atomic: other threads read the process-wide events while
// attach and detach replace them.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  HANDLE get() const { return handle_.load(std::memory_order_acquire); }
  explicit operator bool() const {
    HANDLE h = get();
    return h != nullptr && h != INVALID_HANDLE_VALUE;
  }
  HANDLE release() { return handle_.exchange(nullptr, std::memory_order_acq_rel); }
  void reset(HANDLE handle = nullptr) {
    HANDLE old = handle_.exchange(handle, std::memory_order_acq_rel);
    if (old != nullptr && old != INVALID_HANDLE_VALUE) CloseHandle(old);
  }

 private:
  std::atomic<HANDLE> handle_{nullptr};
};

}  // namespace hx
