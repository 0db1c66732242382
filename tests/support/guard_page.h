// Memory with an inaccessible page right after it, for tests of code that
// must not read or write past what it was given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hx::test {

class GuardedBuffer {
 public:
  enum class Access { kNone, kReadOnly, kReadWrite };

  // `usable` accessible bytes; data() + usable is the first byte of a page
  // that can be neither read nor written.
  explicit GuardedBuffer(size_t usable);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  bool ok() const { return base_ != nullptr; }
  uint8_t* data() const { return data_; }
  size_t size() const { return usable_; }
  uint8_t* guard() const { return data_ + usable_; }
  static size_t PageSize();

  // Sets the access of every page touching [offset, offset + length) of the
  // usable bytes; the guard page is not affected.
  bool SetAccess(size_t offset, size_t length, Access access);
  bool MakeReadOnly() { return SetAccess(0, usable_, Access::kReadOnly); }
  bool MakeWritable() { return SetAccess(0, usable_, Access::kReadWrite); }

 private:
  void Release();

  uint8_t* base_ = nullptr;
  size_t mapped_ = 0;  // usable pages + guard page
  uint8_t* data_ = nullptr;
  size_t usable_ = 0;
};

}  // namespace hx::test
