// Identities: what each export hands the toolkit, the PEAP conversions, the
// GTC response and its answer to the toolkit's request, refusals.
#include <cstring>
#include <string>

#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

// The builder's calls after the creation, for identity#N.
Calls Built(int n, const std::string& name, const std::string& password, const std::string& outer,
            const std::string& anonymous, const std::string& inner25, int noPasswordInGtc,
            const std::string& extra = "") {
  const std::string id = "identity#" + std::to_string(n);
  Calls calls = {"ODSTK_CONTEXT_CreateIdentity(context#1, &out)",
                 "ODSTK_IDENTITY_SetUserNameA(" + id + ", " + name + ")",
                 "ODSTK_IDENTITY_SetPasswordA(" + id + ", " + password + ")",
                 "ODSTK_IDENTITY_SetEapTypeList(" + id + ", 0, " + outer + ", 1)",
                 "ODSTK_IDENTITY_SetAnonymousIdentityA(" + id + ", " + anonymous + ")"};
  if (!extra.empty() && extra.find("Ttls") != std::string::npos) calls.push_back(extra);
  calls.push_back("ODSTK_IDENTITY_SetEapTypeList(" + id + ", 21, null, 0)");
  calls.push_back("ODSTK_IDENTITY_SetEapTypeList(" + id + ", 25, " + inner25 + ")");
  calls.push_back("ODSTK_IDENTITY_SetNoPasswordInGTC(" + id + ", 25, " + std::to_string(noPasswordInGtc) +
                  ")");
  calls.push_back("ODSTK_IDENTITY_SetEapTypeList(" + id + ", 43, null, 0)");
  calls.push_back("ODSTK_IDENTITY_SetNoPasswordInGTC(" + id + ", 43, 0)");
  if (!extra.empty() && extra.find("Certificate") != std::string::npos) calls.push_back(extra);
  calls.push_back("ODSTK_IDENTITY_Initialize(" + id + ")");
  calls.push_back("ODSTK_AddRef(" + id + ")");
  return calls;
}

class SupplicantIdentityTest : public BridgeTest {
 protected:
  // Asks for the GTC response as the toolkit does; the blob's bytes, or none.
  Bytes AskGtc() {
    ODSTK_EVENT_ANSWER event{};
    event.Type = 13;
    Post(&event);
    return Bytes(event.Answer.Data, event.Answer.Data + event.Answer.Length);
  }
  char user_[6] = "alice";
  char domain_[5] = "CORP";
  char empty_[1] = "";
  char password_[7] = "s3cret";
};

TEST_F(SupplicantIdentityTest, EachExportHandsTheBuilderItsRow) {
  unsigned char certificate[20];
  for (int i = 0; i < 20; ++i) certificate[i] = static_cast<unsigned char>(0xC0 + i);
  char anonymous[10] = "anonymous";
  ULONG methods[] = {2, 1};
  char response[4] = "123";
  struct Case {
    const char* name;
    std::function<int()> create;
    Calls calls;
  };
  const Case cases[] = {
      {"TLS", [&] { return HalvexWPACreateIdentityTLS(user_, certificate); },
       Built(1, "\"alice\"", "null", "[13]", "null", "null, 0", 0,
             "ODSTK_IDENTITY_SetUserCertificate(identity#1, [c0 c1 c2 c3 c4 c5 c6 c7 c8 c9 ca cb cc cd ce cf "
             "d0 "
             "d1 d2 d3])")},
      {"PEAP", [&] { return HalvexWPACreateIdentityPEAP(user_, domain_, password_); },
       Built(1, "\"CORP\\alice\"", "\"s3cret\"", "[25]", "null", "[6, 26], 2", 0)},
      {"PEAP without domain", [&] { return HalvexWPACreateIdentityPEAP(user_, empty_, password_); },
       Built(1, "\"alice\"", "\"s3cret\"", "[25]", "null", "[6, 26], 2", 0)},
      {"PEAP with methods and a GTC response",
       [&] { return HalvexWPACreateIdentityPEAP(user_, domain_, password_, methods, 2, 0, response); },
       Built(1, "\"CORP\\alice\"", "\"s3cret\"", "[25]", "null", "[6, 26], 2", 1)},
      {"PEAP with methods, response disabled",
       [&] { return HalvexWPACreateIdentityPEAP(user_, domain_, password_, methods, 2, 1, response); },
       Built(1, "\"CORP\\alice\"", "\"s3cret\"", "[25]", "null", "[6, 26], 2", 0)},
      {"TTLS", [&] { return HalvexWPACreateIdentityTtls(user_, domain_, password_, anonymous); },
       Built(1, "\"CORP\\alice\"", "\"s3cret\"", "[21]", "\"anonymous\"", "null, 0", 0,
             "ODSTK_IDENTITY_SetTtlsInnerAuthProtocol(identity#1, 4)")},
      {"LEAP", [&] { return HalvexWPACreateIdentityLEAP(user_, domain_, password_); },
       Built(1, "\"CORP\\alice\"", "\"s3cret\"", "[17]", "null", "null, 0", 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HalvexWPATerminate();
    ODSIM_Reset();
    ASSERT_EQ(HalvexWPAInitialize(), 0);
    ODSIM_ClearCalls();
    ODSIM_RecordSecrets(1);  // the password passed is the one given
    EXPECT_EQ(c.create(), 0);
    EXPECT_EQ(odsim::CallsOnThisThread(), c.calls);
    EXPECT_EQ(odsim::Describe(Bridge().ToolkitIdentity.load()), "identity#1");
    EXPECT_EQ(ODSIM_RefCount(Bridge().ToolkitIdentity.load()), 2u);  // the context's and the bridge's
  }
}

TEST_F(SupplicantIdentityTest, InnerMethodsConvertUntilTheFirstUnknownCode) {
  struct Case {
    std::vector<ULONG> methods;
    std::string handed;
  };
  const Case cases[] = {{{2, 1}, "[6, 26], 2"}, {{1, 3, 2}, "[26], 1"}, {{0, 1}, "null, 0"}, {{}, "null, 0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.handed);
    ODSIM_ClearCalls();
    std::vector<ULONG> methods = c.methods;
    ASSERT_EQ(
        HalvexWPACreateIdentityPEAP(user_, domain_, password_, methods.empty() ? nullptr : methods.data(),
                                    static_cast<ULONG>(methods.size()), 1, nullptr),
        0);
    const Calls calls = odsim::CallsOnThisThread();
    EXPECT_NE(std::find_if(calls.begin(), calls.end(),
                           [&](const std::string& s) {
                             return s.find(", 25, " + c.handed + ")") != std::string::npos;
                           }),
              calls.end());
  }
}

TEST_F(SupplicantIdentityTest, ANewIdentityReleasesThePreviousFirst) {
  ASSERT_EQ(HalvexWPACreateIdentityLEAP(user_, domain_, password_), 0);
  ODSIM_ClearCalls();
  ASSERT_EQ(HalvexWPACreateIdentityLEAP(user_, domain_, password_), 0);
  const Calls calls = odsim::CallsOnThisThread();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], "ODSTK_Release(identity#1)");
  EXPECT_EQ(calls[1], "ODSTK_CONTEXT_CreateIdentity(context#1, &out)");
  EXPECT_EQ(odsim::Describe(Bridge().ToolkitIdentity.load()), "identity#2");
  // A refused creation leaves no identity.
  ASSERT_EQ(ODSIM_ScriptResult("ODSTK_CONTEXT_CreateIdentity", 5, 1), 0);
  EXPECT_EQ(HalvexWPACreateIdentityLEAP(user_, domain_, password_), 1);
  EXPECT_EQ(Bridge().ToolkitIdentity.load(), nullptr);
}

TEST_F(SupplicantIdentityTest, GtcRequestIsAnsweredWithTheStoredResponseOnlyWhenOneWasGiven) {
  ULONG methods[] = {2};
  char response[8] = "4711";
  // Seven-argument PEAP with a response: the request is answered with it.
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password_, methods, 1, 0, response), 0);
  std::memset(response, 'x', 4);  // the library keeps its own copy
  EXPECT_EQ(AskGtc(), (Bytes{'4', '7', '1', '1'}));
  // Disabled, or the three-argument form: no answer at all.
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password_, methods, 1, 1, response), 0);
  EXPECT_EQ(AskGtc(), Bytes{});
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password_, methods, 1, 0, response), 0);
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password_), 0);
  ODSIM_ClearCalls();
  EXPECT_EQ(AskGtc(), Bytes{});
  EXPECT_EQ(odsim::Calls(), Calls{});  // and no default handling either
  // What was stored is wiped, not just cut at its first byte.
  std::lock_guard lock(Bridge().GtcLock);
  EXPECT_EQ(Bytes(Bridge().StoredGtcResponse, Bridge().StoredGtcResponse + 40), Bytes(40, 0));
}

TEST_F(SupplicantIdentityTest, OverlongNamesAndResponsesAreRefusedAndChangeNothing) {
  ULONG methods[] = {1};
  char response[8] = "ok";
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password_, methods, 1, 0, response), 0);
  std::string user74(74, 'u');  // with "CORP\" exactly 79 characters
  std::string user75(75, 'u');
  std::string long40(40, 'r');
  std::string fits39(39, 'r');
  ODSIM_ClearCalls();
  EXPECT_EQ(HalvexWPACreateIdentityPEAP(user75.data(), domain_, password_), 1);
  EXPECT_EQ(HalvexWPACreateIdentityLEAP(user75.data(), domain_, password_), 1);
  EXPECT_EQ(HalvexWPACreateIdentityTtls(user75.data(), domain_, password_, nullptr), 1);
  EXPECT_EQ(HalvexWPACreateIdentityPEAP(user75.data(), domain_, password_, methods, 1, 0, response), 1);
  EXPECT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password_, methods, 1, 0, long40.data()), 1);
  EXPECT_EQ(HalvexWPACreateIdentityTLS(std::string(80, 't').data(), nullptr), 1);
  EXPECT_EQ(odsim::Calls(), Calls{});
  EXPECT_EQ(odsim::Describe(Bridge().ToolkitIdentity.load()), "identity#1");
  EXPECT_EQ(AskGtc(), (Bytes{'o', 'k'}));
  // The longest that fit are taken.
  EXPECT_EQ(HalvexWPACreateIdentityPEAP(user74.data(), domain_, password_, methods, 1, 0, fits39.data()), 0);
  EXPECT_EQ(AskGtc(), Bytes(39, 'r'));
}

TEST_F(SupplicantIdentityTest, ALoadStartsFromTheLoadState) {
  ULONG methods[] = {2};
  char response[8] = "4711";
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user_, domain_, password_, methods, 1, 0, response), 0);
  SupplicantBridge& b = Bridge();
  for (std::atomic<uint32_t>* word :
       {&b.CcxMode, &b.SupplicantState, &b.SupplicantLinkState, &b.SupplicantAuthState, &b.KeyWaitCount})
    word->store(5);
  HalvexCloseAdapter(adapter);
  ProcessDetach();
  ASSERT_TRUE(ProcessAttach());
  for (std::atomic<uint32_t>* word :
       {&b.CcxMode, &b.SupplicantState, &b.SupplicantLinkState, &b.SupplicantAuthState, &b.KeyWaitCount})
    EXPECT_EQ(word->load(), 0u);
  EXPECT_EQ(b.GtcResponseDisabled.load(), 1u);
  std::lock_guard lock(b.GtcLock);
  EXPECT_EQ(Bytes(b.StoredGtcResponse, b.StoredGtcResponse + 40), Bytes(40, 0));
}

TEST(WipeSecret, ZeroesExactlyTheBytesGiven) {
  char text[] = "secretXY";
  WipeSecret(text, 6);
  EXPECT_EQ(Bytes(text, text + 9), (Bytes{0, 0, 0, 0, 0, 0, 'X', 'Y', 0}));
}

}  // namespace
}  // namespace hx::test
