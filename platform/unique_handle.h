// Owners for handles and windows: each closes what it holds exactly once.
#pragma once

#include <atomic>
#include <utility>

#include "platform/win32.h"

namespace hx::platform {

struct CloseKernelHandle {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
struct CloseDeviceHandle {
  void operator()(HANDLE handle) const { CloseDevice(handle); }
};

// Holds a HANDLE; null and INVALID_HANDLE_VALUE both mean "none", since
// CreateFileA and the other creators disagree on which one reports failure.
// The value itself is atomic: other threads read the process-wide events
// while attach and detach replace them.
template <typename Close>
class BasicUniqueHandle {
 public:
  BasicUniqueHandle() = default;
  explicit BasicUniqueHandle(HANDLE handle) : handle_(handle) {}
  ~BasicUniqueHandle() { reset(); }
  BasicUniqueHandle(BasicUniqueHandle&& other) noexcept : handle_(other.release()) {}
  BasicUniqueHandle& operator=(BasicUniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  BasicUniqueHandle(const BasicUniqueHandle&) = delete;
  BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;

  HANDLE get() const { return handle_.load(std::memory_order_acquire); }
  bool valid() const {
    HANDLE handle = get();
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }
  explicit operator bool() const { return valid(); }
  HANDLE release() { return handle_.exchange(nullptr, std::memory_order_acq_rel); }
  void reset(HANDLE handle = nullptr) {
    HANDLE old = handle_.exchange(handle, std::memory_order_acq_rel);
    if (old != nullptr && old != INVALID_HANDLE_VALUE) Close()(old);
  }

 private:
  std::atomic<HANDLE> handle_{nullptr};
};

using UniqueHandle = BasicUniqueHandle<CloseKernelHandle>;
using UniqueDevice = BasicUniqueHandle<CloseDeviceHandle>;

// Holds an open registry key (never a predefined root) and closes it.
class UniqueKey {
 public:
  UniqueKey() = default;
  ~UniqueKey() { reset(); }
  UniqueKey(UniqueKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  UniqueKey& operator=(UniqueKey&& other) noexcept {
    if (this != &other) {
      reset();
      key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
  }
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;

  HKEY get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }
  // For the creators' out parameter: closes what was held first.
  HKEY* put() {
    reset();
    return &key_;
  }
  void reset() {
    if (HKEY old = std::exchange(key_, nullptr)) ::RegCloseKey(old);
  }

 private:
  HKEY key_ = nullptr;
};

// Holds a service manager or service handle from the seam and closes it.
class UniqueServiceHandle {
 public:
  explicit UniqueServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~UniqueServiceHandle() {
    if (handle_ != nullptr) CloseServiceManagerHandle(handle_);
  }
  UniqueServiceHandle(const UniqueServiceHandle&) = delete;
  UniqueServiceHandle& operator=(const UniqueServiceHandle&) = delete;

  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_ = nullptr;
};

// Destroys its window; must be reset on the thread that created the window.
class UniqueWindow {
 public:
  UniqueWindow() = default;
  explicit UniqueWindow(HWND window) : window_(window) {}
  ~UniqueWindow() { reset(); }
  UniqueWindow(UniqueWindow&& other) noexcept : window_(other.release()) {}
  UniqueWindow& operator=(UniqueWindow&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueWindow(const UniqueWindow&) = delete;
  UniqueWindow& operator=(const UniqueWindow&) = delete;

  HWND get() const { return window_; }
  explicit operator bool() const { return window_ != nullptr; }
  HWND release() { return std::exchange(window_, nullptr); }
  void reset(HWND window = nullptr) {
    HWND old = std::exchange(window_, window);
    if (old != nullptr) ::DestroyWindow(old);
  }

 private:
  HWND window_ = nullptr;
};

}  // namespace hx::platform

namespace hx {
using platform::UniqueHandle;
}  // namespace hx
