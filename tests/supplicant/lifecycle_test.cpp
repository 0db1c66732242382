// The supplicant bridge's lifecycle against the stand-in toolkit: the calls it
// makes and in which order, its failure paths, the port flags and the link
// thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Halvex.h"
#include "supplicant/bridge.h"
#include "toolkit/odsim.h"

namespace {

using Calls = std::vector<std::string>;
constexpr ULONG kBound = 5000;  // a safety bound only

struct Event {
  ULONG Unused0;
  ULONG Type;
  ULONG Words[10];
};

const Calls kInitializeCalls = {
    "ODSTK_Initialize()",
    "ODSTK_CreateContext(&out)",
    "ODSTK_CONTEXT_Initialize(context#1)",
    "ODSTK_CONTEXT_CreateLinkAsynchronousA(context#1, &out)",
    "ODSTK_LINK_SetCallbackA(link#1, callback, 0)",
    "ODSTK_LINK_Initialize(link#1)",
};

// The calls the toolkit received from threads other than the test's.
Calls CallsOnOtherThreads() {
  Calls calls;
  for (ULONG i = 0, n = ODSIM_CallCount(); i < n; ++i) {
    if (ODSIM_GetCallThread(i) != ODSIM_CurrentThread()) calls.push_back(odsim::Call(i));
  }
  return calls;
}

class SupplicantLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HalvexWPATerminate();  // whatever an earlier test left
    ODSIM_Reset();
    hx::Bridge().LinkStopWait.store(hx::kLinkThreadStopWait);
  }
  void TearDown() override {
    ODSIM_HoldProcessCallback(0);
    HalvexWPATerminate();
    // A link thread left running past terminate still drops its reference.
    EXPECT_EQ(ODSIM_WaitLiveHandles(ODSIM_KIND_ANY, 0, kBound), 0);
    EXPECT_EQ(ODSIM_WaitLinkThreadsStopped(kBound), 0);
    ODSIM_Reset();
  }

  static hx::SupplicantBridge& B() { return hx::Bridge(); }

  // Delivers an event the bridge hands to the toolkit's default handling; once
  // it returns the link thread is known to run.
  static void PostDefaultEvent(ULONG type) {
    Event event{0, type, {}};
    ASSERT_EQ(ODSIM_PostEvent(B().ToolkitLink.load(), &event, kBound), ODSIM_DELIVERED);
  }

  static bool HoldersAllocated() {
    std::lock_guard lock(B().NetworkInfoLock);
    return B().SsidBlob && B().RequestIeBlob && B().ResponseIeBlob && B().BeaconIeBlob;
  }
  static bool HoldersFreed() {
    std::lock_guard lock(B().NetworkInfoLock);
    return !B().SsidBlob && !B().RequestIeBlob && !B().ResponseIeBlob && !B().BeaconIeBlob &&
           !B().PassphraseCopy;
  }
};

TEST_F(SupplicantLifecycleTest, InitializeCreatesContextLinkAndThreadInOrder) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  PostDefaultEvent(12);
  Calls expected = kInitializeCalls;
  expected.push_back("ODSTK_AddRef(link#1)");  // the link thread's own reference
  EXPECT_EQ(odsim::CallsOnThisThread(), expected);
  EXPECT_EQ(CallsOnOtherThreads(), (Calls{"ODSTK_LINK_Thread(link#1)", "ODSTK_ProcessCallbackA(type=12)"}));

  EXPECT_EQ(odsim::Describe(B().ToolkitContext.load()), "context#1");
  EXPECT_EQ(odsim::Describe(B().ToolkitLink.load()), "link#1");
  EXPECT_EQ(B().ToolkitIdentity.load(), nullptr);
  EXPECT_TRUE(B().LinkThread);
  EXPECT_TRUE(HoldersAllocated());
  {
    std::lock_guard lock(B().NetworkInfoLock);
    for (hx::SuppBlob* blob :
         {B().SsidBlob.get(), B().RequestIeBlob.get(), B().ResponseIeBlob.get(), B().BeaconIeBlob.get()}) {
      EXPECT_EQ(blob->Data, nullptr);
      EXPECT_EQ(blob->Length, 0u);
    }
    EXPECT_EQ(B().PassphraseCopy, nullptr);
  }
  EXPECT_EQ(B().PortOpen.load(), 0u);
  EXPECT_EQ(B().WpaInfoPending.load(), 0u);
  EXPECT_EQ(ODSIM_PortState(B().ToolkitLink.load()), 0);
}

TEST_F(SupplicantLifecycleTest, LinkThreadRunsTheCallbackOnItself) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  PostDefaultEvent(12);
  ULONG last = ODSIM_CallCount() - 1;
  EXPECT_EQ(odsim::Call(last), "ODSTK_ProcessCallbackA(type=12)");
  EXPECT_EQ(ODSIM_GetCallLinkThread(last), 1u);
  EXPECT_EQ(ODSIM_RunningLinkThreads(), 1u);
}

TEST_F(SupplicantLifecycleTest, TerminateReleasesEverythingAndStopsTheLinkThread) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  PostDefaultEvent(0);
  ODSIM_ClearCalls();
  HalvexWPATerminate();
  EXPECT_EQ(odsim::CallsOnThisThread(), (Calls{"ODSTK_LINK_Terminate(link#1)", "ODSTK_Release(link#1)",
                                               "ODSTK_Release(context#1)", "ODSTK_Terminate()"}));
  // The wait saw the thread leave the link and drop its reference.
  EXPECT_EQ(CallsOnOtherThreads(), Calls{"ODSTK_Release(link#1)"});
  EXPECT_EQ(ODSIM_RunningLinkThreads(), 0u);
  EXPECT_EQ(ODSIM_LiveHandles(ODSIM_KIND_ANY), 0u);
  EXPECT_EQ(B().ToolkitContext.load(), nullptr);
  EXPECT_EQ(B().ToolkitLink.load(), nullptr);
  EXPECT_FALSE(B().LinkThread);
  EXPECT_TRUE(HoldersFreed());
}

TEST_F(SupplicantLifecycleTest, TerminateReleasesTheBridgesIdentityReference) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  ODSTK_HANDLE identity = nullptr;
  ASSERT_EQ(ODSTK_CONTEXT_CreateIdentity(B().ToolkitContext.load(), &identity), 0);
  ODSTK_AddRef(identity);
  B().ToolkitIdentity.store(identity);
  ODSIM_ClearCalls();
  HalvexWPATerminate();
  EXPECT_EQ(odsim::CallsOnThisThread(),
            (Calls{"ODSTK_LINK_Terminate(link#1)", "ODSTK_Release(link#1)", "ODSTK_Release(identity#1)",
                   "ODSTK_Release(context#1)", "ODSTK_Terminate()"}));
  EXPECT_EQ(B().ToolkitIdentity.load(), nullptr);
}

TEST_F(SupplicantLifecycleTest, TerminateFreesTheHoldersContents) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  {
    std::lock_guard lock(B().NetworkInfoLock);
    B().SsidBlob->Assign("net", 3);
    B().BeaconIeBlob->Assign("\xdd\x00", 2);
    B().PassphraseCopy = hx::CopySecret("12345678");
  }
  B().PortOpen.store(1);
  B().WpaInfoPending.store(1);
  HalvexWPATerminate();
  EXPECT_TRUE(HoldersFreed());
  // Nothing is left for a later connected event to hand over.
  EXPECT_EQ(B().PortOpen.load(), 0u);
  EXPECT_EQ(B().WpaInfoPending.load(), 0u);
}

// Initialise failures: what was called, what is left, and what terminate then does.
struct FailureCase {
  const char* name;
  const char* failingCall;
  Calls initializeCalls;
  bool contextLeft;
  Calls terminateCalls;
};
void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class SupplicantInitFailureTest : public SupplicantLifecycleTest,
                                  public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SupplicantInitFailureTest, ReturnsOneLeavesHoldersAndTerminatesCleanly) {
  const FailureCase& c = GetParam();
  ASSERT_EQ(ODSIM_ScriptResult(c.failingCall, 1, 1), 0);
  EXPECT_EQ(HalvexWPAInitialize(), 1);
  EXPECT_EQ(odsim::Calls(), c.initializeCalls);
  EXPECT_EQ(B().ToolkitContext.load() != nullptr, c.contextLeft);
  EXPECT_EQ(B().ToolkitLink.load(), nullptr);
  EXPECT_FALSE(B().LinkThread);
  EXPECT_EQ(ODSIM_RunningLinkThreads(), 0u);
  EXPECT_TRUE(HoldersAllocated());

  // The port exports still run and hand the toolkit the null link.
  B().PortOpen.store(1);
  B().WpaInfoPending.store(1);
  ODSIM_ClearCalls();
  HalvexWPAPortUp();
  HalvexWPAPortDown();
  EXPECT_EQ(odsim::Calls(), (Calls{"ODSTK_LINK_PortUp(null)", "ODSTK_LINK_PortDown(null)"}));
  EXPECT_EQ(B().PortOpen.load(), 0u);
  EXPECT_EQ(B().WpaInfoPending.load(), 0u);

  ODSIM_ClearCalls();
  HalvexWPATerminate();
  EXPECT_EQ(odsim::Calls(), c.terminateCalls);
  EXPECT_TRUE(HoldersFreed());
}

INSTANTIATE_TEST_SUITE_P(Failures, SupplicantInitFailureTest,
                         ::testing::Values(FailureCase{"NoContext",
                                                       "ODSTK_CreateContext",
                                                       {"ODSTK_Initialize()", "ODSTK_CreateContext(&out)"},
                                                       false,
                                                       {"ODSTK_Terminate()"}},
                                           FailureCase{
                                               "NoLink",
                                               "ODSTK_CONTEXT_CreateLinkAsynchronousA",
                                               Calls(kInitializeCalls.begin(), kInitializeCalls.begin() + 4),
                                               true,
                                               {"ODSTK_Release(context#1)", "ODSTK_Terminate()"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupplicantLifecycleTest, PortUpLeavesTheFlagsAndPortDownClearsBoth) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  ODSTK_HANDLE link = B().ToolkitLink.load();
  struct Step {
    void (*call)();
    int port;
    uint32_t flags;  // PortOpen and WpaInfoPending afterwards
  };
  B().PortOpen.store(1);
  B().WpaInfoPending.store(1);
  for (const Step& step :
       {Step{HalvexWPAPortUp, 1, 1}, Step{HalvexWPAPortUp, 1, 1}, Step{HalvexWPAPortDown, 0, 0},
        Step{HalvexWPAPortUp, 1, 0}, Step{HalvexWPAPortDown, 0, 0}}) {
    step.call();
    EXPECT_EQ(ODSIM_PortState(link), step.port);
    EXPECT_EQ(B().PortOpen.load(), step.flags);
    EXPECT_EQ(B().WpaInfoPending.load(), step.flags);
  }
}

TEST_F(SupplicantLifecycleTest, SecondTerminateCallsNothing) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  HalvexWPATerminate();
  ODSIM_ClearCalls();
  HalvexWPATerminate();  // the toolkit went with the first
  EXPECT_EQ(odsim::Calls(), Calls{});
  EXPECT_TRUE(HoldersFreed());
}

TEST_F(SupplicantLifecycleTest, ReleaseSuppObjectsEmptiesContentsAndKeepsHolders) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  std::lock_guard lock(B().NetworkInfoLock);
  hx::SuppBlob* holders[] = {B().SsidBlob.get(), B().RequestIeBlob.get(), B().ResponseIeBlob.get(),
                             B().BeaconIeBlob.get()};
  hx::ReleaseSuppObjects();  // all empty: nothing to free
  for (hx::SuppBlob* blob : holders) EXPECT_EQ(blob->Length, 0u);
  EXPECT_EQ(B().PassphraseCopy, nullptr);

  for (hx::SuppBlob* blob : holders) blob->Assign("abcd", 4);
  B().PassphraseCopy = hx::CopySecret("abcd");
  hx::ReleaseSuppObjects();
  EXPECT_EQ(B().SsidBlob.get(), holders[0]);
  EXPECT_EQ(B().BeaconIeBlob.get(), holders[3]);
  for (hx::SuppBlob* blob : holders) {
    EXPECT_EQ(blob->Data, nullptr);
    EXPECT_EQ(blob->Length, 0u);
  }
  EXPECT_EQ(B().PassphraseCopy, nullptr);
}

TEST_F(SupplicantLifecycleTest, ReleaseSuppObjectsWithoutHoldersDoesNothing) {
  std::lock_guard lock(B().NetworkInfoLock);
  ASSERT_FALSE(B().SsidBlob);
  hx::ReleaseSuppObjects();
  EXPECT_FALSE(B().SsidBlob);
}

TEST_F(SupplicantLifecycleTest, SecondInitializeRestartsInsteadOfOrphaningTheLink) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  PostDefaultEvent(0);
  ODSIM_ClearCalls();
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  PostDefaultEvent(0);
  Calls calls = odsim::CallsOnThisThread();
  Calls expected = {"ODSTK_LINK_Terminate(link#1)", "ODSTK_Release(link#1)", "ODSTK_Release(context#1)",
                    "ODSTK_Terminate()"};
  ASSERT_GE(calls.size(), expected.size());
  EXPECT_EQ(Calls(calls.begin(), calls.begin() + 4), expected);
  EXPECT_EQ(odsim::Describe(B().ToolkitLink.load()), "link#2");
  EXPECT_EQ(ODSIM_LiveHandles(ODSIM_KIND_LINK), 1u);
  EXPECT_EQ(ODSIM_LiveHandles(ODSIM_KIND_CONTEXT), 1u);
  EXPECT_EQ(ODSIM_RunningLinkThreads(), 1u);
}

TEST_F(SupplicantLifecycleTest, TerminateGoesOnWhenTheLinkThreadDoesNotStop) {
  EXPECT_EQ(B().LinkStopWait.load(), 3000u);
  B().LinkStopWait.store(20);
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  // The link thread is kept inside a callback: it cannot notice the terminate.
  ODSIM_HoldProcessCallback(1);
  Event event{0, 12, {}};
  ASSERT_EQ(ODSIM_QueueEvent(B().ToolkitLink.load(), &event, sizeof event), ODSIM_DELIVERED);
  ASSERT_EQ(ODSIM_WaitHeld(kBound), 0);

  HalvexWPATerminate();
  EXPECT_EQ(ODSIM_RunningLinkThreads(), 1u);
  EXPECT_EQ(B().ToolkitLink.load(), nullptr);
  EXPECT_FALSE(B().LinkThread);
  EXPECT_TRUE(HoldersFreed());
  EXPECT_EQ(odsim::CallsOnThisThread().back(), "ODSTK_Terminate()");
  // The thread still runs inside the toolkit: it stays bound.
  EXPECT_NE(B().Binding.Bound.load(), nullptr);

  ODSIM_HoldProcessCallback(0);  // the thread ends on its own
  EXPECT_EQ(ODSIM_WaitLinkThreadsStopped(kBound), 0);
}

TEST_F(SupplicantLifecycleTest, TerminateRightAfterInitializeNeverHandsTheThreadAReleasedLink) {
  // The thread may enter the link only after terminate released the bridge's
  // reference: its own keeps the handle valid until it is done.
  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(HalvexWPAInitialize(), 0);
    HalvexWPATerminate();
    ASSERT_EQ(ODSIM_RunningLinkThreads(), 0u);
    ASSERT_EQ(ODSIM_LiveHandles(ODSIM_KIND_ANY), 0u);
  }
  EXPECT_EQ(ODSIM_InvalidHandleCalls(), 0u);
}

TEST_F(SupplicantLifecycleTest, PortCallsRacingTerminateNeverPassAReleasedLink) {
  ASSERT_EQ(HalvexWPAInitialize(), 0);
  // A promise, not an atomic wait: the mingw runtime's atomic waits have
  // been seen to miss their wake-up under Wine.
  std::promise<void> started;
  std::thread monitor([&] {
    for (int i = 0; i < 2000; ++i) {
      HalvexWPAPortUp();
      HalvexWPAPortDown();
      if (i == 10) started.set_value();
    }
  });
  started.get_future().wait();
  HalvexWPATerminate();
  monitor.join();
  for (const std::string& call : odsim::Calls()) EXPECT_EQ(call.find("stale"), std::string::npos) << call;
}

}  // namespace
