// The stand-in toolkit's supplicant engine: received EAP requests become link
// events on the link's thread, answered as the library answers them.
#include "eap/tls.h"
#include "tests/toolkit/engine_fixture.h"

namespace {

TEST_F(SupplicantEngineTest, IdentityRequestStartsTheSessionAndAnswersWithTheUserName) {
  StartLink();
  ASSERT_EQ(Receive(kIdentityRequest), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{15, 1, 8}));
  EXPECT_EQ(side_.events[1].state, 2u);
  EXPECT_EQ(side_.events[2].bytes,
            (Bytes{0x01, 0x00, 0x00, 0x0A, 0x02, 0x01, 0x00, 0x0A, 0x01, 'a', 'l', 'i', 'c', 'e'}));
  EXPECT_TRUE(side_.events[2].destinationNull);
  for (const Seen& seen : side_.events) EXPECT_EQ(seen.onLinkThread, 1);

  // The library's answers to 15 were made from the callback, on the link's thread.
  std::vector<std::string> calls = odsim::Calls();
  std::vector<std::string> fromLinkThread;
  for (ULONG i = 0; i < calls.size(); ++i) {
    if (ODSIM_GetCallLinkThread(i) == 1) fromLinkThread.push_back(calls[i]);
  }
  EXPECT_EQ(fromLinkThread,
            (std::vector<std::string>{"ODSTK_LINK_SetIdentity(link#1, identity#1)",
                                      "ODSTK_LINK_SetSessionResumptionTimeout(link#1, 3600)"}));

  // A second request in the same session is answered without starting again.
  side_.events.clear();
  ODSTK_IDENTITY_SetUserNameA(side_.identity, nullptr);
  const Bytes again = {0x02, 0x00, 0x00, 0x05, 0x01, 0x09, 0x00, 0x05, 0x01};
  ASSERT_EQ(Receive(again), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{8}));
  EXPECT_EQ(side_.events[0].bytes, (Bytes{0x01, 0x00, 0x00, 0x05, 0x02, 0x09, 0x00, 0x05, 0x01}));
}

TEST_F(SupplicantEngineTest, MethodsOtherThanTheIdentitysAreAnsweredWithANak) {
  StartLink();
  Identify();
  struct Case {
    const char* name;
    Bytes request;
    Bytes nak;
  } cases[] = {
      {"GTC", kGtcRequest, {0x01, 0x00, 0x00, 0x06, 0x02, 0x02, 0x00, 0x06, 0x03, 17}},
      {"MD5",
       {0x01, 0x00, 0x00, 0x06, 0x01, 0x07, 0x00, 0x06, 0x04, 0x10},
       {0x01, 0x00, 0x00, 0x06, 0x02, 0x07, 0x00, 0x06, 0x03, 17}},
      {"EAP-TLS",
       {0x01, 0x00, 0x00, 0x06, 0x01, 0x08, 0x00, 0x06, 0x0D, 0x20},
       {0x01, 0x00, 0x00, 0x06, 0x02, 0x08, 0x00, 0x06, 0x03, 17}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    side_.events.clear();
    ASSERT_EQ(Receive(c.request), 0);
    ASSERT_EQ(Types(), (std::vector<ULONG>{8}));
    EXPECT_EQ(side_.events[0].bytes, c.nak);
  }
}

TEST_F(SupplicantEngineTest, IdentitiesItCannotRunFailAtTheIdentityRequest) {
  struct Case {
    const char* name;
    std::vector<ULONG> outer;
    bool certificate;
    std::string line;
  } cases[] = {
      {"no method", {}, false, "EAP failed: the identity names no EAP method"},
      {"EAP-FAST",
       {43},
       false,
       "EAP failed: an unknown method (type 43) is not a method the stand-in speaks"},
      {"EAP-TLS without a certificate in the store",
       {13},
       true,
       hx::eap::TlsAvailable() ? "EAP failed: EAP-TLS: no certificate in the stand-in's store has the "
                                 "thumbprint the identity names"
                               : "EAP failed: EAP-TLS is unavailable in the stand-in toolkit of this build: "
                                 "it has no TLS library"},
  };
  std::vector<TraceLine> lines;
  g_trace = &lines;
  ODSTK_SetTraceCallbackA(RecordingTrace);
  ODSTK_SetTraceLevel(1);
  StartLink();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ODSTK_HANDLE identity = nullptr;
    ASSERT_EQ(ODSTK_CONTEXT_CreateIdentity(context_, &identity), 0);
    ODSTK_IDENTITY_SetUserNameA(identity, "alice");
    if (!c.outer.empty())
      ODSTK_IDENTITY_SetEapTypeList(identity, 0, c.outer.data(), static_cast<ULONG>(c.outer.size()));
    const UCHAR thumbprint[20] = {1, 2, 3};
    if (c.certificate) ODSTK_IDENTITY_SetUserCertificate(identity, thumbprint);
    side_.identity = identity;
    side_.events.clear();
    lines.clear();
    ODSTK_LINK_PortDown(side_.link);  // a new session each time
    ODSTK_LINK_PortUp(side_.link);
    ASSERT_EQ(Receive(kIdentityRequest), 0);
    ASSERT_EQ(Types(), (std::vector<ULONG>{15, 1, 2})) << "no identity response";
    EXPECT_EQ(side_.events[2].state, 3u);
    EXPECT_EQ(lines, (std::vector<TraceLine>{{1, c.line, {}}}));
  }
  ODSTK_SetTraceCallbackA(nullptr);
}

TEST_F(SupplicantEngineTest, TtlsSendsTheAnonymousIdentityOutside) {
  if (!hx::eap::TlsAvailable()) GTEST_SKIP() << "no TLS library: TTLS does not run";
  ODSTK_HANDLE identity = nullptr;
  ASSERT_EQ(ODSTK_CONTEXT_CreateIdentity(context_, &identity), 0);
  ODSTK_IDENTITY_SetUserNameA(identity, "CORP\\alice");
  const ULONG ttls = 21;
  ODSTK_IDENTITY_SetEapTypeList(identity, 0, &ttls, 1);
  ODSTK_IDENTITY_SetAnonymousIdentityA(identity, "anon");
  side_.identity = identity;
  StartLink();
  ASSERT_EQ(Receive(kIdentityRequest), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{15, 1, 8}));
  EXPECT_EQ(side_.events[2].bytes,
            (Bytes{0x01, 0x00, 0x00, 0x09, 0x02, 0x01, 0x00, 0x09, 0x01, 'a', 'n', 'o', 'n'}));
}

TEST_F(SupplicantEngineTest, BlobsOfPostedEventsStayForTheTestToRead) {
  side_.answer = "kept";
  StartLink();
  ODSTK_EVENT_ANSWER question{};
  question.Type = 13;
  ASSERT_EQ(ODSIM_PostEvent(side_.link, &question, kBound), ODSIM_DELIVERED);
  EXPECT_EQ(ODSIM_LiveBlobs(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(question.Answer.Data), question.Answer.Length), "kept");
}

TEST_F(SupplicantEngineTest, SuccessBeforeTheMethodFinishedIsRefused) {
  // Anyone between the station and the server could send it: no keys came of it.
  StartLink();
  Identify();
  ASSERT_EQ(Receive(kSuccess), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{2}));
  EXPECT_EQ(side_.events[0].state, 3u);
}

TEST_F(SupplicantEngineTest, FailureReportsTheStateAndEndsTheSession) {
  StartLink();
  Identify();
  ASSERT_EQ(Receive(kFailure), 0);
  ASSERT_EQ(Types(), (std::vector<ULONG>{2}));
  EXPECT_EQ(side_.events[0].state, 3u);
  // The next request starts a new session.
  side_.events.clear();
  Identify();
}

TEST_F(SupplicantEngineTest, LinksTheEngineCannotServeRefuseFrames) {
  struct Case {
    const char* name;
    std::function<void(ODSTK_HANDLE link)> arrange;
  } cases[] = {
      {"port down", [](ODSTK_HANDLE link) { ODSTK_LINK_PortDown(link); }},
      {"no 802.1X", [](ODSTK_HANDLE link) { SetNetworkOf(link, 0, 3); }},
      {"refused 802.1X information after none",
       [](ODSTK_HANDLE link) {
         SetNetworkOf(link, 0, 3);
         ODSIM_ScriptResult("ODSTK_LINK_SetNetworkInfoA", 4, 1);
         SetNetworkOf(link, 1, 3);
       }},
      {"terminated", [](ODSTK_HANDLE link) { ODSTK_LINK_Terminate(link); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.arrange(side_.link);
    ODSIM_ClearCalls();
    EXPECT_EQ(ODSTK_LINK_ReceiveEapol(side_.link, kIdentityRequest.data(), 9), 1);
    EXPECT_EQ(odsim::Calls(),
              (std::vector<std::string>{"ODSTK_LINK_ReceiveEapol(link#1, [01 00 00 05 01 01 00 "
                                        "05 01], 9)"}));
    StartLink();
    EXPECT_NE(ODSIM_WaitIdle(side_.link, kBound), ODSIM_TIMED_OUT);
    EXPECT_TRUE(side_.events.empty());
  }
}

TEST_F(SupplicantEngineTest, PortDownDropsFramesNotYetHandledAndResetsTheSession) {
  ASSERT_EQ(ODSTK_LINK_ReceiveEapol(side_.link, kIdentityRequest.data(), 9), 0);
  ASSERT_EQ(ODSTK_LINK_ReceiveEapol(side_.link, kSuccess.data(), 8), 0);
  ODSTK_EVENT_HEADER posted{0, 99};
  ASSERT_EQ(ODSIM_QueueEvent(side_.link, &posted, sizeof posted), ODSIM_DELIVERED);
  ODSTK_LINK_PortDown(side_.link);
  ODSTK_LINK_PortUp(side_.link);
  StartLink();
  ASSERT_EQ(ODSIM_WaitIdle(side_.link, kBound), ODSIM_DELIVERED);
  EXPECT_EQ(Types(), (std::vector<ULONG>{99})) << "only the engine's steps are dropped";
  side_.events.clear();
  Identify();  // a new session

  // Down in the middle of a session: the next request starts again.
  ODSTK_LINK_PortDown(side_.link);
  ODSTK_LINK_PortUp(side_.link);
  Identify();
}

TEST_F(SupplicantEngineTest, FramesItCannotUseAreIgnored) {
  const Bytes cases[] = {
      {},
      {0x01, 0x00, 0x00},
      {0x01, 0x00, 0x00, 0x06, 0x01, 0x01, 0x00, 0x05, 0x01},        // body longer than the bytes
      {0x01, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x06, 0x01},        // EAP longer than the body
      {0x01, 0x00, 0x00, 0x04, 0x01, 0x01, 0x00, 0x04},              // a request without a type
      {0x03, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x05, 0x01},        // unknown version
      {0x01, 0x01, 0x00, 0x00},                                      // EAPOL-Start
      {0x01, 0x03, 0x00, 0x05, 0x01, 0x01, 0x00, 0x05, 0x01},        // EAPOL-Key
      {0x01, 0x00, 0x00, 0x06, 0x01, 0x01, 0x00, 0x06, 0x04, 0x10},  // MD5 challenge
      {0x01, 0x00, 0x00, 0x05, 0x02, 0x01, 0x00, 0x05, 0x01},        // a response
  };
  StartLink();
  for (const Bytes& frame : cases) {
    EXPECT_EQ(Receive(frame), 0);
    EXPECT_TRUE(side_.events.empty()) << ::testing::PrintToString(frame);
  }
  // Padding after the declared lengths is not part of the frame.
  Bytes padded = kIdentityRequest;
  padded.resize(46, 0);
  EXPECT_EQ(Receive(padded), 0);
  EXPECT_EQ(Types(), (std::vector<ULONG>{15, 1, 8}));
}

TEST_F(SupplicantEngineTest, EngineOffLeavesFramesToTheCallRecordOnly) {
  ODSIM_EnableSupplicant(0);
  ODSTK_LINK_PortDown(side_.link);
  StartLink();
  EXPECT_EQ(Receive(kIdentityRequest), 0);
  ODSTK_LINK_PortUp(side_.link);
  EXPECT_EQ(Receive(kIdentityRequest), 0);
  EXPECT_TRUE(side_.events.empty());
  ODSIM_Reset();  // and a reset switches it off
  ODSTK_HANDLE context = nullptr, link = nullptr;
  ODSTK_CreateContext(&context);
  ODSTK_CONTEXT_CreateLinkAsynchronousA(context, &link);
  EXPECT_EQ(ODSTK_LINK_ReceiveEapol(link, kIdentityRequest.data(), 9), 0);
}

TEST_F(SupplicantEngineTest, TraceLinesUpToTheLevelSet) {
  const Bytes identityResponse = {0x01, 0x00, 0x00, 0x0A, 0x02, 0x01, 0x00,
                                  0x0A, 0x01, 'a',  'l',  'i',  'c',  'e'};
  const TraceLine received{3, "EAPOL received", kIdentityRequest};
  const TraceLine step{4, "EAP Request/Identity (identifier 1)", {}};
  const TraceLine sent{3, "EAPOL sent", identityResponse};
  const TraceLine failureReceived{3, "EAPOL received", kFailure};
  const TraceLine failure{1, "EAP failed: the server refused the credentials (EAP Failure)", {}};
  struct Case {
    ULONG level;
    std::vector<TraceLine> lines;
  } cases[] = {
      {0, {}},
      {1, {failure}},
      {3, {received, sent, failureReceived, failure}},
      {4, {received, step, sent, failureReceived, failure}},
  };
  std::vector<TraceLine> lines;
  g_trace = &lines;
  StartLink();
  for (const Case& c : cases) {
    SCOPED_TRACE("level " + std::to_string(c.level));
    ODSTK_SetTraceCallbackA(RecordingTrace);
    ODSTK_SetTraceLevel(c.level);
    lines.clear();
    ASSERT_EQ(Receive(kIdentityRequest), 0);
    ASSERT_EQ(Receive(kFailure), 0);
    EXPECT_EQ(lines, c.lines);
  }
  ODSTK_SetTraceCallbackA(nullptr);
  lines.clear();
  ASSERT_EQ(Receive(kIdentityRequest), 0);
  EXPECT_TRUE(lines.empty());
}

}  // namespace
