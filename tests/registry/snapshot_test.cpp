// The connection snapshot and its revert after a failed join.
#include <cstring>
#include <map>
#include <string>

#include "registry/store.h"
#include "tests/support/stored_settings.h"

namespace hx::test {
namespace {

class SnapshotTest : public StoredSettingsTest {
 protected:
  std::map<std::string, std::string> Stored(std::initializer_list<const char*> names) {
    std::map<std::string, std::string> values;
    for (const char* name : names) values[name] = StoredText(name).value_or("<missing>");
    return values;
  }
};

const std::map<std::string, std::string> kGood = {
    {"ProfileName", "Home"}, {"DesiredSSID", "HalvexWPA2"},
    {"Wireless Mode", "2"},  {"NetworkMode", "0"},
    {"AuthMode", "1"},       {"WepStatus", "0"},
    {"TxWepKey", "2"},       {"WepKeySize", "5"},
    {"WepKey1", "abcde"},    {"WepKey2", "fghij"},
    {"WepKey3", "klmno"},    {"WepKey4", "pqrst"},
};

TEST_F(SnapshotTest, RevertRestoresWhatTheSnapshotHeld) {
  StoreAll(kGood);
  ULONG channel = 0;
  ASSERT_EQ(HalvexQueryChannel(adapter, channel), 0);
  ASSERT_EQ(HalvexRegisterConnInfo(adapter), 0);
  EXPECT_EQ(StoredText("Channel"), std::to_string(channel));

  // The utility prepares another connection, whose join then fails.
  StoreAll({{"ProfileName", "Office"},
            {"DesiredSSID", "Elsewhere"},
            {"Wireless Mode", "1"},
            {"AuthMode", "4"},
            {"WepStatus", "2"},
            {"TxWepKey", "0"},
            {"WepKeySize", "13"},
            {"WepKey1", "0123456789abc"},
            {"WepKey3", "zzzzzzzzzzzzz"},
            {"Channel", "3"}});
  ASSERT_EQ(HalvexRevertConnInfo(adapter), 0);
  std::map<std::string, std::string> expected = kGood;
  expected["WepKeySize"] = "13";  // not written back
  expected["Channel"] = std::to_string(channel);
  auto names = {"ProfileName", "DesiredSSID", "Wireless Mode", "NetworkMode", "AuthMode",
                "WepStatus",   "TxWepKey",    "WepKeySize",    "WepKey1",     "WepKey2",
                "WepKey3",     "WepKey4",     "Channel"};
  EXPECT_EQ(Stored(names), expected);
  // The keys go back with the snapshot's key size, whatever was stored since.
  EXPECT_EQ(StoredBytes("WepKey1")->size(), 6u);
}

TEST_F(SnapshotTest, InfrastructureRevertClearsTheChannel) {
  StoreAll(kGood);
  Store("NetworkMode", "1");
  ASSERT_EQ(HalvexRegisterConnInfo(adapter), 0);
  ASSERT_EQ(HalvexRevertConnInfo(adapter), 0);
  EXPECT_EQ(StoredText("Channel"), "0");
  CONNECTIONINFO record{};
  Store("Channel", "9");
  HalvexCloseAdapter(adapter);  // no channel from the driver now
  ASSERT_EQ(HalvexQueryLastConn(adapter, &record), 0);
  EXPECT_EQ(record.Channel, 0u);
  EXPECT_EQ(record.NetworkMode, 1u);
  EXPECT_STREQ(record.ProfileName, "Home");  // the store works without an open adapter
  EXPECT_EQ(StoredText("Channel"), "9");
}

TEST_F(SnapshotTest, RevertBeforeAnySnapshotKeepsTheStoredSettings) {
  StoreAll(kGood);
  EXPECT_EQ(HalvexRevertConnInfo(adapter), 0);
  auto names = {"ProfileName", "DesiredSSID", "AuthMode", "WepKey1"};
  EXPECT_EQ(
      Stored(names),
      (std::map<std::string, std::string>{
          {"ProfileName", "Home"}, {"DesiredSSID", "HalvexWPA2"}, {"AuthMode", "1"}, {"WepKey1", "abcde"}}));
}

TEST_F(SnapshotTest, ValuesWiderThanTheirFieldsAreCut) {
  const std::string ssid(32, 'S'), profile(60, 'P'), key(40, 'K');
  StoreAll({{"DesiredSSID", ssid}, {"ProfileName", profile}, {"WepKey2", key}, {"WepKeySize", "100"}});
  CONNECTIONINFO record;
  std::memset(&record, 0xEE, sizeof record);
  ASSERT_EQ(HalvexQueryLastConn(adapter, &record), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.DesiredSSID), 32), ssid);
  EXPECT_EQ(std::string(record.ProfileName, 40), profile.substr(0, 40));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.WepKey2), 32), key.substr(0, 32));
  EXPECT_EQ(record.WirelessMode, 0u);  // not stored: stays 0

  ASSERT_EQ(HalvexRevertConnInfo(adapter), 0);
  EXPECT_EQ(StoredText("DesiredSSID"), ssid);
  EXPECT_EQ(StoredText("ProfileName"), profile.substr(0, 40));
  // A key size beyond the field writes the field, not what lies after it.
  EXPECT_EQ(StoredBytes("WepKey2")->size(), 33u);
}

TEST_F(SnapshotTest, EmptyNamesStayEmpty) {
  StoreAll({{"ProfileName", ""}, {"DesiredSSID", std::string("\0abc", 4)}});
  CONNECTIONINFO record;
  std::memset(&record, 0xEE, sizeof record);
  ASSERT_EQ(HalvexQueryLastConn(adapter, &record), 0);
  EXPECT_EQ(record.ProfileName[0], '\0');
  EXPECT_EQ(record.DesiredSSID[1], 0);
}

TEST_F(SnapshotTest, LastConnRefusesABadRecordBeforeTouchingAnything) {
  Store("Channel", "77");
  EXPECT_EQ(HalvexQueryLastConn(adapter, nullptr), 3);
  EXPECT_EQ(StoredText("Channel"), "77");
}

}  // namespace
}  // namespace hx::test
