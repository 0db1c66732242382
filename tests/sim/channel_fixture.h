// The fixture of the tests that drive the simulated adapter through its
// request channel alone, as the library would: sets, event record fetches
// and the notify event the driver signals.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "frame/oids.h"
#include "platform/unique_handle.h"
#include "sim/sim_adapter.h"

namespace hx::test {

// One event record: its code and the data after its 8-byte header, padding included.
struct Record {
  uint32_t code;
  sim::Bytes data;
  bool operator==(const Record&) const = default;
};
inline void PrintTo(const Record& r, std::ostream* os) {
  *os << "{" << r.code << ", " << ::testing::PrintToString(r.data) << "}";
}

class SimChannelTest : public ::testing::Test {
 protected:
  // The adapter in `world`, its delays zero and its notify event registered.
  void Install(sim::RadioWorld world) {
    adapter_ = sim::SimAdapter::Create();
    adapter_->SetWorld(std::move(world));
    adapter_->SetDelays(std::chrono::milliseconds(0), std::chrono::milliseconds(0));
    notify_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(notify_.get()));
    uint32_t returned = 0, error = 0;
    ASSERT_TRUE(adapter_->Control(IOCTL_REGISTER_EVENT, &value, 4, nullptr, 0, &returned, &error));
  }

  bool Set(uint32_t oid, const sim::Bytes& payload) {
    sim::Bytes buffer = sim::WordBytes(oid);
    buffer.insert(buffer.end(), payload.begin(), payload.end());
    uint32_t returned = 0, error = 0;
    const auto size = static_cast<uint32_t>(buffer.size());
    return adapter_->Control(IOCTL_OID_SET, buffer.data(), size, buffer.data(), 0, &returned, &error);
  }

  std::vector<Record> Fetch() {
    sim::Bytes buffer = sim::WordBytes(OID_HALVEX_EVENT_RECORDS);
    buffer.resize(4 + 4096, 0);
    uint32_t returned = 0, error = 0;
    const auto size = static_cast<uint32_t>(buffer.size());
    EXPECT_TRUE(
        adapter_->Control(IOCTL_OID_QUERY, buffer.data(), size, buffer.data(), size, &returned, &error));
    const uint8_t* area = buffer.data() + 4;
    std::vector<Record> records;
    size_t at = 4;
    for (uint32_t i = 0, n = sim::ReadWord(area); i < n; ++i) {
      const uint32_t length = sim::ReadWord(area + at);
      records.push_back({sim::ReadWord(area + at + 4), sim::Bytes(area + at + 8, area + at + length)});
      at += length;
    }
    return records;
  }

  std::shared_ptr<sim::SimAdapter> adapter_;
  platform::UniqueHandle notify_;
};

}  // namespace hx::test
