// The fixture of the supplicant bridge's tests: the library attached with a
// fresh stand-in toolkit (link#1, context#1), the simulated adapter open and
// its MAC address cached, so that the requests a test sees are its own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "frame/oids.h"
#include "supplicant/bridge.h"
#include "tests/support/fixture.h"
#include "toolkit/odsim.h"

namespace hx::test {

using sim::Bytes;
using Calls = std::vector<std::string>;

// A driver request as a test expects it: the OID and the payload's bytes.
struct Request {
  uint32_t code;
  uint32_t oid;
  Bytes bytes;
  bool operator==(const Request&) const = default;
};
inline Request Query(uint32_t oid) {
  return {IOCTL_OID_QUERY, oid, {}};
}
inline Request Set(uint32_t oid, Bytes bytes) {
  return {IOCTL_OID_SET, oid, std::move(bytes)};
}
inline void PrintTo(const Request& r, std::ostream* os) {
  *os << (r.code == IOCTL_OID_SET ? "set " : "query ") << std::hex << r.oid << " [";
  for (uint8_t b : r.bytes) *os << ' ' << int{b};
  *os << " ]";
}

// Injects one record (data after the 8-byte header), then a marker, and
// waits for the marker: the record has been dispatched.
inline void DispatchRecord(sim::SimAdapter& sim, MessageRecorder& recorder, uint32_t code,
                           const Bytes& data) {
  recorder.Clear();
  sim.InjectEvent(code, data);
  sim.InjectEvent(0x20000000);
  for (;;) {
    const auto codes = recorder.Codes();
    if (std::find(codes.begin(), codes.end(), 0x20000000) != codes.end()) break;
    ASSERT_TRUE(recorder.WaitForCount(codes.size() + 1));
  }
}

class BridgeTest : public LibraryTest {
 protected:
  void SetUp() override {
    ODSIM_Reset();
    LibraryTest::SetUp();
    Open();
    unsigned char mac[6];
    ASSERT_EQ(HalvexGetMacAddress(adapter, mac, sizeof mac), 0);
    // Once an event came through, the link thread is known to run.
    ODSTK_EVENT_HEADER idle{0, 12};
    Post(&idle);
    sim->ClearCalls();
    ODSIM_ClearCalls();
  }
  void TearDown() override {
    LibraryTest::TearDown();
    ODSIM_Reset();
  }

  static ODSTK_HANDLE Link() { return Bridge().ToolkitLink.load(); }

  // The toolkit's supplicant engine on, and the default networks and `ap`
  // around a station associated with none.
  void EngineAndNetwork(sim::AccessPoint ap) {
    ODSIM_EnableSupplicant(1);
    sim::RadioWorld world = sim::RadioWorld::Default();
    world.current.reset();
    world.accessPoints.push_back(std::move(ap));
    sim->SetWorld(world);
  }

  // Waits until the window has a message for which `done` holds.
  void WaitFor(const std::function<bool(const Message&)>& done) {
    for (;;) {
      const auto messages = recorder.Messages();
      if (std::any_of(messages.begin(), messages.end(), done)) return;
      ASSERT_TRUE(recorder.WaitForCount(messages.size() + 1));
    }
  }
  static void Post(void* event) { ASSERT_EQ(ODSIM_PostEvent(Link(), event, 5000), ODSIM_DELIVERED); }

  // The requests the adapter received, without the monitor's event fetches.
  // A set's bytes are its payload up to the padding the channel adds (1 to 4
  // zero bytes), so a request one byte short or long shows.
  std::vector<Request> Requests() const {
    std::vector<Request> requests;
    for (const sim::ControlCall& call : sim->Calls()) {
      if (call.Oid() == OID_HALVEX_EVENT_RECORDS) continue;
      Request r{call.code, call.Oid(), {}};
      if (call.code == IOCTL_OID_SET) {
        r.bytes = call.Payload();
        size_t padding = 0;
        while (padding < 4 && !r.bytes.empty() && r.bytes.back() == 0) {
          r.bytes.pop_back();
          ++padding;
        }
      }
      requests.push_back(std::move(r));
    }
    return requests;
  }
};

inline Message Text(const char* text) {
  return {HALVEX_MSG_STATUS_TEXT, true, text};
}
inline Message Code(uint64_t code) {
  return {code, false, ""};
}

}  // namespace hx::test
