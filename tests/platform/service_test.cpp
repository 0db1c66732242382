// The service seam (both builds) and the emulated service manager (POSIX).
#include <gtest/gtest.h>

#include <cstdint>
#include "platform/unique_handle.h"
#include "platform/win32.h"
#ifndef _WIN32
#include "platform/posix/control.h"
#endif

namespace hx::test {
namespace {

using UniqueService = platform::UniqueServiceHandle;

UniqueService OpenManager() {
  return UniqueService(platform::OpenServiceManager(nullptr, nullptr, SC_MANAGER_CONNECT));
}

UniqueService OpenService(const UniqueService& manager, const char* name) {
  return UniqueService(platform::OpenServiceByName(manager.get(), name, SERVICE_QUERY_STATUS));
}

class ServiceSeamTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::OverrideServices(std::nullopt); }
};

TEST_F(ServiceSeamTest, OverrideReportsTheListedStates) {
  platform::OverrideServices(
      platform::ServiceSet{true, {{"Running", SERVICE_RUNNING}, {"Stopped", SERVICE_STOPPED}}});
  UniqueService manager = OpenManager();
  ASSERT_TRUE(manager);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(manager.get()) % 2, 1u) << "fake handles are odd";
  struct Case {
    const char* name;
    DWORD state;  // 0: cannot be opened
  };
  for (const Case& c : {Case{"Running", SERVICE_RUNNING}, Case{"RUNNING", SERVICE_RUNNING},
                        Case{"stopped", SERVICE_STOPPED}, Case{"Other", 0}}) {
    SetLastError(0);
    UniqueService service = OpenService(manager, c.name);
    if (c.state == 0) {
      EXPECT_FALSE(service) << c.name;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST)) << c.name;
      continue;
    }
    ASSERT_TRUE(service) << c.name;
    SERVICE_STATUS status{};
    ASSERT_TRUE(platform::QueryServiceState(service.get(), &status)) << c.name;
    EXPECT_EQ(status.dwCurrentState, c.state) << c.name;
    EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  }
  SERVICE_STATUS status{};
  EXPECT_FALSE(platform::QueryServiceState(manager.get(), &status)) << "a manager is not a service";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ServiceSeamTest, OpenHandlesFollowChangesToTheOverride) {
  platform::OverrideServices(platform::ServiceSet{true, {{"Svc", SERVICE_START_PENDING}}});
  SC_HANDLE manager = platform::OpenServiceManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = platform::OpenServiceByName(manager, "svc", SERVICE_QUERY_STATUS);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status{};
  platform::OverrideServices(platform::ServiceSet{true, {{"SVC", SERVICE_RUNNING}}});
  ASSERT_TRUE(platform::QueryServiceState(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  // Once unlisted (or the override gone) the service reads as stopped, and
  // its handles still close through the seam.
  platform::OverrideServices(std::nullopt);
  ASSERT_TRUE(platform::QueryServiceState(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(platform::CloseServiceManagerHandle(service));
  EXPECT_TRUE(platform::CloseServiceManagerHandle(manager));
}

TEST_F(ServiceSeamTest, OverrideCanRefuseTheManager) {
  platform::OverrideServices(platform::ServiceSet{false, {{"Svc", SERVICE_RUNNING}}});
  SetLastError(0);
  EXPECT_FALSE(OpenManager());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

TEST_F(ServiceSeamTest, WithoutOverrideTheManagerAnswers) {
  UniqueService manager = OpenManager();
  ASSERT_TRUE(manager);
  SetLastError(0);
  EXPECT_FALSE(OpenService(manager, "HalvexNoSuchService"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

#ifndef _WIN32
class ServiceManagerTest : public ::testing::Test {
 protected:
  void TearDown() override { posix::ResetServices(); }
};

TEST_F(ServiceManagerTest, ServicesAreWhatTheTestDeclares) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  SetLastError(0);
  EXPECT_EQ(OpenServiceA(manager, "Svc", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

  posix::SetService("Svc", SERVICE_RUNNING);
  SC_HANDLE service = OpenServiceA(manager, "SVC", SERVICE_QUERY_STATUS);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));

  posix::SetService("svc", SERVICE_STOP_PENDING);
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  posix::RemoveService("sVc");
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(OpenServiceA(manager, "Svc", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_TRUE(CloseServiceHandle(service));
  EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST_F(ServiceManagerTest, HandlesAreChecked) {
  posix::SetService("Svc", SERVICE_RUNNING);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = OpenServiceA(manager, "Svc", SERVICE_QUERY_STATUS);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status{};
  const auto bogus = reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(0x12344));
  EXPECT_EQ(OpenServiceA(service, "Svc", 0), nullptr) << "a service is not a manager";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenServiceA(manager, nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(QueryServiceStatus(manager, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(QueryServiceStatus(service, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(QueryServiceStatus(bogus, &status));
  // Closing the manager leaves its services open.
  EXPECT_TRUE(CloseServiceHandle(manager));
  EXPECT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_TRUE(CloseServiceHandle(service));
  for (SC_HANDLE closed : {manager, service, bogus, static_cast<SC_HANDLE>(nullptr)}) {
    SetLastError(0);
    EXPECT_FALSE(CloseServiceHandle(closed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

TEST_F(ServiceManagerTest, ManagerCanBeUnavailable) {
  posix::SetServiceManagerAvailable(false);
  SetLastError(0);
  EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_FALSE(OpenManager()) << "the seam reaches the emulation without an override";
  posix::SetServiceManagerAvailable(true);
  EXPECT_TRUE(OpenManager());
}
#endif

}  // namespace
}  // namespace hx::test
