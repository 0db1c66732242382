// Attach, detach, the adapter handle and the window registration.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>

#include "frame/channel.h"
#include "frame/oids.h"
#include "tests/support/fixture.h"
#ifndef _WIN32
#include "platform/posix/control.h"
#endif

namespace hx::test {
namespace {

using sim::Bytes;

TEST_F(LibraryTest, AttachLeavesTheDocumentedState) {
  auto& s = State();
  EXPECT_EQ(s.EventBufferSize, 0x4000u);
  EXPECT_NE(s.EventBuffer, nullptr);
  EXPECT_EQ(s.CachedMacAddress.load(), kMacSentinel);
  EXPECT_EQ(s.MacSentinel, kMacSentinel);
  EXPECT_EQ(s.CcxConfiguration.load(), 6u);
  EXPECT_EQ(s.AdapterHandle.load(), nullptr);
  EXPECT_EQ(s.OsKind.load(), -1);
  EXPECT_EQ(s.RegistryReadAccess.load(), 0x00020019u);
  EXPECT_EQ(s.RegistryWriteAccess.load(), 0x00020006u);
  EXPECT_TRUE(s.MonitorThread);
  // The manual-reset events stay signalled once set; the auto-reset ones not.
  SetEvent(s.ScanDoneEvent.get());
  EXPECT_EQ(WaitForSingleObject(s.ScanDoneEvent.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s.ScanDoneEvent.get(), 0), WAIT_OBJECT_0);
  SetEvent(s.EapolSentEvent.get());
  EXPECT_EQ(WaitForSingleObject(s.EapolSentEvent.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s.EapolSentEvent.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(LibraryTest, InitializeKeepsTheWindowOnNull) {
  EXPECT_EQ(HalvexInitialize(nullptr), 1);
  EXPECT_EQ(State().NotifyWindow.load(), recorder.window());
  MessageRecorder other;
  EXPECT_EQ(HalvexInitialize(other.window()), 0);
  EXPECT_EQ(State().NotifyWindow.load(), other.window());
  HalvexInitialize(recorder.window());
}

TEST_F(LibraryTest, OpenHandsTheDriverBothEventsAndTheCcxWord) {
  ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
  const auto calls = sim->Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].code, IOCTL_REGISTER_EVENT);
  EXPECT_EQ(calls[0].inLength, 4u);
  EXPECT_EQ(calls[0].outLength, 0u);
  EXPECT_EQ(sim->NotifyEvent(), State().DriverNotifyEvent.get());
  EXPECT_EQ(calls[1].code, IOCTL_REGISTER_EXIT_EVENT);
  EXPECT_EQ(sim->ExitEvent(), State().DriverExitEvent.get());
  EXPECT_EQ(calls[2].code, IOCTL_OID_SET);
  EXPECT_EQ(calls[2].Oid(), OID_HALVEX_CCX_CONFIGURATION);
  EXPECT_EQ(calls[2].inLength, 12u);
  EXPECT_EQ(sim::ReadWord(calls[2].Payload().data()), 6u);
  EXPECT_EQ(State().EventsRegistered.load(), 1u);
  EXPECT_EQ(State().AdapterHandle.load(), adapter);
}

TEST_F(LibraryTest, OpenWithoutTheDeviceFails) {
  sim->Uninstall();
  adapter = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(HalvexOpenAdapter(adapter), 1);
  EXPECT_EQ(adapter, nullptr);
  EXPECT_EQ(State().AdapterHandle.load(), nullptr);
}

TEST_F(LibraryTest, RefusedRegistrationStillOpens) {
  sim->RefuseRegistrations(true);
  ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
  EXPECT_EQ(State().EventsRegistered.load(), 0u);
  EXPECT_EQ(sim->CallsFor(OID_HALVEX_CCX_CONFIGURATION).size(), 1u);
  // Once set, the flag stays: the next adapter's close unlocks even when its
  // own registrations failed.
  sim->RefuseRegistrations(false);
  ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
  sim->RefuseRegistrations(true);
  ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
  EXPECT_EQ(State().EventsRegistered.load(), 1u);
}

TEST_F(LibraryTest, CloseResetsTheAdapterFields) {
  Open();
  auto& s = State();
  s.CachedChipVersion.store(5);
  s.CachedFirmwareVersion.store(6);
  s.CachedMacAddress.store(0x112233445566);
  std::strcpy(s.AdapterKeyPath, "key");
  std::strcpy(s.AdapterName, "name");
  std::strcpy(s.TransportKeyPath, "transport");
  EXPECT_EQ(HalvexCloseAdapter(adapter), 0);
  EXPECT_EQ(adapter, nullptr);
  EXPECT_EQ(s.AdapterHandle.load(), nullptr);
  EXPECT_EQ(s.CachedChipVersion.load(), 0u);
  EXPECT_EQ(s.CachedFirmwareVersion.load(), 0u);
  EXPECT_EQ(s.CachedMacAddress.load(), kMacSentinel);
  EXPECT_STREQ(s.AdapterKeyPath, "");
  EXPECT_STREQ(s.AdapterName, "");
  EXPECT_STREQ(s.TransportKeyPath, "transport") << "close keeps the transport path";
  EXPECT_EQ(s.EventsRegistered.load(), 1u) << "never cleared";
  // Re-open empties the transport path too and works again.
  ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
  EXPECT_STREQ(s.TransportKeyPath, "");
}

TEST_F(LibraryTest, CloseWithoutTheOpenHandle) {
  struct Case {
    bool open;
    void* handle;
    int result;
    bool cleared;
  };
  void* const bogus = reinterpret_cast<void*>(0x4444);
  const Case cases[] = {{false, nullptr, 0, true},
                        {false, bogus, 0, true},
                        {true, nullptr, 1, false},
                        {true, bogus, 1, false},
                        {true, INVALID_HANDLE_VALUE, 1, false}};
  for (const Case& c : cases) {
    if (c.open && adapter == nullptr) Open();
    if (!c.open && adapter != nullptr) HalvexCloseAdapter(adapter);
    void* handle = c.handle;
    EXPECT_EQ(HalvexCloseAdapter(handle), c.result);
    EXPECT_EQ(handle, c.cleared ? nullptr : c.handle);
  }
}

TEST_F(LibraryTest, UnlockPagesAcceptsAnyHandle) {
  EXPECT_EQ(HalvexUnlockPages(nullptr), 0);
  EXPECT_EQ(HalvexUnlockPages(INVALID_HANDLE_VALUE), 0);
  Open();
  EXPECT_EQ(HalvexUnlockPages(adapter), 0);
  EXPECT_TRUE(sim->Calls().empty()) << "nothing reaches the driver";
}

TEST_F(LibraryTest, DetachLeavesTheAdapterOpen) {
  Open();
  hx::ProcessDetach();
  EXPECT_EQ(State().AdapterHandle.load(), adapter);
  for (const auto& call : sim->Calls()) EXPECT_NE(call.code, IOCTL_OID_SET) << "detach sends nothing";
  ASSERT_TRUE(hx::ProcessAttach());  // the fixture detaches once more
}

TEST_F(LibraryTest, AdapterGoneClosesAndTellsTheWindow) {
  Open();
  sim->Remove();
  ASSERT_TRUE(recorder.WaitForCount(1));
  EXPECT_EQ(recorder.Codes(), std::vector<uint64_t>{2});
  EXPECT_EQ(State().AdapterHandle.load(), nullptr);
  // The utility's own later close finds nothing open.
  EXPECT_EQ(HalvexCloseAdapter(adapter), 0);
  EXPECT_EQ(adapter, nullptr);
}

TEST_F(LibraryTest, DetachGoesOnWhenTheMonitorDoesNotStop) {
  Open();
  // Owned by the hook itself: the monitor thread outlives this test's wait.
  struct Stuck {
    std::promise<void> entered, release, left;
  };
  auto stuck = std::make_shared<Stuck>();
  std::shared_future<void> released = stuck->release.get_future().share();
  recorder.SetHook([stuck, released](const Message& m) {
    if (m.code != 2) return;
    stuck->entered.set_value();
    released.wait();  // the window keeps the monitor inside SendMessage
    stuck->left.set_value();
  });
  sim->Remove();
  stuck->entered.get_future().wait();
  const auto start = std::chrono::steady_clock::now();
  hx::ProcessDetach();
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_LT(waited, std::chrono::milliseconds(10000));
  EXPECT_FALSE(State().ThreadExitEvent) << "every handle is closed regardless";
  EXPECT_FALSE(State().MonitorThread);
  recorder.SetHook(nullptr);
  stuck->release.set_value();
  stuck->left.get_future().wait();
  ASSERT_TRUE(hx::ProcessAttach());
}

#ifndef _WIN32
TEST_F(LibraryTest, FailedAttachReleasesWhatItCreated) {
  hx::ProcessDetach();
  const size_t baseline = posix::LiveHandleCount();
  // Creation 0 is the supplicant's link thread: the library still loads
  // without it. Then eleven events and the monitor thread: each failure
  // makes attach fail and leaves nothing behind.
  posix::FailHandleCreations(0, 1);
  EXPECT_TRUE(hx::ProcessAttach());
  hx::ProcessDetach();
  EXPECT_EQ(posix::LiveHandleCount(), baseline);
  for (unsigned failAt = 1; failAt < 13; ++failAt) {
    SCOPED_TRACE(failAt);
    posix::FailHandleCreations(failAt, 1);
    EXPECT_FALSE(hx::ProcessAttach());
    posix::FailHandleCreations(0, 0);
    EXPECT_EQ(posix::LiveHandleCount(), baseline);
    EXPECT_FALSE(State().ThreadExitEvent);
  }
  EXPECT_EQ(posix::LiveHandleCount(), baseline);
  ASSERT_TRUE(hx::ProcessAttach());
}
#endif

}  // namespace
}  // namespace hx::test
