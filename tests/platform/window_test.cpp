#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "tests/platform/test_threads.h"
#include "tests/support/wine.h"

namespace hx::test {
namespace {

using namespace platform_support;

using platform::UniqueHandle;
using platform::UniqueWindow;

constexpr const char* kClass = "HalvexPlatformTestWindow";

struct Received {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

struct Recorder {
  std::vector<Received> received;  // WM_APP range only: Windows adds creation traffic
  int destroys = 0;
};

LRESULT CALLBACK RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (recorder != nullptr && message >= WM_APP) {
    recorder->received.push_back({message, wParam, lParam});
    return lParam + 1;
  }
  if (recorder != nullptr && message == WM_DESTROY) ++recorder->destroys;
  return DefWindowProcA(window, message, wParam, lParam);
}

HINSTANCE Instance() {
#ifdef _WIN32
  return GetModuleHandleA(nullptr);
#else
  return nullptr;
#endif
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProcedure;
    windowClass.hInstance = Instance();
    windowClass.lpszClassName = kClass;
    ASSERT_NE(RegisterClassA(&windowClass), 0);
  }
  void TearDown() override { EXPECT_TRUE(UnregisterClassA(kClass, Instance())); }

  UniqueWindow Create(Recorder* recorder) {
    UniqueWindow window(
        CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, Instance(), nullptr));
    if (window) SetWindowLongPtrA(window.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(recorder));
    return window;
  }
};

TEST_F(WindowTest, SendMessageRunsTheProcedureAndReturnsItsResult) {
  Recorder recorder;
  UniqueWindow window = Create(&recorder);
  ASSERT_TRUE(window);
  EXPECT_TRUE(IsWindow(window.get()));
  EXPECT_EQ(SendMessageA(window.get(), WM_APP + 7, 11, 41), 42);
  ASSERT_EQ(recorder.received.size(), 1u);
  EXPECT_EQ(recorder.received[0].message, static_cast<UINT>(WM_APP + 7));
  EXPECT_EQ(recorder.received[0].wParam, 11u);
  EXPECT_EQ(recorder.received[0].lParam, 41);
}

TEST_F(WindowTest, MessagesToNoWindowOrADestroyedOneGoNowhere) {
  if (RunningUnderWine())
    GTEST_SKIP() << "Wine 8 reports ERROR_ACCESS_DENIED for destroying a destroyed window";
  Recorder recorder;
  UniqueWindow window = Create(&recorder);
  ASSERT_TRUE(window);
  const HWND raw = window.get();
  window.reset();
  EXPECT_EQ(recorder.destroys, 1);
  EXPECT_FALSE(IsWindow(raw));
  EXPECT_EQ(SendMessageA(raw, WM_APP, 1, 1), 0);
  EXPECT_EQ(SendMessageA(nullptr, WM_APP, 1, 1), 0);
  EXPECT_TRUE(recorder.received.empty());
  SetLastError(0);
  EXPECT_FALSE(DestroyWindow(raw));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_EQ(CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, raw, nullptr, Instance(), nullptr), nullptr)
      << "a destroyed parent";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowTest, AWindowEndsWithItsThread) {
  HWND raw = nullptr;
  std::thread owner([&] { raw = Create(nullptr).release(); });
  owner.join();
  ASSERT_NE(raw, nullptr);
  EXPECT_FALSE(IsWindow(raw));
  EXPECT_EQ(SendMessageA(raw, WM_APP, 1, 1), 0);  // nothing waits for a thread that is gone
}

TEST_F(WindowTest, UserDataRoundTrips) {
  UniqueWindow window = Create(nullptr);
  ASSERT_TRUE(window);
  EXPECT_EQ(GetWindowLongPtrA(window.get(), GWLP_USERDATA), 0);
  EXPECT_EQ(SetWindowLongPtrA(window.get(), GWLP_USERDATA, 1234), 0);
  EXPECT_EQ(SetWindowLongPtrA(window.get(), GWLP_USERDATA, 5678), 1234);
  EXPECT_EQ(GetWindowLongPtrA(window.get(), GWLP_USERDATA), 5678);
  SetWindowLongPtrA(window.get(), GWLP_USERDATA, 0);
}

TEST_F(WindowTest, OnlyTheCreatingThreadMayDestroy) {
  UniqueWindow window = Create(nullptr);
  ASSERT_TRUE(window);
  UniqueHandle thread = StartThread([&]() -> DWORD {
    SetLastError(0);
    return DestroyWindow(window.get()) ? 0 : GetLastError();
  });
  ASSERT_TRUE(thread);
  ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(IsWindow(window.get()));
}

TEST_F(WindowTest, ClassBookkeeping) {
  if (RunningUnderWine()) GTEST_SKIP() << "Wine 8 reports another error code for an unregistered class";
  WNDCLASSA again{};
  again.lpfnWndProc = RecordingProcedure;
  again.hInstance = Instance();
  again.lpszClassName = kClass;
  SetLastError(0);
  EXPECT_EQ(RegisterClassA(&again), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

  UniqueWindow window = Create(nullptr);
  ASSERT_TRUE(window);
  SetLastError(0);
  EXPECT_FALSE(UnregisterClassA(kClass, Instance()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));

  SetLastError(0);
  EXPECT_FALSE(UnregisterClassA("HalvexNoSuchClass", Instance()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));
  SetLastError(0);
  EXPECT_EQ(
      CreateWindowExA(0, "HalvexNoSuchClass", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, Instance(), nullptr),
      nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

}  // namespace
}  // namespace hx::test
