// The machine's service as its clients' device handles meet it: every driver
// event reaches every handle open, an answer reaches its asker alone, a
// handle's fetches take none of another's records, and a service that goes
// away fails the requests at once and sets the exit events its clients
// registered (as a driver does on removal). Two clients of one in-process
// service stand for two processes.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "frame/oids.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "sim/client.h"
#include "sim/service.h"
#include "sim/sim_adapter.h"

namespace hx::test {
namespace {

using sim::Bytes;

// The codes of the records one fetch of `handle` hands over.
std::vector<uint32_t> Fetch(platform::Device& handle) {
  std::vector<uint8_t> area(4 + 0x4000, 0);
  const uint32_t oid = OID_HALVEX_EVENT_RECORDS;
  std::memcpy(area.data(), &oid, 4);
  uint32_t returned = 0, error = 0;
  EXPECT_TRUE(handle.Control(IOCTL_OID_QUERY, area.data(), static_cast<uint32_t>(area.size()), area.data(),
                             static_cast<uint32_t>(area.size()), &returned, &error));
  std::vector<uint32_t> codes;
  uint32_t count = 0, at = 8;
  std::memcpy(&count, area.data() + 4, 4);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t next = 0, code = 0;
    std::memcpy(&next, area.data() + at, 4);
    std::memcpy(&code, area.data() + at + 4, 4);
    codes.push_back(code);
    at += next;
  }
  return codes;
}

// Registers an event of this process on `handle` (notify or exit).
void Register(platform::Device& handle, uint32_t code, HANDLE event) {
  uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
  uint32_t returned = 0, error = 0;
  ASSERT_TRUE(handle.Control(code, &value, 4, nullptr, 0, &returned, &error));
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Lines lines;
    first = sim::ConnectInProcess(core, &lines);
    second = sim::ConnectInProcess(core, &lines);
    ASSERT_TRUE(first && second);
    a = first->OpenDevice();
    b = second->OpenDevice();
    ASSERT_TRUE(a && b);
  }
  void TearDown() override {
    a.reset();
    b.reset();
    first.reset();
    second.reset();
    core.ShutdownAll();
    core.AwaitServed();
  }

  std::shared_ptr<sim::SimAdapter> adapter = sim::SimAdapter::Create();
  sim::ServiceCore core{adapter};
  std::unique_ptr<sim::ServiceClient> first, second;
  std::shared_ptr<platform::Device> a, b;
};

TEST_F(ServiceTest, EveryHandleGetsEveryEventAndOnlyItsOwnAnswers) {
  platform::UniqueHandle notifyA(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  platform::UniqueHandle notifyB(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Register(*a, IOCTL_REGISTER_EVENT, notifyA.get());
  Register(*b, IOCTL_REGISTER_EVENT, notifyB.get());
  adapter->InjectEvent(0x20000001);
  // Each process's own event was set, through its events socket.
  EXPECT_EQ(WaitForSingleObject(notifyA.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(notifyB.get(), 5000), WAIT_OBJECT_0);
  // A pending query's answer goes to the asker alone.
  adapter->Script(OID_802_11_FRAGMENTATION_THRESHOLD, sim::Response::Pending(Bytes(100, 7)));
  uint8_t query[12] = {};
  const uint32_t oid = OID_802_11_FRAGMENTATION_THRESHOLD;
  std::memcpy(query, &oid, 4);
  uint32_t returned = 0, error = 0;
  EXPECT_FALSE(b->Control(IOCTL_OID_QUERY, query, sizeof query, query, sizeof query, &returned, &error));
  uint32_t status = 0;
  std::memcpy(&status, query, 4);
  EXPECT_EQ(status, 259u) << "the driver's status word came back";
  adapter->InjectEvent(0x20000002);
  EXPECT_EQ(Fetch(*a), (std::vector<uint32_t>{0x20000001, 0x20000002}));
  EXPECT_EQ(Fetch(*b), (std::vector<uint32_t>{0x20000001, 7, 0x20000002}));
  EXPECT_EQ(Fetch(*a), std::vector<uint32_t>{}) << "nothing left, nothing taken twice";
  // Every request was logged under its own client.
  EXPECT_NE(second->RequestLog().find("OID 0x0D010209"), std::string::npos) << second->RequestLog();
  EXPECT_EQ(first->RequestLog().find("OID 0x0D010209"), std::string::npos) << first->RequestLog();
}

TEST_F(ServiceTest, ClosedHandlesAndClientsLeaveNothingBehind) {
  EXPECT_EQ(adapter->OpenPorts(), 2u);
  a.reset();
  EXPECT_EQ(adapter->OpenPorts(), 1u);
  b.reset();
  second.reset();  // its hang-up closes what it still had
  first.reset();
  core.ShutdownAll();
  core.AwaitServed();
  EXPECT_EQ(adapter->OpenPorts(), 0u);
  EXPECT_EQ(core.Clients(), 0u);
}

TEST_F(ServiceTest, AServiceThatGoesFailsRequestsAndSetsTheExitEvents) {
  platform::UniqueHandle exit(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Register(*a, IOCTL_REGISTER_EXIT_EVENT, exit.get());
  core.ShutdownAll();
  EXPECT_EQ(WaitForSingleObject(exit.get(), 5000), WAIT_OBJECT_0);
  uint8_t query[12] = {};
  uint32_t returned = 1, error = 0;
  EXPECT_FALSE(a->Control(IOCTL_OID_QUERY, query, sizeof query, query, sizeof query, &returned, &error));
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(returned, 0u);
  EXPECT_FALSE(first->alive());
  EXPECT_EQ(first->Registry()->CloseKey(reinterpret_cast<HKEY>(uintptr_t{5})), 1722)
      << "the registry: an error";
}

}  // namespace
}  // namespace hx::test
#endif
