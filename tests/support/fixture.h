// The fixture every library test starts from: the library attached, a
// simulated adapter installed, a recording window registered.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "Halvex.h"
#include "frame/state.h"
#include "sim/sim_adapter.h"
#include "tests/support/recorder.h"

namespace hx::test {

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(hx::ProcessAttach());
    sim = sim::SimAdapter::Create();
    // The tests check the key bytes that reach the driver.
    sim->KeepSecretsInLog(true);
    sim->Install();
    ASSERT_EQ(HalvexInitialize(recorder.window()), 0);
  }

  void TearDown() override {
    if (adapter != nullptr) HalvexCloseAdapter(adapter);
    hx::ProcessDetach();
    sim->Uninstall();
  }

  // Opens the simulated adapter and forgets the requests opening made.
  void Open() {
    ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
    ASSERT_NE(adapter, nullptr);
    sim->ClearCalls();
  }

  MessageRecorder recorder;
  std::shared_ptr<sim::SimAdapter> sim;
  void* adapter = nullptr;
};

// A fixture whose adapter is already open.
class OpenAdapterTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    Open();
  }
};

// A 100-byte pending-query reply whose word 1 is `value` (word 0 differs, so
// a reader taking the wrong word is caught).
inline sim::Bytes PendingReplyFor(uint32_t value) {
  sim::Bytes reply(100, 0);
  const uint32_t words[2] = {0xDEAD, value};
  std::memcpy(reply.data(), words, sizeof words);
  return reply;
}

}  // namespace hx::test
