#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "HalvexSeam.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "tests/platform/test_threads.h"

namespace hx::test {
namespace {

using namespace platform_support;

using platform::UniqueDevice;
using platform::UniqueHandle;

constexpr const char* kPath = "\\\\.\\HalvexPlatformTest0";
constexpr DWORD kEcho = 1;   // copies the input to the output
constexpr DWORD kShort = 2;  // fills the output, then reports more data
constexpr DWORD kThrow = 3;  // a faulty device

class FakeDevice : public platform::Device {
 public:
  explicit FakeDevice(uint8_t tag = 0) : tag_(tag) {}
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override {
    calls_.fetch_add(1);
    switch (code) {
      case kEcho: {
        const uint32_t n = std::min(inLength, outLength);
        if (n > 0) std::memcpy(out, in, n);
        if (outLength > n) static_cast<uint8_t*>(out)[n] = tag_;
        *returned = n;
        return true;
      }
      case kShort:
        std::memset(out, tag_, outLength);
        *returned = outLength;
        *error = ERROR_MORE_DATA;
        return false;
      case kThrow:
        throw std::runtime_error("device fault");
      default:
        *returned = 0;
        *error = ERROR_NOT_SUPPORTED;
        return false;
    }
  }
  int calls() const { return calls_.load(); }

 private:
  const uint8_t tag_;
  std::atomic<int> calls_{0};
};

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::RegisterDevice(kPath, device_); }
  void TearDown() override { platform::UnregisterDevice(kPath); }

  std::shared_ptr<FakeDevice> device_ = std::make_shared<FakeDevice>();
};

TEST_F(DeviceTest, SeamReachesTheRegisteredDeviceWhateverTheCase) {
  UniqueDevice handle(platform::OpenDevice("\\\\.\\HALVEXplatformTEST0"));
  ASSERT_TRUE(handle);
  char in[] = "ping";
  char out[8] = {};
  DWORD returned = 99;
  ASSERT_TRUE(platform::DeviceControl(handle.get(), kEcho, in, 4, out, sizeof out, &returned));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(std::memcmp(out, "ping", 4), 0);
  EXPECT_EQ(device_->calls(), 1);
}

TEST_F(DeviceTest, DeviceFailuresBecomeTheLastError) {
  UniqueDevice handle(platform::OpenDevice(kPath));
  ASSERT_TRUE(handle);
  struct Case {
    DWORD code;
    DWORD error;
    DWORD returned;
  };
  const Case cases[] = {
      {kShort, ERROR_MORE_DATA, 8}, {kThrow, ERROR_GEN_FAILURE, 0}, {99, ERROR_NOT_SUPPORTED, 0}};
  for (const Case& c : cases) {
    char out[8] = {};
    DWORD returned = 1234;
    SetLastError(0);
    EXPECT_FALSE(platform::DeviceControl(handle.get(), c.code, nullptr, 0, out, sizeof out, &returned))
        << c.code;
    EXPECT_EQ(GetLastError(), c.error) << c.code;
    EXPECT_EQ(returned, c.returned) << c.code;
  }
}

TEST_F(DeviceTest, UnknownDevicesAreNotFound) {
  SetLastError(0);
  EXPECT_EQ(platform::OpenDevice("\\\\.\\HalvexNoSuchDevice"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeviceTest, AnOpenHandleOutlivesUnregistration) {
  std::weak_ptr<FakeDevice> watch = device_;
  UniqueDevice handle(platform::OpenDevice(kPath));
  ASSERT_TRUE(handle);
  platform::UnregisterDevice(kPath);
  device_.reset();
  EXPECT_EQ(platform::OpenDevice(kPath), INVALID_HANDLE_VALUE);

  char out[4] = {};
  DWORD returned = 0;
  EXPECT_TRUE(platform::DeviceControl(handle.get(), kEcho, nullptr, 0, out, sizeof out, &returned));
  EXPECT_FALSE(watch.expired());
  const HANDLE stale = handle.get();
  handle.reset();
  EXPECT_TRUE(watch.expired());

  SetLastError(0);
  EXPECT_FALSE(platform::DeviceControl(stale, kEcho, nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceTest, RegisteringAgainReplaces) {
  auto replacement = std::make_shared<FakeDevice>(0x77);
  platform::RegisterDevice("\\\\.\\halvexplatformtest0", replacement);
  EXPECT_EQ(platform::FindDevice(kPath), replacement);
  UniqueDevice handle(platform::OpenDevice(kPath));
  ASSERT_TRUE(handle);
  uint8_t out[1] = {};
  DWORD returned = 0;
  ASSERT_TRUE(platform::DeviceControl(handle.get(), kEcho, nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ(out[0], 0x77);
  EXPECT_EQ(device_->calls(), 0);
}

TEST_F(DeviceTest, RegistryIsSafeAcrossThreads) {
  constexpr int kRounds = 200;
  UniqueHandle churn = StartThread([] {
    for (int i = 0; i < kRounds; ++i) {
      platform::RegisterDevice("\\\\.\\HalvexChurn", std::make_shared<FakeDevice>());
      platform::UnregisterDevice("\\\\.\\HalvexChurn");
    }
    return DWORD{0};
  });
  ASSERT_TRUE(churn);
  for (int i = 0; i < kRounds; ++i) {
    UniqueDevice handle(platform::OpenDevice("\\\\.\\HalvexChurn"));
    if (!handle) continue;
    DWORD returned = 0;
    EXPECT_TRUE(platform::DeviceControl(handle.get(), kEcho, nullptr, 0, nullptr, 0, &returned));
  }
  ASSERT_EQ(WaitForSingleObject(churn.get(), kLongWait), WAIT_OBJECT_0);
}

#ifndef _WIN32
// The emulated calls themselves, below the seam.
TEST_F(DeviceTest, EmulatedCallsRouteAndRejectOtherHandles) {
  UniqueHandle handle(
      CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(handle);
  char out[4] = {};
  EXPECT_TRUE(DeviceIoControl(handle.get(), kEcho, nullptr, 0, out, sizeof out, nullptr, nullptr))
      << "the count pointer may be null";

  UniqueHandle event = MakeEvent(true, false);
  DWORD returned = 0;
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(event.get(), kEcho, nullptr, 0, out, sizeof out, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(handle.get(), 0), WAIT_FAILED) << "devices are not waitable here";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  for (const char* name : {"C:\\halvex.txt", "", "\\\\.\\HalvexPlatformTest"}) {
    SetLastError(0);
    EXPECT_EQ(CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), 0u) << name;
  }
}
#endif

}  // namespace
}  // namespace hx::test

namespace hx::test {
namespace {

// A caller's device whose calls wait at a gate; the context it is given is
// what the caller frees once the device is withdrawn.
struct GatedContext {
  UniqueHandle entered = MakeEvent(true, false);
  UniqueHandle release = MakeEvent(true, false);
  std::atomic<int> calls{0};
};

int GatedControl(void* context, uint32_t, void*, uint32_t, void*, uint32_t, uint32_t* returned, uint32_t*) {
  auto* gated = static_cast<GatedContext*>(context);
  ++gated->calls;
  SetEvent(gated->entered.get());
  WaitForSingleObject(gated->release.get(), 10000);
  *returned = 0;
  return 1;
}

TEST(SeamDeviceTest, WithdrawingWaitsForCallsInItAndFailsLaterOnes) {
  const char* kSeamPath = "\\\\.\\HalvexSeamWithdrawTest";
  GatedContext gated;
  ASSERT_EQ(HalvexSeamRegisterDevice(kSeamPath, GatedControl, &gated), 0);
  UniqueDevice handle(platform::OpenDevice(kSeamPath));
  ASSERT_TRUE(handle);
  UniqueHandle caller = StartThread([&] {
    DWORD returned = 0;
    return platform::DeviceControl(handle.get(), 1, nullptr, 0, nullptr, 0, &returned) ? 0u : 1u;
  });
  ASSERT_EQ(WaitForSingleObject(gated.entered.get(), 5000), WAIT_OBJECT_0);
  std::atomic<bool> withdrawn{false};
  UniqueHandle withdrawer = StartThread([&] {
    const int result = HalvexSeamUnregisterDevice(kSeamPath);
    withdrawn = true;
    return static_cast<DWORD>(result);
  });
  // Still in the call: the withdrawal must not have returned.
  EXPECT_EQ(WaitForSingleObject(withdrawer.get(), 100), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(withdrawn.load());
  SetEvent(gated.release.get());
  ASSERT_EQ(WaitForSingleObject(withdrawer.get(), 5000), WAIT_OBJECT_0);
  DWORD code = 99;
  ASSERT_TRUE(GetExitCodeThread(withdrawer.get(), &code));
  EXPECT_EQ(code, 0u);
  ASSERT_EQ(WaitForSingleObject(caller.get(), 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(caller.get(), &code));
  EXPECT_EQ(code, 0u) << "the call inside the device was answered as it answered";

  // The handle stays open, but the context is no longer reached.
  DWORD returned = 7;
  SetLastError(0);
  EXPECT_FALSE(platform::DeviceControl(handle.get(), 1, nullptr, 0, nullptr, 0, &returned));
  EXPECT_EQ(GetLastError(), 1167u);  // ERROR_DEVICE_NOT_CONNECTED
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(gated.calls.load(), 1);
  EXPECT_EQ(HalvexSeamUnregisterDevice(kSeamPath), 1);
}

}  // namespace
}  // namespace hx::test
