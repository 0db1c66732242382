#include <gtest/gtest.h>

#include <atomic>

#include "platform/win32.h"
#include "tests/platform/test_threads.h"
#ifndef _WIN32
#include "platform/posix/control.h"
#endif

namespace hx::test {
namespace {

using namespace platform_support;

using platform::UniqueHandle;

TEST(ThreadTest, HandleIsSignalledWithTheExitCodeWhenTheRoutineReturns) {
  UniqueHandle go = MakeEvent(true, false);
  UniqueHandle thread = StartThread([&]() -> DWORD {
    WaitForSingleObject(go.get(), kLongWait);
    return 42;
  });
  ASSERT_TRUE(thread);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(SetEvent(go.get()));
  ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0) << "stays signalled";
}

TEST(ThreadTest, ReportedIdIsTheThreadsOwn) {
  std::atomic<DWORD> seen{0};
  DWORD id = 0;
  UniqueHandle thread = StartThread(
      [&]() -> DWORD {
        seen.store(GetCurrentThreadId());
        return 0;
      },
      &id);
  ASSERT_TRUE(thread);
  ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(seen.load(), id);
  EXPECT_NE(GetCurrentThreadId(), id);
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(ThreadTest, WaitAnyOnThreadsReportsTheOneThatEnded) {
  UniqueHandle release = MakeEvent(true, false);
  UniqueHandle blocked = StartThread([&] { return WaitForSingleObject(release.get(), kLongWait); });
  UniqueHandle quick = StartThread([] { return DWORD{7}; });
  ASSERT_TRUE(blocked && quick);
  const HANDLE threads[] = {blocked.get(), quick.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, threads, FALSE, kLongWait), WAIT_OBJECT_0 + 1);
  ASSERT_TRUE(SetEvent(release.get()));
  EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, kLongWait), WAIT_OBJECT_0);
}

TEST(ThreadTest, ClosingTheHandleLeavesTheThreadRunning) {
  UniqueHandle go = MakeEvent(true, false);
  UniqueHandle done = MakeEvent(true, false);
  UniqueHandle thread = StartThread([&]() -> DWORD {
    WaitForSingleObject(go.get(), kLongWait);
    SetEvent(done.get());
    return 0;
  });
  ASSERT_TRUE(thread);
#ifndef _WIN32
  const size_t before = posix::LiveHandleCount();
#endif
  ASSERT_TRUE(CloseHandle(thread.release()));
#ifndef _WIN32
  EXPECT_EQ(posix::LiveHandleCount(), before - 1);
#endif
  ASSERT_TRUE(SetEvent(go.get()));
  EXPECT_EQ(WaitForSingleObject(done.get(), kLongWait), WAIT_OBJECT_0);
}

TEST(ThreadTest, ExitCodeNeedsAThreadHandle) {
  UniqueHandle event = MakeEvent(true, false);
  DWORD code = 0;
  SetLastError(0);
  EXPECT_FALSE(GetExitCodeThread(event.get(), &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace hx::test
