// The emulation's own guarantees and controls; Windows has no counterpart.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "platform/posix/control.h"
#include "platform/win32.h"
#include "tests/platform/test_threads.h"

namespace hx::test {
namespace {

using namespace platform_support;

using platform::UniqueHandle;

class NullDevice : public platform::Device {
 public:
  bool Control(uint32_t, void*, uint32_t, void*, uint32_t, uint32_t* returned, uint32_t*) override {
    *returned = 0;
    return true;
  }
};

DWORD WINAPI ReturnZero(LPVOID) {
  return 0;
}

// Every other handle stays open while the table grows past its first sizes,
// so closed and live entries sit side by side through each regrowth.
TEST(HandleTableTest, ValuesAreAlignedThirtyTwoBitAndNeverReused) {
  const size_t before = posix::LiveHandleCount();
  std::set<uintptr_t> seen;
  std::vector<UniqueHandle> kept;
  uintptr_t previous = 0;
  for (int i = 0; i < 3000; ++i) {
    UniqueHandle event = MakeEvent(true, false);
    ASSERT_TRUE(event);
    const auto value = reinterpret_cast<uintptr_t>(event.get());
    ASSERT_EQ(value % 4, 0u);
    ASSERT_LE(value, 0xFFFFFFFFu);
    ASSERT_GT(value, previous);
    ASSERT_TRUE(seen.insert(value).second);
    previous = value;
    if (i % 2 == 0) kept.push_back(std::move(event));
  }
  EXPECT_EQ(posix::LiveHandleCount(), before + 1500);
  for (const UniqueHandle& live : kept) {
    ASSERT_TRUE(SetEvent(live.get()));
    ASSERT_EQ(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0);
    seen.erase(reinterpret_cast<uintptr_t>(live.get()));
  }
  for (uintptr_t stale : seen) {
    ASSERT_FALSE(SetEvent(reinterpret_cast<HANDLE>(stale)));
  }
  kept.clear();
  EXPECT_EQ(posix::LiveHandleCount(), before);
}

TEST(HandleTableTest, CloseHandleRejectsWhatIsNotALiveHandle) {
  UniqueHandle event = MakeEvent(true, false);
  const HANDLE raw = event.release();
  ASSERT_TRUE(CloseHandle(raw));
  const HANDLE bad[] = {raw, nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(uintptr_t{3}),
                        reinterpret_cast<HANDLE>(uintptr_t{0x123456789ull})};
  for (HANDLE handle : bad) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(handle)) << handle;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

TEST(HandleTableTest, LiveCountFollowsCreateAndClose) {
  const size_t before = posix::LiveHandleCount();
  {
    UniqueHandle a = MakeEvent(true, false);
    UniqueHandle b = MakeEvent(false, false);
    EXPECT_EQ(posix::LiveHandleCount(), before + 2);
  }
  EXPECT_EQ(posix::LiveHandleCount(), before);
}

TEST(HandleTableTest, InjectedFailuresHitEveryCreatorThenStop) {
  const char* kPath = "\\\\.\\HalvexHandleTableTest";
  platform::RegisterDevice(kPath, std::make_shared<NullDevice>());
  const std::function<HANDLE()> creators[] = {
      [] { return CreateEventA(nullptr, TRUE, FALSE, nullptr); },
      [] { return CreateThread(nullptr, 0, ReturnZero, nullptr, 0, nullptr); },
      [&] { return CreateFileA(kPath, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr); },
  };
  const size_t before = posix::LiveHandleCount();
  posix::FailNextHandleCreations(3);
  for (const auto& create : creators) {
    SetLastError(0);
    const HANDLE handle = create();
    EXPECT_TRUE(handle == nullptr || handle == INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  }
  EXPECT_EQ(posix::LiveHandleCount(), before);

  posix::FailNextHandleCreations(5);
  posix::FailNextHandleCreations(0);
  UniqueHandle event(creators[0]());
  UniqueHandle file(creators[2]());
  EXPECT_TRUE(event);
  EXPECT_TRUE(file);
  platform::UnregisterDevice(kPath);
}

TEST(HandleTableTest, InjectedFailuresCanSkipAhead) {
  const size_t before = posix::LiveHandleCount();
  posix::FailHandleCreations(2, 1);
  std::vector<UniqueHandle> events;
  for (int i = 0; i < 4; ++i) events.push_back(MakeEvent(true, false));
  EXPECT_TRUE(events[0] && events[1] && events[3]);
  EXPECT_FALSE(events[2]);
  EXPECT_EQ(posix::LiveHandleCount(), before + 3);

  posix::FailHandleCreations(1, 1);
  posix::FailHandleCreations(0, 0);
  EXPECT_TRUE(MakeEvent(true, false)) << "disarmed";
  EXPECT_TRUE(MakeEvent(true, false));
}

TEST(HandleTableTest, UnsupportedRequestsFailCleanly) {
  SetLastError(0);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\Named"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, ReturnZero, nullptr, CREATE_SUSPENDED, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(HandleTableTest, LastErrorIsPerThread) {
  SetLastError(1234);
  UniqueHandle thread = StartThread([] {
    const DWORD initial = GetLastError();
    SetLastError(99);
    return initial;
  });
  ASSERT_TRUE(thread);
  ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
  DWORD code = 1;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

}  // namespace
}  // namespace hx::test
#endif
