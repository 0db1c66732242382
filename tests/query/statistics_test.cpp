// Statistics records and register writes against the simulated adapter.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame/oids.h"
#include "tests/support/fixture.h"
#include "tests/support/guard_page.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;

class StatisticsTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    Open();
  }
};

struct Record {
  const char* name;
  uint32_t oid;
  size_t size;
  int (*query)(void*, void*);
};
const Record kRecords[] = {
    {"Statistics", OID_802_11_STATISTICS, HALVEX_STATISTICS_SIZE,
     [](void* a, void* r) { return HalvexQueryStatistics(a, static_cast<NDIS_802_11_STATISTICS*>(r)); }},
    {"RssiStat", OID_HALVEX_RSSI_STATS, sizeof(RSSI_STATS),
     [](void* a, void* r) { return HalvexQueryRssiStat(a, static_cast<RSSI_STATS*>(r)); }},
    {"BeaconStatistics", OID_HALVEX_BEACON_STATS, sizeof(BEACON_STATS),
     [](void* a, void* r) { return HalvexQueryBeaconStatistics(a, static_cast<BEACON_STATS*>(r)); }},
};

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed ^ (i * 13));
  return b;
}

TEST_F(StatisticsTest, RecordsPassThroughInPlace) {
  for (const Record& r : kRecords) {
    SCOPED_TRACE(r.name);
    const Bytes answer = Pattern(r.size, 0x5A);
    sim->Script(r.oid, Response::Answer(answer));
    // Exactly the record's size, so the driver may not write past it.
    GuardedBuffer record(r.size);
    ASSERT_TRUE(record.ok());
    const Bytes before = Pattern(r.size, 0x11);
    std::memcpy(record.data(), before.data(), r.size);
    EXPECT_EQ(r.query(adapter, record.data()), 0);
    EXPECT_EQ(Bytes(record.data(), record.data() + r.size), answer);
    const auto calls = sim->CallsFor(r.oid);
    ASSERT_EQ(calls.size(), 1u);
    const Bytes sent = calls[0].Payload();
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + r.size), before) << "the record's bytes are the payload";
    // Refused: the channel's result, the record untouched.
    sim->Script(r.oid, Response::Fail(0xC0010017));
    std::memcpy(record.data(), before.data(), r.size);
    EXPECT_EQ(r.query(adapter, record.data()), static_cast<int>(0xC0010017));
    EXPECT_EQ(Bytes(record.data(), record.data() + r.size), before);
    void* closed = nullptr;
    EXPECT_EQ(r.query(closed, record.data()), 1);
    sim->ClearScript(r.oid);
  }
}

TEST_F(StatisticsTest, ProbeFailuresSendNothing) {
  for (const Record& r : kRecords) {
    SCOPED_TRACE(r.name);
    GuardedBuffer shortRecord(r.size - 1);
    ASSERT_TRUE(shortRecord.ok());
    EXPECT_EQ(r.query(adapter, shortRecord.data()), 3);
    GuardedBuffer readOnly(r.size);
    ASSERT_TRUE(readOnly.ok() && readOnly.MakeReadOnly());
    EXPECT_EQ(r.query(adapter, readOnly.data()), 3);
  }
  EXPECT_TRUE(sim->Calls().empty());
}

TEST_F(StatisticsTest, ResetSendsAnEightByteSetAndClearsTheCounters) {
  NDIS_802_11_STATISTICS stats{};
  ASSERT_EQ(HalvexQueryStatistics(adapter, &stats), 0);
  EXPECT_EQ(stats.Length, 104u);
  EXPECT_NE(stats.TransmittedFragmentCount.QuadPart, 0);
  BEACON_STATS beacons{};
  ASSERT_EQ(HalvexQueryBeaconStatistics(adapter, &beacons), 0);
  EXPECT_NE(beacons.Received, 0u);

  sim->ClearCalls();
  EXPECT_EQ(HalvexResetStatistics(adapter), 0);
  const auto calls = sim->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].code, IOCTL_OID_SET);
  EXPECT_EQ(calls[0].inLength, 8u);
  EXPECT_EQ(calls[0].Oid(), OID_HALVEX_RESET_STATISTICS);

  ASSERT_EQ(HalvexQueryStatistics(adapter, &stats), 0);
  EXPECT_EQ(stats.TransmittedFragmentCount.QuadPart, 0);
  EXPECT_EQ(stats.FCSErrorCount.QuadPart, 0);
  ASSERT_EQ(HalvexQueryBeaconStatistics(adapter, &beacons), 0);
  EXPECT_EQ(beacons.Received, 0u);

  void* closed = nullptr;
  sim->ClearCalls();
  EXPECT_EQ(HalvexResetStatistics(closed), 1);
  EXPECT_TRUE(sim->Calls().empty());
}

struct RegisterBlock {
  const char* name;
  uint32_t oid;
  int (*read)(void*, ULONG, ULONG&);
  int (*write)(void*, ULONG, ULONG);
};
const RegisterBlock kBlocks[] = {
    {"Rf", OID_HALVEX_RF_REGISTER, HalvexQueryRfRegister, HalvexSetRfRegister},
    {"Bb", OID_HALVEX_BB_REGISTER, HalvexQueryBbRegister, HalvexSetBbRegister},
    {"Mac", OID_HALVEX_MAC_REGISTER, HalvexQueryMacRegister, HalvexSetMacRegister},
};

TEST_F(StatisticsTest, RegisterWriteThenReadRoundTrips) {
  for (size_t i = 0; i < std::size(kBlocks); ++i) {
    const RegisterBlock& b = kBlocks[i];
    SCOPED_TRACE(b.name);
    const ULONG value = 0xA0000000u + static_cast<ULONG>(i);
    sim->ClearCalls();
    EXPECT_EQ(b.write(adapter, 0x30, value), 0);
    const auto calls = sim->CallsFor(b.oid);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, IOCTL_OID_SET);
    const Bytes sent = calls[0].Payload();
    ASSERT_GE(sent.size(), 8u);
    EXPECT_EQ(sim::ReadWord(sent.data()), 0x30u);
    EXPECT_EQ(sim::ReadWord(sent.data() + 4), value);
  }
  // Each block keeps its own registers.
  for (size_t i = 0; i < std::size(kBlocks); ++i) {
    SCOPED_TRACE(kBlocks[i].name);
    ULONG value = 0;
    EXPECT_EQ(kBlocks[i].read(adapter, 0x30, value), 0);
    EXPECT_EQ(value, 0xA0000000u + i);
    EXPECT_EQ(kBlocks[i].read(adapter, 0x31, value), 0);
    EXPECT_EQ(value, 0u);
  }
  void* closed = nullptr;
  EXPECT_EQ(HalvexSetMacRegister(closed, 0x30, 1), 1);
  sim->Script(OID_HALVEX_BB_REGISTER, Response::SetStatus(0xC0010017));
  EXPECT_EQ(HalvexSetBbRegister(adapter, 0x30, 1), 0) << "the status word is not examined";
}

}  // namespace
}  // namespace hx::test
