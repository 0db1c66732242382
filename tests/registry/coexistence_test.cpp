// Whether Windows' configuration service manages the adapter.
#include <string>

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

}  // namespace
}  // namespace hx::test
