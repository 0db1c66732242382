// The stand-in toolkit on its own: references, refusals, the link thread and
// the control calls tests rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "toolkit/odsim.h"

namespace {

constexpr ULONG kBound = 5000;  // a safety bound only: deliveries normally finish at once

// A ToolkitEvent-shaped record: the type word at byte 4, the answer at 20.
struct Event {
  ULONG Unused0;
  ULONG Type;
  ULONG Words[10];
};

class StandInToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override { ODSIM_Reset(); }
  void TearDown() override {
    ODSIM_Reset();
    EXPECT_EQ(ODSIM_WaitLinkThreadsStopped(kBound), 0);
  }

  ODSTK_HANDLE NewContext() {
    ODSTK_HANDLE context = nullptr;
    EXPECT_EQ(ODSTK_CreateContext(&context), 0);
    return context;
  }
  ODSTK_HANDLE NewLink(ODSTK_HANDLE context) {
    ODSTK_HANDLE link = nullptr;
    EXPECT_EQ(ODSTK_CONTEXT_CreateLinkAsynchronousA(context, &link), 0);
    return link;
  }
};

// Runs a link on its own thread for the length of a test.
class LinkRunner {
 public:
  explicit LinkRunner(ODSTK_HANDLE link)
      : link_(link), thread_([this] { result_ = ODSTK_LINK_Thread(link_); }) {}
  ~LinkRunner() { Stop(); }
  void Stop() {
    if (!thread_.joinable()) return;
    ODSTK_LINK_Terminate(link_);
    thread_.join();
  }
  std::thread::id id() const { return thread_.get_id(); }
  int result() const { return result_; }

 private:
  ODSTK_HANDLE link_;
  int result_ = -1;
  std::thread thread_;
};

// The test's link callback: records where and with what it ran, answers 0x77.
struct Seen {
  std::vector<ULONG> types;
  std::vector<ULONG> values;
  std::vector<std::thread::id> threads;
  std::vector<int> onLinkThread;
};
Seen* g_seen = nullptr;
void ODSTK_CALL RecordingCallback(ULONG value, void* event) {
  auto* e = static_cast<Event*>(event);
  g_seen->types.push_back(e->Type);
  g_seen->values.push_back(value);
  g_seen->threads.push_back(std::this_thread::get_id());
  g_seen->onLinkThread.push_back(ODSIM_OnLinkThread());
  e->Words[3] = 0x77;
}

void ODSTK_CALL ForwardToDefault(ULONG, void* event) {
  ODSTK_ProcessCallbackA(event);
}

std::atomic<int> g_delivered{0};
void ODSTK_CALL CountingCallback(ULONG, void*) {
  g_delivered.fetch_add(1);
}

TEST_F(StandInToolkitTest, ReferencesFreeObjectsAtZeroAndLinksKeepTheirContext) {
  ODSTK_HANDLE context = NewContext();
  ODSTK_HANDLE link = NewLink(context);
  EXPECT_EQ(ODSIM_RefCount(context), 2u);  // the caller's and the link's
  EXPECT_EQ(ODSTK_AddRef(link), 2u);
  EXPECT_EQ(ODSTK_Release(link), 1u);
  EXPECT_EQ(ODSTK_Release(context), 1u);
  EXPECT_EQ(ODSIM_LiveHandles(ODSIM_KIND_CONTEXT), 1u);
  EXPECT_EQ(ODSTK_Release(link), 0u);
  EXPECT_EQ(ODSIM_LiveHandles(ODSIM_KIND_ANY), 0u);
  EXPECT_EQ(odsim::Call(ODSIM_CallCount() - 1), "ODSTK_Release(link#1)");
}

TEST_F(StandInToolkitTest, IdentityCreationReferenceBelongsToTheContext) {
  ODSTK_HANDLE context = NewContext();
  ODSTK_HANDLE identity = nullptr;
  ASSERT_EQ(ODSTK_CONTEXT_CreateIdentity(context, &identity), 0);
  EXPECT_EQ(odsim::Describe(identity), "identity#1");
  EXPECT_EQ(ODSTK_AddRef(identity), 2u);
  EXPECT_EQ(ODSTK_Release(identity), 1u);
  EXPECT_EQ(ODSTK_Release(context), 0u);
  EXPECT_EQ(ODSIM_LiveHandles(ODSIM_KIND_ANY), 0u);
}

TEST_F(StandInToolkitTest, LinkKeepsTheIdentityItRunsWith) {
  ODSTK_HANDLE context = NewContext();
  ODSTK_HANDLE link = NewLink(context);
  ODSTK_HANDLE identity = nullptr;
  ASSERT_EQ(ODSTK_CONTEXT_CreateIdentity(context, &identity), 0);
  ASSERT_EQ(ODSTK_LINK_SetIdentity(link, identity), 0);
  EXPECT_EQ(ODSIM_RefCount(identity), 2u);
  ODSTK_Release(context);
  ODSTK_Release(link);
  EXPECT_EQ(ODSIM_LiveHandles(ODSIM_KIND_ANY), 0u);
}

TEST_F(StandInToolkitTest, NullReleasedAndWrongKindHandlesAreRefusedAndRecorded) {
  ODSTK_HANDLE context = NewContext();
  ODSTK_HANDLE stale = NewLink(context);
  ODSTK_Release(stale);
  struct Case {
    const char* expected;
    std::function<int(ODSTK_HANDLE)> call;
  };
  const std::vector<Case> cases = {
      {"ODSTK_LINK_PortUp", [](ODSTK_HANDLE h) { return ODSTK_LINK_PortUp(h); }},
      {"ODSTK_LINK_PortDown", [](ODSTK_HANDLE h) { return ODSTK_LINK_PortDown(h); }},
      {"ODSTK_LINK_Terminate", [](ODSTK_HANDLE h) { return ODSTK_LINK_Terminate(h); }},
      {"ODSTK_LINK_Thread", [](ODSTK_HANDLE h) { return ODSTK_LINK_Thread(h); }},
      {"ODSTK_LINK_SetNetworkInfoA",
       [](ODSTK_HANDLE h) {
         SUPP_NETWORK_INFO info{};
         return ODSTK_LINK_SetNetworkInfoA(h, &info);
       }},
      {"ODSTK_LINK_ReceiveEapol",
       [](ODSTK_HANDLE h) {
         const UCHAR body[2] = {1, 2};
         return ODSTK_LINK_ReceiveEapol(h, body, 2);
       }},
      {"ODSTK_LINK_SetSessionResumptionTimeout",
       [](ODSTK_HANDLE h) { return ODSTK_LINK_SetSessionResumptionTimeout(h, 3600); }},
      {"ODSTK_CONTEXT_Initialize", [](ODSTK_HANDLE h) { return ODSTK_CONTEXT_Initialize(h); }},
      {"ODSTK_IDENTITY_SetUserNameA", [](ODSTK_HANDLE h) { return ODSTK_IDENTITY_SetUserNameA(h, "alice"); }},
      {"ODSTK_Release", [](ODSTK_HANDLE h) { return static_cast<int>(ODSTK_Release(h)); }},
  };
  for (const Case& c : cases) {
    // context is the wrong kind for every call but CONTEXT_Initialize and Release.
    bool contextFits =
        std::string(c.expected) == "ODSTK_CONTEXT_Initialize" || std::string(c.expected) == "ODSTK_Release";
    for (ODSTK_HANDLE handle : {static_cast<ODSTK_HANDLE>(nullptr), stale, contextFits ? nullptr : context}) {
      SCOPED_TRACE(std::string(c.expected) + " with " + odsim::Describe(handle));
      ULONG invalid = ODSIM_InvalidHandleCalls();
      ODSIM_ClearCalls();
      EXPECT_NE(c.call(handle), c.expected == std::string("ODSTK_Release") ? 1 : 0);
      EXPECT_EQ(ODSIM_InvalidHandleCalls(), invalid + 1);
      ASSERT_EQ(ODSIM_CallCount(), 1u);
      EXPECT_EQ(odsim::CallNames()[0], c.expected);
    }
  }
  EXPECT_EQ(ODSIM_RefCount(context), 1u);
}

TEST_F(StandInToolkitTest, NullHandlesAppearAsNullAndReleasedOnesAsStale) {
  ODSTK_HANDLE context = NewContext();
  ODSTK_HANDLE link = NewLink(context);
  ODSTK_Release(link);
  ODSIM_ClearCalls();
  ODSTK_LINK_PortUp(nullptr);
  ODSTK_LINK_PortDown(link);
  EXPECT_EQ(odsim::Calls(),
            (std::vector<std::string>{"ODSTK_LINK_PortUp(null)", "ODSTK_LINK_PortDown(stale)"}));
}

TEST_F(StandInToolkitTest, ScriptedCreateFailuresYieldNullHandles) {
  struct Case {
    const char* call;
    std::function<int(ODSTK_HANDLE, ODSTK_HANDLE*)> create;
  };
  const std::vector<Case> cases = {
      {"ODSTK_CreateContext", [](ODSTK_HANDLE, ODSTK_HANDLE* out) { return ODSTK_CreateContext(out); }},
      {"ODSTK_CONTEXT_CreateLinkAsynchronousA",
       [](ODSTK_HANDLE c, ODSTK_HANDLE* out) { return ODSTK_CONTEXT_CreateLinkAsynchronousA(c, out); }},
      {"ODSTK_CONTEXT_CreateIdentity",
       [](ODSTK_HANDLE c, ODSTK_HANDLE* out) { return ODSTK_CONTEXT_CreateIdentity(c, out); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    ODSIM_Reset();
    ODSTK_HANDLE context = NewContext();
    ASSERT_EQ(ODSIM_ScriptResult(c.call, 7, 1), 0);
    ODSTK_HANDLE out = reinterpret_cast<ODSTK_HANDLE>(uintptr_t{0x1234});
    EXPECT_EQ(c.create(context, &out), 7);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(c.create(context, &out), 0);  // scripted once only
    EXPECT_NE(out, nullptr);
  }
}

TEST_F(StandInToolkitTest, ScriptsLastUntilResetAndRejectUnknownNames) {
  ODSTK_HANDLE link = NewLink(NewContext());
  ASSERT_EQ(ODSIM_ScriptResult("ODSTK_LINK_ReceiveEapol", 9, 0), 0);
  const UCHAR body[1] = {0};
  EXPECT_EQ(ODSTK_LINK_ReceiveEapol(link, body, 1), 9);
  EXPECT_EQ(ODSTK_LINK_ReceiveEapol(link, body, 1), 9);
  EXPECT_EQ(ODSIM_ScriptResult("ODSTK_NoSuchCall", 1, 0), 1);
  EXPECT_EQ(ODSIM_ScriptResult("ODSTK_AddRef", 1, 0), 1);  // not an int result
  ODSIM_Reset();
  link = NewLink(NewContext());
  EXPECT_EQ(ODSTK_LINK_ReceiveEapol(link, body, 1), 0);
}

TEST_F(StandInToolkitTest, LinkThreadDeliversEventsOnItselfInPlace) {
  Seen seen;
  g_seen = &seen;
  ODSTK_HANDLE link = NewLink(NewContext());
  ODSTK_LINK_SetCallbackA(link, RecordingCallback, 42);
  LinkRunner runner(link);
  Event event{0, 12, {}};
  ASSERT_EQ(ODSIM_PostEvent(link, &event, kBound), ODSIM_DELIVERED);
  EXPECT_EQ(event.Words[3], 0x77u);  // the callback's answer, written in place
  EXPECT_EQ(ODSIM_LinkThreadRunning(link), 1);
  std::thread::id linkThread = runner.id();
  runner.Stop();
  EXPECT_EQ(runner.result(), 0);
  EXPECT_EQ(ODSIM_LinkThreadRunning(link), 0);
  ASSERT_EQ(seen.types, std::vector<ULONG>{12});
  EXPECT_EQ(seen.values[0], 42u);
  EXPECT_EQ(seen.threads[0], linkThread);
  EXPECT_EQ(seen.onLinkThread[0], 1);
  EXPECT_EQ(ODSIM_OnLinkThread(), 0);
}

TEST_F(StandInToolkitTest, QueuedEventsArriveInOrderAsCopies) {
  Seen seen;
  g_seen = &seen;
  ODSTK_HANDLE link = NewLink(NewContext());
  ODSTK_LINK_SetCallbackA(link, RecordingCallback, 0);
  for (ULONG type = 1; type <= 5; ++type) {
    Event event{0, type, {}};
    ASSERT_EQ(ODSIM_QueueEvent(link, &event, sizeof event), ODSIM_DELIVERED);
    event.Type = 99;  // the queued copy is unaffected
  }
  LinkRunner runner(link);
  ASSERT_EQ(ODSIM_WaitIdle(link, kBound), ODSIM_DELIVERED);
  EXPECT_EQ(seen.types, (std::vector<ULONG>{1, 2, 3, 4, 5}));
}

TEST_F(StandInToolkitTest, CallsFromTheLinkThreadAreMarkedWithTheLink) {
  ODSTK_HANDLE context = NewContext();
  NewLink(context);  // link#1 stays idle
  ODSTK_HANDLE link = NewLink(context);
  ODSTK_LINK_SetCallbackA(link, ForwardToDefault, 0);
  LinkRunner runner(link);
  Event event{0, 12, {}};
  ASSERT_EQ(ODSIM_PostEvent(link, &event, kBound), ODSIM_DELIVERED);
  ODSTK_ProcessCallbackA(&event);
  std::vector<std::string> calls = odsim::Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "ODSTK_ProcessCallbackA(type=12)");
  EXPECT_EQ(ODSIM_GetCallLinkThread(ODSIM_CallCount() - 2), 2u);
  EXPECT_EQ(ODSIM_GetCallLinkThread(ODSIM_CallCount() - 1), 0u);
}

TEST_F(StandInToolkitTest, UndeliverablePostsAreRefusedOrWithdrawn) {
  Seen seen;
  g_seen = &seen;
  ODSTK_HANDLE link = NewLink(NewContext());
  ODSTK_LINK_SetCallbackA(link, RecordingCallback, 0);
  Event event{0, 3, {}};
  EXPECT_EQ(ODSIM_PostEvent(nullptr, &event, kBound), ODSIM_NOT_A_LINK);
  // No thread runs the link: the bound passes and the event is withdrawn.
  EXPECT_EQ(ODSIM_PostEvent(link, &event, 1), ODSIM_TIMED_OUT);
  {
    LinkRunner runner(link);
    ASSERT_EQ(ODSIM_WaitIdle(link, kBound), ODSIM_DELIVERED);
  }
  EXPECT_TRUE(seen.types.empty());
  EXPECT_EQ(ODSIM_PostEvent(link, &event, kBound), ODSIM_NOT_A_LINK);  // terminated
  EXPECT_EQ(ODSIM_QueueEvent(link, &event, sizeof event), ODSIM_NOT_A_LINK);
}

TEST_F(StandInToolkitTest, TerminateDropsQueuedEventsAndAThreadCannotRestartTheLink) {
  Seen seen;
  g_seen = &seen;
  ODSTK_HANDLE link = NewLink(NewContext());
  ODSTK_LINK_SetCallbackA(link, RecordingCallback, 0);
  Event event{0, 3, {}};
  ASSERT_EQ(ODSIM_QueueEvent(link, &event, sizeof event), ODSIM_DELIVERED);
  ODSTK_LINK_Terminate(link);
  EXPECT_EQ(ODSTK_LINK_Thread(link), 1);  // returns at once
  EXPECT_TRUE(seen.types.empty());
}

TEST_F(StandInToolkitTest, ReleasingARunningLinkStopsItsThread) {
  ODSTK_HANDLE context = NewContext();
  ODSTK_HANDLE link = NewLink(context);
  std::thread thread([link] { ODSTK_LINK_Thread(link); });
  // Wait until the thread is inside the link: a posted no-op proves it.
  Event event{0, 0, {}};
  ASSERT_EQ(ODSIM_PostEvent(link, &event, kBound), ODSIM_DELIVERED);
  ODSTK_Release(link);
  thread.join();
  EXPECT_EQ(ODSIM_RunningLinkThreads(), 0u);
}

TEST_F(StandInToolkitTest, NetworkInfoIsCopiedAndItsResultScripted) {
  ODSTK_HANDLE link = NewLink(NewContext());
  char passphrase[] = "secret pass";
  UCHAR ssid[] = {'n', 'e', 't'};
  UCHAR ies[] = {0xdd, 0x01, 0x02};
  SUPP_NETWORK_INFO info{};
  info.Size = 72;
  info.NetworkKind = 2;
  info.Protocol = 3;
  info.Use8021X = 0;
  info.KeyManagement = 1;
  info.Cipher = 2;
  std::memcpy(info.OwnAddress, "\x00\x11\x22\x33\x44\x55", 6);
  std::memcpy(info.Bssid, "\x66\x77\x88\x99\xaa\xbb", 6);
  info.Passphrase = passphrase;
  info.Ssid = ssid;
  info.SsidLength = 3;
  info.BeaconIes = ies;
  info.BeaconIesLength = 3;
  info.RequestIesLength = 5;  // length without bytes: nothing is read
  ASSERT_EQ(ODSTK_LINK_SetNetworkInfoA(link, &info), 0);
  std::memset(passphrase, 'x', sizeof passphrase - 1);
  ssid[0] = 'X';

  ODSIM_NETWORK_INFO seen{};
  ASSERT_EQ(ODSIM_GetNetworkInfo(link, &seen), 0);
  EXPECT_EQ(seen.Result, 0);
  EXPECT_EQ(seen.Size, 72u);
  EXPECT_EQ(seen.Protocol, 3u);
  EXPECT_EQ(seen.KeyManagement, 1u);
  EXPECT_EQ(seen.Cipher, 2u);
  EXPECT_EQ(std::memcmp(seen.Bssid, "\x66\x77\x88\x99\xaa\xbb", 6), 0);
  EXPECT_EQ(seen.HasPassphrase, 1u);
  EXPECT_EQ(seen.RequestIesLength, 5u);
  auto text = [&](ULONG field) {
    auto bytes = odsim::NetworkInfoBytes(link, field);
    return std::string(bytes.begin(), bytes.end());
  };
  EXPECT_EQ(text(ODSIM_FIELD_PASSPHRASE), "secret pass");
  EXPECT_EQ(text(ODSIM_FIELD_SSID), "net");
  EXPECT_EQ(text(ODSIM_FIELD_BEACON_IES), "\xdd\x01\x02");
  EXPECT_EQ(text(ODSIM_FIELD_REQUEST_IES), "");
  EXPECT_EQ(text(ODSIM_FIELD_RESPONSE_IES), "");

  ODSIM_ScriptResult("ODSTK_LINK_SetNetworkInfoA", 5, 1);
  info.Passphrase = nullptr;
  EXPECT_EQ(ODSTK_LINK_SetNetworkInfoA(link, &info), 5);
  ASSERT_EQ(ODSIM_GetNetworkInfo(link, &seen), 0);
  EXPECT_EQ(seen.Result, 5);
  EXPECT_EQ(seen.HasPassphrase, 0u);
  EXPECT_EQ(ODSTK_LINK_SetNetworkInfoA(link, nullptr), 1);
}

TEST_F(StandInToolkitTest, PortStateFollowsUpAndDownButNotRefusals) {
  ODSTK_HANDLE link = NewLink(NewContext());
  EXPECT_EQ(ODSIM_PortState(link), 0);
  ODSTK_LINK_PortUp(link);
  EXPECT_EQ(ODSIM_PortState(link), 1);
  ODSIM_ScriptResult("ODSTK_LINK_PortDown", 1, 1);
  EXPECT_EQ(ODSTK_LINK_PortDown(link), 1);
  EXPECT_EQ(ODSIM_PortState(link), 1);
  ODSTK_LINK_PortDown(link);
  EXPECT_EQ(ODSIM_PortState(link), 0);
  EXPECT_EQ(ODSIM_PortState(nullptr), -1);
}

TEST_F(StandInToolkitTest, CallsAreRecordedWithTheirArguments) {
  ODSTK_HANDLE context = NewContext();
  ODSTK_HANDLE link = NewLink(context);
  ODSTK_HANDLE identity = nullptr;
  ODSTK_CONTEXT_CreateIdentity(context, &identity);
  ODSIM_ClearCalls();
  const ULONG inner[] = {6, 26};
  UCHAR certificate[20];
  for (int i = 0; i < 20; ++i) certificate[i] = static_cast<UCHAR>(i);
  const UCHAR source[6] = {1, 2, 3, 4, 5, 6};
  const UCHAR body[3] = {0x01, 0x03, 0xff};
  NDIS_802_11_AUTHENTICATION_REQUEST request{16, {0xa, 0xb, 0xc, 0xd, 0xe, 0xf}, 6};
  ODSTK_IDENTITY_SetUserNameA(identity, "CORP\\alice");
  ODSTK_IDENTITY_SetPasswordA(identity, nullptr);
  ODSTK_IDENTITY_SetEapTypeList(identity, 25, inner, 2);
  ODSTK_IDENTITY_SetEapTypeList(identity, 21, nullptr, 0);
  ODSTK_IDENTITY_SetNoPasswordInGTC(identity, 43, 0);
  ODSTK_IDENTITY_SetUserCertificate(identity, certificate);
  ODSTK_LINK_SetIdentity(link, identity);
  ODSTK_LINK_SetSessionResumptionTimeout(link, 3600);
  ODSTK_LINK_ReceivePreauthEapol(link, source, body, 3);
  ODSTK_LINK_ReceiveAuthenticationEvent(link, &request);
  ODSTK_LINK_SetCallbackA(link, nullptr, 0);
  // Secrets stay out of the record unless asked for.
  ODSTK_BLOB blob{};
  ODSTK_IDENTITY_SetPasswordA(identity, "pw");
  ODSTK_AllocBlob(&blob, "tok", 3);
  ODSIM_RecordSecrets(1);
  ODSTK_IDENTITY_SetPasswordA(identity, "pw");
  ODSTK_AllocBlob(&blob, "tok", 3);
  EXPECT_EQ(
      odsim::Calls(),
      (std::vector<std::string>{
          "ODSTK_IDENTITY_SetUserNameA(identity#1, \"CORP\\alice\")",
          "ODSTK_IDENTITY_SetPasswordA(identity#1, null)",
          "ODSTK_IDENTITY_SetEapTypeList(identity#1, 25, [6, 26], 2)",
          "ODSTK_IDENTITY_SetEapTypeList(identity#1, 21, null, 0)",
          "ODSTK_IDENTITY_SetNoPasswordInGTC(identity#1, 43, 0)",
          "ODSTK_IDENTITY_SetUserCertificate(identity#1, [00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 "
          "11 12 13])",
          "ODSTK_LINK_SetIdentity(link#1, identity#1)",
          "ODSTK_LINK_SetSessionResumptionTimeout(link#1, 3600)",
          "ODSTK_LINK_ReceivePreauthEapol(link#1, [01 02 03 04 05 06], [01 03 ff], 3)",
          "ODSTK_LINK_ReceiveAuthenticationEvent(link#1, {length=16 bssid=[0a 0b 0c 0d 0e 0f] flags=6})",
          "ODSTK_LINK_SetCallbackA(link#1, null, 0)",
          "ODSTK_IDENTITY_SetPasswordA(identity#1, <secret>)",
          "ODSTK_AllocBlob(blob, <secret>, 3)",
          "ODSTK_IDENTITY_SetPasswordA(identity#1, \"pw\")",
          "ODSTK_AllocBlob(blob, [74 6f 6b], 3)",
      }));
}

TEST_F(StandInToolkitTest, AllocBlobFillsTheBlobWithACopy) {
  ODSTK_BLOB blob{};
  char text[] = "response";
  ASSERT_EQ(ODSTK_AllocBlob(&blob, text, 8), 0);
  text[0] = 'X';
  ASSERT_EQ(blob.Length, 8u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(blob.Data), blob.Length), "response");
  EXPECT_EQ(ODSTK_AllocBlob(nullptr, text, 8), 1);
  EXPECT_EQ(ODSTK_AllocBlob(&blob, nullptr, 3), 1);
  ASSERT_EQ(ODSTK_AllocBlob(&blob, nullptr, 0), 0);
  EXPECT_EQ(blob.Data, nullptr);
}

struct TraceSeen {
  ULONG level = 0;
  std::string text;
  ULONG length = 0;
  std::thread::id thread;
};
TraceSeen* g_trace = nullptr;
void ODSTK_CALL RecordingTrace(ULONG level, ULONG, const char* text, const void*, ULONG length) {
  g_trace->level = level;
  g_trace->text = text ? text : "(null)";
  g_trace->length = length;
  g_trace->thread = std::this_thread::get_id();
}

TEST_F(StandInToolkitTest, TraceLinesReachTheTraceCallbackOnTheChosenThread) {
  TraceSeen seen;
  g_trace = &seen;
  EXPECT_EQ(ODSIM_EmitTrace(3, 0, "early", nullptr, 0), 1);
  ODSTK_SetTraceCallbackA(RecordingTrace);
  ODSTK_SetTraceLevel(4);
  EXPECT_EQ(ODSIM_TraceLevel(), 4u);
  const UCHAR data[4] = {1, 2, 3, 4};
  ASSERT_EQ(ODSIM_EmitTrace(9, 0, "line", data, 4), 0);
  EXPECT_EQ(seen.level, 9u);
  EXPECT_EQ(seen.text, "line");
  EXPECT_EQ(seen.length, 4u);
  EXPECT_EQ(seen.thread, std::this_thread::get_id());

  ODSTK_HANDLE link = NewLink(NewContext());
  LinkRunner runner(link);
  ASSERT_EQ(ODSIM_PostTrace(link, 1, 0, nullptr, data, 4, kBound), ODSIM_DELIVERED);
  EXPECT_EQ(seen.text, "(null)");
  EXPECT_EQ(seen.thread, runner.id());
}

TEST_F(StandInToolkitTest, HeldProcessCallbackBlocksUntilLetGo) {
  ODSTK_HANDLE link = NewLink(NewContext());
  ODSTK_LINK_SetCallbackA(link, ForwardToDefault, 0);
  LinkRunner runner(link);
  ODSIM_HoldProcessCallback(1);
  Event event{0, 11, {}};
  ASSERT_EQ(ODSIM_QueueEvent(link, &event, sizeof event), ODSIM_DELIVERED);
  ASSERT_EQ(ODSIM_WaitHeld(kBound), 0);
  EXPECT_EQ(ODSIM_WaitIdle(link, 1), ODSIM_TIMED_OUT);
  ODSIM_HoldProcessCallback(0);
  EXPECT_EQ(ODSIM_WaitIdle(link, kBound), ODSIM_DELIVERED);
}

TEST_F(StandInToolkitTest, ConcurrentCallersAndDeliveriesAreSafe) {
  ODSTK_HANDLE context = NewContext();
  ODSTK_HANDLE link = NewLink(context);
  g_delivered = 0;
  ODSTK_LINK_SetCallbackA(link, CountingCallback, 0);
  LinkRunner runner(link);
  constexpr int kRounds = 200;
  std::thread poster([&] {
    for (int i = 0; i < kRounds; ++i) {
      Event event{0, 1, {}};
      ODSIM_PostEvent(link, &event, kBound);
    }
  });
  std::thread caller([&] {
    const UCHAR body[4] = {1, 2, 3, 4};
    for (int i = 0; i < kRounds; ++i) {
      ODSTK_LINK_PortUp(link);
      ODSTK_LINK_ReceiveEapol(link, body, 4);
      ODSTK_LINK_PortDown(link);
      ODSTK_HANDLE identity = nullptr;
      ODSTK_CONTEXT_CreateIdentity(context, &identity);
      ODSTK_LINK_SetIdentity(link, identity);
    }
  });
  poster.join();
  caller.join();
  EXPECT_EQ(g_delivered.load(), kRounds);
  EXPECT_EQ(ODSIM_InvalidHandleCalls(), 0u);
  runner.Stop();
  ODSTK_Release(link);
  ODSTK_Release(context);
  EXPECT_EQ(ODSIM_LiveHandles(ODSIM_KIND_ANY), 0u);
}

}  // namespace
