#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "platform/win32.h"
#include "tests/support/guard_page.h"
#ifndef _WIN32
#include "platform/posix/probe.h"
#endif

namespace hx::test {
namespace {

class MemoryProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(writable_.ok() && readOnly_.ok() && holed_.ok());
    ASSERT_TRUE(readOnly_.MakeReadOnly());
    ASSERT_TRUE(holed_.SetAccess(page_, page_, GuardedBuffer::Access::kNone));
  }

  const size_t page_ = GuardedBuffer::PageSize();
  GuardedBuffer writable_{100};
  GuardedBuffer readOnly_{100};
  GuardedBuffer holed_{3 * GuardedBuffer::PageSize()};  // its middle page is inaccessible
};

struct ProbeCase {
  const char* name;
  std::function<const uint8_t*(const GuardedBuffer& writable, const GuardedBuffer& readOnly,
                               const GuardedBuffer& holed)>
      pointer;
  std::function<size_t(size_t page)> length;
  bool badRead;
  bool badWrite;
};

using B = const GuardedBuffer&;
const ProbeCase kCases[] = {
    {"whole buffer", [](B w, B, B) { return w.data(); }, [](size_t) { return 100; }, false, false},
    {"one past the end", [](B w, B, B) { return w.data(); }, [](size_t) { return 101; }, true, true},
    {"last byte", [](B w, B, B) { return w.data() + 99; }, [](size_t) { return 1; }, false, false},
    {"guard page", [](B w, B, B) { return w.guard(); }, [](size_t) { return 1; }, true, true},
    {"guard page, no bytes", [](B w, B, B) { return w.guard(); }, [](size_t) { return 0; }, false, false},
    {"null", [](B, B, B) { return static_cast<const uint8_t*>(nullptr); }, [](size_t) { return 1; }, true,
     true},
    {"null, no bytes", [](B, B, B) { return static_cast<const uint8_t*>(nullptr); }, [](size_t) { return 0; },
     false, false},
    {"read-only", [](B, B r, B) { return r.data(); }, [](size_t) { return 100; }, false, true},
    {"read-only, no bytes", [](B, B r, B) { return r.data(); }, [](size_t) { return 0; }, false, false},
    {"page before a hole", [](B, B, B h) { return h.data(); }, [](size_t page) { return page; }, false,
     false},
    {"page after a hole", [](B, B, B h) { return h.data() + 2 * GuardedBuffer::PageSize(); },
     [](size_t page) { return page; }, false, false},
    {"across a hole, ends readable", [](B, B, B h) { return h.data(); }, [](size_t page) { return 3 * page; },
     true, true},
    {"two bytes into a hole", [](B, B, B h) { return h.data() + GuardedBuffer::PageSize() - 1; },
     [](size_t) { return 2; }, true, true},
    {"wraps the address space", [](B, B, B) { return reinterpret_cast<const uint8_t*>(UINTPTR_MAX - 15); },
     [](size_t) { return 32; }, true, true},
};

TEST_F(MemoryProbeTest, ProbesMatchTheMemoryLayout) {
  for (const ProbeCase& c : kCases) {
    const uint8_t* pointer = c.pointer(writable_, readOnly_, holed_);
    const size_t length = c.length(page_);
    EXPECT_EQ(IsBadReadPtr(pointer, length) != FALSE, c.badRead) << c.name;
    EXPECT_EQ(IsBadWritePtr(const_cast<uint8_t*>(pointer), length) != FALSE, c.badWrite) << c.name;
  }
}

TEST_F(MemoryProbeTest, ProbingChangesNothing) {
  for (size_t i = 0; i < readOnly_.size(); ++i) ASSERT_EQ(readOnly_.data()[i], 0);
  writable_.data()[0] = 0x5A;
  EXPECT_FALSE(IsBadWritePtr(writable_.data(), writable_.size()));
  EXPECT_TRUE(IsBadWritePtr(readOnly_.data(), readOnly_.size()));
  EXPECT_EQ(writable_.data()[0], 0x5A);
  EXPECT_EQ(readOnly_.data()[0], 0);
}

#ifndef _WIN32
// Both probing methods must agree with the layout, so the fallback used where
// process_vm_readv is forbidden is as right as the usual path.
TEST_F(MemoryProbeTest, EachProbingMethodAgrees) {
  for (const ProbeCase& c : kCases) {
    const auto first = reinterpret_cast<uintptr_t>(c.pointer(writable_, readOnly_, holed_));
    const size_t length = c.length(page_);
    if (first == 0 || length == 0 || first + length < first) continue;
    const uintptr_t last = first + length - 1;
    const posix::Verdict read = c.badRead ? posix::Verdict::kInaccessible : posix::Verdict::kAccessible;
    const posix::Verdict write = c.badWrite ? posix::Verdict::kInaccessible : posix::Verdict::kAccessible;
    const posix::Verdict direct = posix::ProbeRead(first, last);
    if (direct != posix::Verdict::kUnknown) {
      EXPECT_EQ(direct, read) << c.name;
    }
    EXPECT_EQ(posix::ProbeMaps(first, last, 'r'), read) << c.name;
    EXPECT_EQ(posix::ProbeMaps(first, last, 'w'), write) << c.name;
  }
}
#endif

TEST(GuardedBufferTest, WritesReachTheLastUsableByte) {
  for (size_t size : {size_t{0}, size_t{1}, GuardedBuffer::PageSize(), GuardedBuffer::PageSize() + 3}) {
    GuardedBuffer buffer(size);
    ASSERT_TRUE(buffer.ok());
    if (size > 0) buffer.data()[size - 1] = 1;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.guard()) % GuardedBuffer::PageSize(), 0u);
    EXPECT_TRUE(IsBadReadPtr(buffer.guard(), 1));
  }
}

}  // namespace
}  // namespace hx::test
