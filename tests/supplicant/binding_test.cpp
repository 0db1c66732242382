// Binding the toolkit at run time: each spelling its entry points may be
// exported under, and a library that goes on, calling nothing, when the
// toolkit or one of its entry points is missing.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/supplicant/bridge_fixture.h"

namespace hx::test {
namespace {

// Every entry point and the bytes of arguments its stdcall name carries.
struct Export {
  const char* name;
  unsigned bytes;
};
constexpr Export kExports[] = {
    {"ODSTK_Initialize", 0},
    {"ODSTK_Terminate", 0},
    {"ODSTK_AddRef", 4},
    {"ODSTK_Release", 4},
    {"ODSTK_CreateContext", 4},
    {"ODSTK_CONTEXT_Initialize", 4},
    {"ODSTK_CONTEXT_CreateLinkAsynchronousA", 8},
    {"ODSTK_CONTEXT_CreateIdentity", 8},
    {"ODSTK_LINK_SetCallbackA", 12},
    {"ODSTK_LINK_Initialize", 4},
    {"ODSTK_LINK_Thread", 4},
    {"ODSTK_LINK_Terminate", 4},
    {"ODSTK_LINK_SetIdentity", 8},
    {"ODSTK_LINK_SetSessionResumptionTimeout", 8},
    {"ODSTK_LINK_SetNetworkInfoA", 8},
    {"ODSTK_LINK_PortUp", 4},
    {"ODSTK_LINK_PortDown", 4},
    {"ODSTK_LINK_ReceiveEapol", 12},
    {"ODSTK_LINK_ReceivePreauthEapol", 16},
    {"ODSTK_LINK_ReceiveAuthenticationEvent", 8},
    {"ODSTK_LINK_ReceivePMKIDCandidateListEvent", 8},
    {"ODSTK_LINK_CCKM_StartReassociation", 8},
    {"ODSTK_IDENTITY_SetUserNameA", 8},
    {"ODSTK_IDENTITY_SetPasswordA", 8},
    {"ODSTK_IDENTITY_SetAnonymousIdentityA", 8},
    {"ODSTK_IDENTITY_SetEapTypeList", 16},
    {"ODSTK_IDENTITY_SetTtlsInnerAuthProtocol", 8},
    {"ODSTK_IDENTITY_SetNoPasswordInGTC", 12},
    {"ODSTK_IDENTITY_SetUserCertificate", 8},
    {"ODSTK_IDENTITY_Initialize", 4},
    {"ODSTK_AllocBlob", 12},
    {"ODSTK_ProcessCallbackA", 4},
    {"ODSTK_SetTraceCallbackA", 4},
    {"ODSTK_SetTraceLevel", 4},
};

enum class Spelling { kPlain, kMsvc, kGnu };

// A toolkit module as a test shapes it: present or not, its names spelled one
// way, one entry point left out. It leads to the stand-in's real functions.
struct FakeToolkit {
  bool present = true;
  Spelling spelling = Spelling::kPlain;
  std::string missing;
  std::vector<std::string> lookups;
  int opened = 0;
  int closed = 0;
  void* system = nullptr;
};
FakeToolkit fake;

std::string Spelled(const Export& e, Spelling spelling) {
  const std::string bytes = "@" + std::to_string(e.bytes);
  switch (spelling) {
    case Spelling::kPlain:
      return e.name;
    case Spelling::kMsvc:
      return "_" + std::string(e.name) + bytes;
    default:
      return e.name + bytes;
  }
}

void* FakeOpen() {
  ++fake.opened;
  if (!fake.present) return nullptr;
  fake.system = SystemToolkitSource().open();
  return &fake;
}
void FakeClose(void* module) {
  EXPECT_EQ(module, &fake);
  ++fake.closed;
  SystemToolkitSource().close(fake.system);
}
void* FakeLookup(void* module, const char* name) {
  EXPECT_EQ(module, &fake);
  fake.lookups.push_back(name);
  for (const Export& e : kExports) {
    if (e.name != fake.missing && Spelled(e, fake.spelling) == name)
      return ResolveToolkitEntry(SystemToolkitSource(), fake.system, e.name, e.bytes);
  }
  return nullptr;
}
constexpr ToolkitSource kFakeSource{FakeOpen, FakeClose, FakeLookup};

class ToolkitBindingTest : public LibraryTest {
 protected:
  void SetUp() override {
    ODSIM_Reset();
    LibraryTest::SetUp();
    Open();
    HalvexWPATerminate();
    fake = FakeToolkit{};
    Bridge().Binding.Source.store(&kFakeSource);
  }
  void TearDown() override {
    HalvexWPATerminate();
    Bridge().Binding.Source.store(&SystemToolkitSource());
    LibraryTest::TearDown();
    ODSIM_Reset();
  }
};

TEST_F(ToolkitBindingTest, EachSpellingBindsEveryEntryPoint) {
  struct Case {
    const char* name;
    Spelling spelling;
    std::vector<std::string> preauthLookups;  // the tries for one entry point
  };
  const Case cases[] = {
      {"plain", Spelling::kPlain, {"ODSTK_LINK_ReceivePreauthEapol"}},
      {"msvc", Spelling::kMsvc, {"ODSTK_LINK_ReceivePreauthEapol", "_ODSTK_LINK_ReceivePreauthEapol@16"}},
      {"gnu",
       Spelling::kGnu,
       {"ODSTK_LINK_ReceivePreauthEapol", "_ODSTK_LINK_ReceivePreauthEapol@16",
        "ODSTK_LINK_ReceivePreauthEapol@16"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake = FakeToolkit{};
    fake.spelling = c.spelling;
    ODSIM_Reset();
    ASSERT_EQ(HalvexWPAInitialize(), 0);
    EXPECT_EQ(odsim::Describe(Bridge().ToolkitLink.load()), "link#1");
    std::vector<std::string> preauth;
    std::copy_if(fake.lookups.begin(), fake.lookups.end(), std::back_inserter(preauth),
                 [](const std::string& n) { return n.find("ReceivePreauthEapol") != std::string::npos; });
    EXPECT_EQ(preauth, c.preauthLookups);
    EXPECT_EQ(fake.opened, 1);
    EXPECT_EQ(fake.closed, 0);
    HalvexWPATerminate();
    EXPECT_EQ(fake.closed, 1);  // freed once the toolkit is terminated
    EXPECT_EQ(Bridge().Binding.Bound.load(), nullptr);
    EXPECT_EQ(odsim::Calls().back(), "ODSTK_Terminate()");
  }
}

TEST_F(ToolkitBindingTest, WithoutTheToolkitTheBridgeRefusesAndCallsNothing) {
  struct Case {
    const char* name;
    bool present;
    Spelling spelling;
    const char* missing;
    int closed;  // a module opened is closed again at once
  };
  const Case cases[] = {
      {"no module", false, Spelling::kPlain, "", 0},
      {"first entry point missing", true, Spelling::kPlain, "ODSTK_Initialize", 1},
      {"last entry point missing", true, Spelling::kPlain, "ODSTK_SetTraceLevel", 1},
      {"one decorated entry point missing", true, Spelling::kGnu, "ODSTK_LINK_ReceiveEapol", 1},
  };
  char user[] = "alice", domain[] = "CORP", password[] = "secret", ssid[] = "net";
  unsigned char passphrase[] = "passphrase", own[6] = {2, 0, 0, 0, 0, 1}, bssid[6] = {2, 0, 0, 0, 0, 2};
  unsigned char certificate[20] = {7};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake = FakeToolkit{};
    fake.present = c.present;
    fake.spelling = c.spelling;
    fake.missing = c.missing;
    ODSIM_ClearCalls();
    EXPECT_EQ(HalvexWPAInitialize(), 1);
    EXPECT_EQ(fake.opened, 1);
    EXPECT_EQ(fake.closed, c.closed);
    EXPECT_EQ(Bridge().Binding.Bound.load(), nullptr);
    EXPECT_EQ(Bridge().ToolkitLink.load(), nullptr);

    EXPECT_EQ(HalvexWPACreateIdentityLEAP(user, domain, password), 1);
    EXPECT_EQ(HalvexWPACreateIdentityTLS(user, certificate), 1);
    EXPECT_EQ(HalvexSetWPAInformation(adapter, 3, 4, passphrase, ssid), 1);
    EXPECT_EQ(Bridge().WpaInfoPending.load(), 0u);
    EXPECT_EQ(HalvexSetWPAInformation(adapter, 4, 0, nullptr, nullptr), 0);  // no supplicant needed
    EXPECT_EQ(HalvexWPASetNetworkInfo(adapter, 3, 4, passphrase, ssid, own, bssid), 1);
    HalvexWPAPortUp();
    HalvexWPAPortDown();
    HalvexWPATrace(3);
    EXPECT_EQ(HalvexGetWPASuppStatus(0), 0);
    // The monitor's entries for the link: authentication, requests,
    // candidates, CCKM, a received EAPOL frame.
    DispatchRecord(*sim, recorder, 10, {0xCC, 0xCC, 0, 0, 0x0E, 0, 0, 0});
    DispatchRecord(*sim, recorder, 134,
                   {0xBB, 0xBB, 0, 0, 16, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x0C, 0, 0, 6, 0, 0, 0});
    DispatchRecord(*sim, recorder, 135, {0xAA, 0xAA, 0, 0,    0xBB, 0xBB, 0,    0,    1, 0, 0, 0, 1, 0,
                                         0,    0,    0, 0x11, 0x22, 0x33, 0x44, 0x0A, 0, 0, 1, 0, 0, 0});
    DispatchRecord(*sim, recorder, 136, {0xDD, 0xDD, 0, 0});
    const Bytes frames[] = {{18,   0,    0,    0,    0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00,
                             0x11, 0x22, 0x33, 0x44, 0x03, 0x88, 0x8E, 2,    3,    0,    0},
                            {18,   0,    0,    0,    0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x02,
                             0x99, 0x88, 0x77, 0x66, 0x55, 0x88, 0xC7, 2,    3,    0,    0}};
    for (const Bytes& frame : frames) {
      EXPECT_EQ(ReceiveDriverEapol(frame.data(), static_cast<uint32_t>(frame.size())), 1);
      DispatchRecord(*sim, recorder, 132, frame);
    }
    HalvexWPATerminate();
    EXPECT_EQ(odsim::Calls(), Calls{});
    EXPECT_EQ(fake.closed, c.closed);

    // The adapter's own exports go on as before.
    unsigned char mac[6] = {};
    EXPECT_EQ(HalvexGetMacAddress(adapter, mac, sizeof mac), 0);
  }
}

}  // namespace
}  // namespace hx::test
