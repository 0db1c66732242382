// The setting store: stored forms, read-back conversion, and the generic
// access to any key.
#include <cstring>
#include <string>

#include "frame/oids.h"
#include "registry/store.h"
#include "registry/text.h"
#include "tests/support/stored_settings.h"

namespace hx::test {
namespace {

using StoreTest = StoredSettingsTest;

TEST_F(StoreTest, NumbersAreStoredAsTextAndReadAsDecimal) {
  struct Row {
    ULONG value;
    int hexadecimal;
    const char* stored;
    ULONG readBack;
  };
  const Row rows[] = {
      {22, 1, "16", 16},
      {22, 0, "22", 22},
      {0xFFFFFFFF, 0, "-1", 0xFFFFFFFF},
      {0xFFFFFFFF, 1, "FFFFFFFF", 0},
      {0x80000000, 0, "-2147483648", 0x80000000},
      {0xABC, 1, "ABC", 0},
      {0, 0, "0", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stored);
    ASSERT_EQ(WriteAdapterNumber(adapter, "DataRate", row.value, row.hexadecimal), 0);
    // Stored as REG_SZ without a NUL of our own: the registry adds exactly one.
    EXPECT_EQ(StoredBytes("DataRate")->size(), std::strlen(row.stored) + 1);
    EXPECT_EQ(StoredText("DataRate"), row.stored);
    ULONG read = 12345;
    ASSERT_EQ(HalvexQueryRegDataRate(adapter, read), 0);
    EXPECT_EQ(read, row.readBack);
  }
}

TEST_F(StoreTest, EachQueryReadsItsOwnValue) {
  using Query = int (*)(void*, ULONG&);
  struct Row {
    const char* name;
    Query query;
  };
  const Row rows[] = {
      {"PowerMode", HalvexQueryRegPowerMode},    {"DataRate", HalvexQueryRegDataRate},
      {"Preamble", HalvexQueryRegPreamble},      {"TxAntenna", HalvexQueryRegTxAntenna},
      {"RxAntenna", HalvexQueryRegRxAntenna},    {"RTSThsd", HalvexQueryRegRTSThreshold},
      {"FragThsd", HalvexQueryRegFragThreshold}, {"TxPowerLvl", HalvexQueryRegTxPower},
      {"BoostMode", HalvexQueryRegBoostMode},    {"WMM", HalvexQueryRegWMMSupport},
      {"WIFI", HalvexQueryRegWiFiEnable},
  };
  ULONG n = 100;
  for (const Row& row : rows) Store(row.name, std::to_string(++n));
  n = 100;
  for (const Row& row : rows) {
    ULONG value = 0;
    EXPECT_EQ(row.query(adapter, value), 0) << row.name;
    EXPECT_EQ(value, ++n) << row.name;
  }
}

TEST_F(StoreTest, ReadsThatFailLeaveTheOutputAlone) {
  ULONG value = 77;
  EXPECT_EQ(HalvexQueryRegPreamble(adapter, value), 1);  // no such value
  EXPECT_EQ(value, 77u);
  // A value too long for the 100-byte window counts as missing.
  Store("Preamble", std::string(150, '1'));
  EXPECT_EQ(HalvexQueryRegPreamble(adapter, value), 1);
  EXPECT_EQ(value, 77u);
  // A REG_DWORD is read as text too: 01 00 00 00 has no digits.
  ASSERT_EQ(HalvexSetRegistry(AdapterKey(), "Preamble", 1), 0);
  EXPECT_EQ(HalvexQueryRegPreamble(adapter, value), 0);
  EXPECT_EQ(value, 0u);
}

TEST_F(StoreTest, NoKeyPathWritesNothingAtTheMachineRoot) {
  char text[] = "x";
  EXPECT_EQ(HalvexSetRegistry(nullptr, "HalvexStray", 1), 1);
  EXPECT_EQ(HalvexSetRegistry("", "HalvexStray", 1), 1);
  EXPECT_EQ(HalvexSetRegistry(nullptr, "HalvexStray", text, 1, 0), 1);
  DWORD size = 0;
  EXPECT_NE(RegQueryValueExA(HKEY_LOCAL_MACHINE, "HalvexStray", nullptr, nullptr, nullptr, &size),
            ERROR_SUCCESS);
#ifndef _WIN32
  // The emulation refuses values at the root, as Windows does.
  const DWORD one = 1;
  EXPECT_EQ(
      RegSetValueExA(HKEY_LOCAL_MACHINE, "HalvexStray", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
      ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExA(HKEY_USERS, "HalvexStray", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_ACCESS_DENIED);
#endif
}

TEST_F(StoreTest, WorksWithoutAnOpenAdapterButNotWithoutDiscovery) {
  HalvexCloseAdapter(adapter);
  ULONG value = 0;
  EXPECT_EQ(HalvexQueryRegPowerMode(nullptr, value), 0);
  ASSERT_EQ(HalvexSetRegWiFiEnable(nullptr, 0), 0);
  EXPECT_EQ(StoredText("WIFI"), "0");

  ProcessDetach();
  ASSERT_TRUE(ProcessAttach());
  platform::OverrideVersion(platform::ReportedVersion{3, 51, 1057, 2});
  EXPECT_EQ(HalvexSetRegWiFiEnable(nullptr, 5), 0);  // reports success regardless
  EXPECT_EQ(StoredText("WIFI"), "0");
  EXPECT_EQ(HalvexQueryRegPowerMode(nullptr, value), 1);
}

TEST_F(StoreTest, StringReadsHonourTheCallersCapacity) {
  ASSERT_EQ(WriteAdapterString(adapter, "DesiredSSID", "abcde", 5), 0);
  unsigned char buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  ULONG length = 5;  // the stored size is 6: the registry's NUL
  EXPECT_EQ(ReadAdapterString(adapter, "DesiredSSID", buffer, &length), 1);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(buffer[0], 0xEE);
  length = sizeof buffer;
  EXPECT_EQ(ReadAdapterString(adapter, "DesiredSSID", buffer, &length), 0);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(std::memcmp(buffer, "abcde\0\xEE\xEE", 8), 0);
}

TEST_F(StoreTest, GenericAccess) {
  const char* key = AdapterKey();
  // The buffer form zero-fills the caller's buffer, so text comes back terminated.
  ASSERT_EQ(HalvexSetRegistry(key, "Generic", "xyz", 3, 0), 0);
  char buffer[10];
  std::memset(buffer, 'Q', sizeof buffer);
  EXPECT_EQ(HalvexQueryRegistry(key, "Generic", buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("xyz") + std::string(7, '\0'));
  EXPECT_EQ(HalvexQueryRegistry(key, "Generic", buffer, 3), 1);  // 4 bytes stored
  EXPECT_EQ(HalvexQueryRegistry(key, "Generic", nullptr, 10), 3);

  struct Row {
    const char* name;
    std::string data;
    int result;
    ULONG value;
  };
  const Row rows[] = {
      {"Four", std::string("\x01\x02\x03", 3), 0, 0x00030201},  // + the registry's NUL
      {"Eight", std::string(7, 'a'), 1, 555},
      {"Empty", "", 1, 555},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(HalvexSetRegistry(key, row.name, row.data.data(), static_cast<ULONG>(row.data.size()), 0), 0);
    ULONG value = 555;
    EXPECT_EQ(HalvexQueryRegistry(key, row.name, value), row.result) << row.name;
    EXPECT_EQ(value, row.value) << row.name;
  }
  ASSERT_EQ(HalvexSetRegistry(key, "Word", 0x12345678), 0);
  ULONG value = 0;
  EXPECT_EQ(HalvexQueryRegistry(key, "Word", value), 0);
  EXPECT_EQ(value, 0x12345678u);
  EXPECT_EQ(HalvexQueryRegistry("No\\Such\\Key", "Word", value), 1);
}

TEST_F(StoreTest, MultiStringFlagChoosesTheType) {
  const char data[] = "a\0b\0";
  for (int flag : {0, 1, 5}) {
    ASSERT_EQ(HalvexSetRegistry(AdapterKey(), "Multi", data, sizeof data, flag), 0);
    platform::UniqueKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, AdapterKey(), 0, KEY_READ, key.put()), ERROR_SUCCESS);
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExA(key.get(), "Multi", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, flag != 0 ? DWORD{REG_MULTI_SZ} : DWORD{REG_SZ}) << flag;
  }
}

TEST_F(StoreTest, QueriesThatRecordTheirAnswer) {
  using Query = int (*)(void*, ULONG&);
  struct Row {
    const char* name;
    Query query;
    uint32_t oid;
    const char* value;
    bool answered;
    const char* stored;  // what the value holds afterwards
  };
  const Row rows[] = {
      {"radio", HalvexQueryRadioControl, OID_HALVEX_RADIO_ON, "RadioOn", true, "2"},
      {"radio refused", HalvexQueryRadioControl, OID_HALVEX_RADIO_ON, "RadioOn", false, "before"},
      {"interoperability", HalvexQueryInterOperabilityMode, OID_HALVEX_BOOST_MODE, "BoostMode", true, "2"},
      {"boost mode", HalvexQueryBoostMode, OID_HALVEX_BOOST_MODE, "BoostMode", true, "before"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Store(row.value, "before");
    sim->Script(row.oid, row.answered ? sim::Response::Word(2) : sim::Response::Fail(0xC0000001));
    ULONG value = 0;
    EXPECT_EQ(row.query(adapter, value), row.answered ? 0 : 1);
    EXPECT_EQ(StoredText(row.value), row.stored);
    sim->ClearScript(row.oid);
  }
}

TEST_F(StoreTest, DriverRadioEventsAreStored) {
  for (uint32_t code : {8u, 9u, 8u}) {
    recorder.Clear();
    sim->InjectEvent(code);
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_EQ(StoredText("RadioOn"), code == 8 ? "1" : "2");
  }
}

TEST(DecimalTextTest, ConvertsLikeTheCLibrary) {
  struct Row {
    std::string text;
    uint32_t value;
  };
  const Row rows[] = {
      {"42", 42},
      {" \t\n-17x", static_cast<uint32_t>(-17)},
      {"+9", 9},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"2147483647", 0x7FFFFFFF},
      {"2147483648", 0x7FFFFFFF},
      {"-2147483648", 0x80000000},
      {"-99999999999", 0x80000000},
      {std::string("12\0"
                   "34",
                   5),
       12},
      {std::string(100, '7'), 0x7FFFFFFF},  // fills the window: no terminator
  };
  for (const Row& row : rows)
    EXPECT_EQ(ParseDecimal(row.text.data(), row.text.size()), row.value) << row.text;
}

}  // namespace
}  // namespace hx::test
