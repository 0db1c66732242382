// Whether Windows' configuration service manages the adapter.
#include <algorithm>
#include <optional>
#include <string>

#include "frame/oids.h"
#include "tests/support/stored_settings.h"

namespace hx::test {
namespace {

class CoexistenceTest : public StoredSettingsTest {
 protected:
  void TearDown() override {
    platform::OverrideServices(std::nullopt);
    StoredSettingsTest::TearDown();
  }
  void Flags(const char* text) {
    sandbox.Import(
        std::string(
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\WZCSVC\\Parameters\\Interfaces\\") +
        sim::kInstanceId + "]\n" + text + "\n");
  }
};

TEST_F(CoexistenceTest, AnswersFromTheServiceAndTheInterfaceFlags) {
  using Services = platform::ServiceSet;
  struct Row {
    const char* name;
    Services services;
    const char* flags;  // a value line, or "" for none
    int result;
    int answer;
  };
  const Row rows[] = {
      {"stopped", Services{true, {{"WZCSVC", SERVICE_STOPPED}}}, "\"ControlFlags\"=dword:0000800f", 1, -7},
      {"running, managed", Services{true, {{"WZCSVC", SERVICE_RUNNING}}}, "\"ControlFlags\"=dword:0000800f",
       0, 1},
      {"running, not managed", Services{true, {{"wzcsvc", SERVICE_RUNNING}}},
       "\"ControlFlags\"=dword:00000007", 0, 0},
      {"running, no flags", Services{true, {{"WZCSVC", SERVICE_RUNNING}}}, "", 0, 1},
      {"not installed", Services{true, {}}, "\"ControlFlags\"=dword:00000007", 0, 0},
      {"no manager", Services{false, {}}, "\"ControlFlags\"=dword:00008000", 0, 1},
      {"starting", Services{true, {{"WZCSVC", SERVICE_START_PENDING}}}, "\"ControlFlags\"=dword:00000000", 1,
       -7},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    platform::OverrideServices(row.services);
    sandbox.Import(
        std::string(
            "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Microsoft\\WZCSVC\\Parameters\\Interfaces\\") +
        sim::kInstanceId + "]\n");
    if (*row.flags != '\0') Flags(row.flags);
    int answer = -7;
    EXPECT_EQ(HalvexQueryWZCStatusCheck(answer), row.result);
    EXPECT_EQ(answer, row.answer);
  }
}

TEST_F(CoexistenceTest, OpensAndClosesTheAdapterWhenNoneIsOpen) {
  platform::OverrideServices(platform::ServiceSet{true, {{"WZCSVC", SERVICE_RUNNING}}});
  Flags("\"ControlFlags\"=dword:00000007");
  HalvexCloseAdapter(adapter);
  int answer = -7;
  EXPECT_EQ(HalvexQueryWZCStatusCheck(answer), 0);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(State().AdapterHandle.load(), nullptr);
  // And when opening it fails, nothing is left open either.
  sim->Uninstall();
  answer = -7;
  EXPECT_EQ(HalvexQueryWZCStatusCheck(answer), 1);
  EXPECT_EQ(answer, -7);
  EXPECT_EQ(State().AdapterHandle.load(), nullptr);
}

TEST_F(CoexistenceTest, NoInstanceIdNoAnswer) {
  platform::OverrideServices(platform::ServiceSet{true, {{"WZCSVC", SERVICE_RUNNING}}});
  sandbox.Import(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\") + AdapterKey() +
                 "]\n\"NetCfgInstanceId\"=-\n");
  int answer = -7;
  EXPECT_EQ(HalvexQueryWZCStatusCheck(answer), 1);
  EXPECT_EQ(answer, -7);
}

// Driver code 137: stand back while the service manages the adapter, else put
// the desired security back; only what a successful query shows is compared.
TEST_F(CoexistenceTest, SecurityRecheckOnDriverRequest) {
  constexpr uint32_t kFailed = 0xFFFFFFFF;
  struct Row {
    const char* name;
    bool connected;
    bool managed;
    uint32_t auth, wep;  // the driver's answers, or kFailed
    bool disassociates;
    std::optional<uint32_t> authSet, wepSet;
  };
  const Row rows[] = {
      {"not connected", false, true, 0, 0, false, std::nullopt, std::nullopt},
      {"managed by the service", true, true, 0, 0, true, std::nullopt, std::nullopt},
      {"both as desired", true, false, 4, 2, false, std::nullopt, std::nullopt},
      {"auth mode changed", true, false, 0, 2, false, 4u, std::nullopt},
      {"both changed", true, false, 1, 0, false, 4u, 2u},
      {"queries fail", true, false, kFailed, kFailed, false, std::nullopt, std::nullopt},
  };
  platform::OverrideServices(platform::ServiceSet{true, {{"WZCSVC", SERVICE_RUNNING}}});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Flags(row.managed ? "\"ControlFlags\"=dword:0000800f" : "\"ControlFlags\"=dword:00000007");
    State().DesiredAuthMode.store(4);
    State().DesiredWepStatus.store(2);
    sim->Script(OID_GEN_MEDIA_CONNECT_STATUS, sim::Response::Word(row.connected ? 0 : 1));
    auto answer = [](uint32_t value) {
      return value == kFailed ? sim::Response::Fail(0xC0000001) : sim::Response::Word(value);
    };
    sim->Script(OID_802_11_AUTHENTICATION_MODE, answer(row.auth));
    sim->Script(OID_802_11_WEP_STATUS, answer(row.wep));
    sim->ClearCalls();
    recorder.Clear();
    sim->InjectEvent(137);
    sim->InjectEvent(0xF0000001);  // a marker: the monitor is past the check
    // A disassociation makes the driver report the link down too.
    auto marked = [&] {
      auto codes = recorder.Codes();
      return std::find(codes.begin(), codes.end(), 0xF0000001) != codes.end();
    };
    for (size_t count = 1; !marked() && count < 8; ++count) ASSERT_TRUE(recorder.WaitForCount(count));
    auto setTo = [&](uint32_t oid) -> std::optional<uint32_t> {
      for (const sim::ControlCall& call : sim->CallsFor(oid)) {
        if (call.code == IOCTL_OID_SET) return sim::ReadWord(call.Payload().data());
      }
      return std::nullopt;
    };
    EXPECT_EQ(!sim->CallsFor(OID_802_11_DISASSOCIATE).empty(), row.disassociates);
    EXPECT_EQ(setTo(OID_802_11_AUTHENTICATION_MODE), row.authSet);
    EXPECT_EQ(setTo(OID_802_11_WEP_STATUS), row.wepSet);
  }
}

}  // namespace
}  // namespace hx::test
