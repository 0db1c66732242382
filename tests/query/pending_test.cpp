// Queries and register reads answered later through the monitor.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "frame/oids.h"
#include "tests/support/fixture.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;
using sim::WordBytes;

using PendingTest = OpenAdapterTest;

struct PendingMember {
  const char* name;
  uint32_t oid;
  std::function<int(void*, ULONG&)> query;
  int failure;        // result on failure: the queries say 1, register reads 0
  uint32_t sentSize;  // total request size
};

const PendingMember kMembers[] = {
    {"FragThreshold", OID_802_11_FRAGMENTATION_THRESHOLD, HalvexQueryFragThreshold, 1, 12},
    {"RTSThreshold", OID_802_11_RTS_THRESHOLD, HalvexQueryRTSThreshold, 1, 12},
    {"DataRate", OID_802_11_DESIRED_RATES, HalvexQueryDataRate, 1, 28},
    {"RfRegister", OID_HALVEX_RF_REGISTER,
     [](void* a, ULONG& v) { return HalvexQueryRfRegister(a, 0x42, v); }, 0, 16},
    {"BbRegister", OID_HALVEX_BB_REGISTER,
     [](void* a, ULONG& v) { return HalvexQueryBbRegister(a, 0x42, v); }, 0, 16},
    {"MacRegister", OID_HALVEX_MAC_REGISTER,
     [](void* a, ULONG& v) { return HalvexQueryMacRegister(a, 0x42, v); }, 0, 16},
};

TEST_F(PendingTest, AnsweredAtOnceLaterOrRefused) {
  for (const PendingMember& m : kMembers) {
    SCOPED_TRACE(m.name);
    const bool rate = m.oid == OID_802_11_DESIRED_RATES;
    // At once: the first payload word (the rate: its low byte), not the second.
    Bytes answer = WordBytes(0x1234);
    answer.resize(8, 0x77);
    sim->Script(m.oid, Response::Answer(answer));
    ULONG value = 0;
    EXPECT_EQ(m.query(adapter, value), 0);
    EXPECT_EQ(value, rate ? 0x34u : 0x1234u);
    // Later, through a code-7 record: word 1 of the reply.
    sim->Script(m.oid, Response::Pending(PendingReplyFor(0x5678)));
    EXPECT_EQ(m.query(adapter, value), 0);
    EXPECT_EQ(value, rate ? 0x78u : 0x5678u);
    // Refused by the driver, or a closed handle: 255.
    sim->Script(m.oid, Response::Fail(0xC0000001));
    EXPECT_EQ(m.query(adapter, value), m.failure);
    EXPECT_EQ(value, 255u);
    void* closed = nullptr;
    value = 0;
    EXPECT_EQ(m.query(closed, value), m.failure);
    EXPECT_EQ(value, 255u);
    const auto calls = sim->CallsFor(m.oid);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].inLength, m.sentSize);
    if (m.failure == 0) {
      EXPECT_EQ(sim::ReadWord(calls[0].Payload().data()), 0x42u) << "register number sent";
    }
    sim->ClearScript(m.oid);
  }
}

TEST_F(PendingTest, NoReplyTimesOutAfterEightSeconds) {
  sim->Script(OID_802_11_FRAGMENTATION_THRESHOLD, Response::PendingForever());
  ULONG threshold = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(HalvexQueryFragThreshold(adapter, threshold), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(7900));
  EXPECT_EQ(threshold, 255u);
}

TEST_F(PendingTest, ConcurrentPendingQueriesKeepTheirOwnAnswers) {
  // Each register's reply carries its own number: nobody may take another's.
  // The simulated driver answers every register read later, with reg + 1.
  sim->SetPendingRegisterEcho(true);
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const uint32_t oid = t % 2 ? OID_HALVEX_RF_REGISTER : OID_HALVEX_BB_REGISTER;
      for (int i = 0; i < kRounds; ++i) {
        ULONG value = 0;
        const ULONG reg = static_cast<ULONG>(t * 1000 + i);
        if (oid == OID_HALVEX_RF_REGISTER) {
          HalvexQueryRfRegister(adapter, reg, value);
        } else {
          HalvexQueryBbRegister(adapter, reg, value);
        }
        if (value != reg + 1) wrong.fetch_add(1);
      }
    });
  }
  // Meanwhile the monitor delivers unrelated events.
  std::thread noise([&] {
    for (int i = 0; i < 50; ++i) sim->InjectEvent(6);
  });
  for (auto& t : threads) t.join();
  noise.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace hx::test
