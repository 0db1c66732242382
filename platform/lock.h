// A plain mutex for the platform layer's own tables. mingw-w64's default
// (win32 thread model) libstdc++ has no std::mutex, so Windows builds use a
// critical section, which also exists on every Windows the library runs on.
#pragma once

#ifdef _WIN32
#include "platform/win32.h"
#else
#include <mutex>
#endif

namespace hx::platform {

#ifdef _WIN32
class Lock {
 public:
  Lock() { InitializeCriticalSection(&section_); }
  ~Lock() { DeleteCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock() { EnterCriticalSection(&section_); }
  void unlock() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};
#else
using Lock = std::mutex;
#endif

// Holds a Lock for its scope, without relying on <mutex> on Windows.
class Guard {
 public:
  explicit Guard(Lock& lock) : lock_(lock) { lock_.lock(); }
  ~Guard() { lock_.unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  Lock& lock_;
};

}  // namespace hx::platform
