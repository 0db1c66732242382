// What the utility shows about the adapter and its driver.
#include <cstring>
#include <string>

#include "frame/oids.h"
#include "registry/discovery.h"
#include "tests/support/stored_settings.h"

namespace hx::test {
namespace {

constexpr DWORD kNt = VER_PLATFORM_WIN32_NT, k9x = VER_PLATFORM_WIN32_WINDOWS;

using IdentityTest = StoredSettingsTest;

TEST_F(IdentityTest, DeviceDescriptionNeedsTheFullWindow) {
  std::string text = "Halvex Wireless";
  sim->SetValue(OID_GEN_VENDOR_DESCRIPTION, sim::Bytes(text.begin(), text.end() + 1));
  char buffer[120];
  EXPECT_EQ(HalvexQueryDeviceDesc(adapter, buffer, 64), 3);
  EXPECT_EQ(HalvexQueryDeviceDesc(adapter, buffer, 100), 0);
  EXPECT_STREQ(buffer, text.c_str());
  EXPECT_EQ(HalvexQueryDeviceDesc(nullptr, buffer, 100), 1);
  EXPECT_EQ(HalvexQueryDeviceDesc(adapter, nullptr, 100), 3);
  // An answer without a NUL is cut within the caller's 100 bytes.
  sim->SetValue(OID_GEN_VENDOR_DESCRIPTION, sim::Bytes(100, 'D'));
  std::memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(HalvexQueryDeviceDesc(adapter, buffer, 100), 0);
  EXPECT_EQ(std::strlen(buffer), 99u);
  EXPECT_EQ(buffer[100], 'Z');
}

struct VersionRow {
  const char* name;
  platform::ReportedVersion version;
  sim::Family family;
  const char* versionValue;
  const char* dateValue;
};
// Named in test listings by its row, not by its bytes.
void PrintTo(const VersionRow& row, std::ostream* os) {
  *os << row.name;
}
const VersionRow kVersionRows[] = {
    {"Win2000", {5, 0, 2195, kNt}, sim::Family::kNt, "DriverVersion", "DriverRel"},
    {"WinXp", {5, 1, 2600, kNt}, sim::Family::kNt, "DriverVersion", "DriverDate"},
    {"Win2003", {5, 2, 3790, kNt}, sim::Family::kNt, "DriverVersion", "DriverDate"},
    {"Nt40", {4, 0, 1381, kNt}, sim::Family::kNt, "DriverVersion", "DriverDate"},
    {"Win98", {4, 10, 2222, k9x}, sim::Family::k9x, "DriverVer", "DriverDate"},
    {"Win7", {6, 1, 7601, kNt}, sim::Family::kNt, "DriverVersion", "DriverDate"},
    {"Win10", {10, 0, 19045, kNt}, sim::Family::kNt, "DriverVersion", "DriverDate"},
};

class DriverTextTest : public StoredSettingsTest, public ::testing::WithParamInterface<VersionRow> {
 protected:
  DriverTextTest() : StoredSettingsTest(GetParam().family, GetParam().version) {}
};

TEST_P(DriverTextTest, ReadsTheFamilysValueNames) {
  const VersionRow& row = GetParam();
  using Query = int (*)(void*, char*, ULONG);
  const std::pair<const char*, Query> queries[] = {{row.versionValue, HalvexQueryDriverVersion},
                                                   {row.dateValue, HalvexQueryDriverDate}};
  for (const auto& [value, query] : queries) {
    SCOPED_TRACE(value);
    Store(value, "1.2.3");  // stored with the registry's NUL: 6 bytes
    char buffer[8];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(query(adapter, buffer, 5), 3);
    EXPECT_EQ(buffer[0], 'Z');
    EXPECT_EQ(query(adapter, buffer, 6), 0);
    EXPECT_STREQ(buffer, "1.2.3");
    EXPECT_EQ(buffer[6], 'Z');
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, DriverTextTest, ::testing::ValuesIn(kVersionRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(IdentityTest, DriverTextNeedsAKnownWindows) {
  State().OsKind.store(-1);
  platform::OverrideVersion(platform::ReportedVersion{3, 51, 1057, kNt});
  char buffer[100];
  EXPECT_EQ(HalvexQueryDriverVersion(adapter, buffer, sizeof buffer), 1);
  EXPECT_EQ(HalvexQueryDriverDate(adapter, buffer, sizeof buffer), 1);
}

TEST_F(IdentityTest, ProfileInUse) {
  char buffer[16];
  ASSERT_EQ(HalvexSetProfileInUse(adapter, nullptr, 0), 0);
  EXPECT_EQ(HalvexQueryProfileInUse(adapter, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, " ");
  char name[] = "Office";
  ASSERT_EQ(HalvexSetProfileInUse(adapter, name, 6), 0);
  EXPECT_EQ(StoredBytes("ProfileName")->size(), 7u);
  EXPECT_EQ(HalvexQueryProfileInUse(adapter, buffer, 7), 0);
  EXPECT_STREQ(buffer, "Office");
  EXPECT_EQ(HalvexQueryProfileInUse(adapter, buffer, 6), 3);
  EXPECT_EQ(HalvexSetProfileInUse(adapter, nullptr, 4), 3);
  // A value stored without any NUL that fills the caller's length leaves no
  // room for one: refused rather than written past the buffer.
  ASSERT_EQ(HalvexSetRegistry(AdapterKey(), "ProfileName", 0x34333231), 0);  // "1234", REG_DWORD
  std::memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(HalvexQueryProfileInUse(adapter, buffer, 4), 3);
  EXPECT_EQ(buffer[4], 'Z');
  EXPECT_EQ(HalvexQueryProfileInUse(adapter, buffer, 5), 0);
  EXPECT_STREQ(buffer, "1234");
}

TEST_F(IdentityTest, NameAndPathNeedAnOpenAdapterAndRoom) {
  const size_t length = std::strlen(sim::kInstanceId);
  char buffer[64];
  std::memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(HalvexQueryAdapterName(adapter, buffer, static_cast<ULONG>(length - 1)), 3);
  EXPECT_EQ(HalvexQueryAdapterName(adapter, buffer, static_cast<ULONG>(length)), 0);
  EXPECT_EQ(std::string(buffer, length + 1), std::string(sim::kInstanceId) + "Z");  // no NUL
  EXPECT_EQ(HalvexQueryAdapterName(adapter, nullptr, 10), 3);
  char path[200];
  EXPECT_EQ(HalvexQueryRegistryPath(nullptr, path, sizeof path), 0);  // the handle is not compared
  EXPECT_STREQ(path, sim::kNtAdapterKey);
  HalvexCloseAdapter(adapter);
  EXPECT_EQ(HalvexQueryAdapterName(nullptr, buffer, sizeof buffer), 1);
  EXPECT_EQ(HalvexQueryRegistryPath(nullptr, path, sizeof path), 1);
}

class NinexIdentityTest : public StoredSettingsTest {
 protected:
  NinexIdentityTest() : StoredSettingsTest(sim::Family::k9x, {4, 10, 2222, k9x}) {}
};

TEST_F(NinexIdentityTest, DhcpFromTheTransportKey) {
  // Right after open the transport path is empty: the reads fail, answer 0.
  ASSERT_EQ(EnsureOsKind(), 4);
  EXPECT_EQ(HalvexQueryDhcp9x(adapter), 0);
  char name[8] = {};
  ASSERT_EQ(HalvexQueryAdapterName(adapter, name, sizeof name), 0);
  EXPECT_STREQ(name, "0003");
  struct Row {
    const char* address;
    const char* mask;
    int answer;
  };
  const Row rows[] = {{"0.0.0.0", "0.0.0.0", 1},
                      {"192.168.1.7", "0.0.0.0", 0},
                      {"0.0.0.0", "255.255.255.0", 0},
                      {"0.0.0.0.", "0.0.0.0", 0}};
  for (const Row& row : rows) {
    WriteStoredText(sim::k9xTransportKey, "IPAddress", row.address);
    WriteStoredText(sim::k9xTransportKey, "IPMask", row.mask);
    EXPECT_EQ(HalvexQueryDhcp9x(adapter), row.answer) << row.address << " " << row.mask;
  }
  EXPECT_EQ(HalvexQueryDhcp9x(reinterpret_cast<void*>(0x1234)), 1);
}

TEST_F(NinexIdentityTest, DhcpNeedsTheFamilyKnown) {
  State().OsKind.store(-1);
  EXPECT_EQ(HalvexQueryDhcp9x(adapter), 1);
}

TEST_F(IdentityTest, DhcpIsA9xQuestion) {
  char path[200];
  ASSERT_EQ(HalvexQueryRegistryPath(adapter, path, sizeof path), 0);
  EXPECT_EQ(HalvexQueryDhcp9x(adapter), 1);
}

}  // namespace
}  // namespace hx::test
