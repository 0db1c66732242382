// Finding the adapter's class key on every Windows the library knows.
#include <cstring>
#include <string>

#include "registry/discovery.h"
#include "tests/support/stored_settings.h"

namespace hx::test {
namespace {

constexpr DWORD kNt = VER_PLATFORM_WIN32_NT, k9x = VER_PLATFORM_WIN32_WINDOWS;

struct OsRow {
  const char* name;
  platform::ReportedVersion version;
  sim::Family family;
  int32_t kind;
  uint32_t read, write;
  bool found;
};
void PrintTo(const OsRow& row, std::ostream* os) {
  *os << row.name;
}

const OsRow kOsRows[] = {
    {"Nt40", {4, 0, 1381, kNt}, sim::Family::kNt, 2, 0x00020019, 0x00020006, true},
    {"Win95ReportsNtPath", {4, 0, 950, k9x}, sim::Family::kNt, 2, 0x00020019, 0x00020006, true},
    {"Win98", {4, 10, 2222, k9x}, sim::Family::k9x, 4, 0x00020019, 0x00020006, true},
    {"WinMe", {4, 90, 3000, k9x}, sim::Family::k9x, 4, 0x00020019, 0x00020006, true},
    {"Win2000", {5, 0, 2195, kNt}, sim::Family::kNt, 1, 0x00020019, 0x00020006, true},
    {"WinXp", {5, 1, 2600, kNt}, sim::Family::kNt, 0, 0x00020119, 0x00020106, true},
    {"Win2003", {5, 2, 3790, kNt}, sim::Family::kNt, 3, 0x00020119, 0x00020106, true},
    {"Minor3", {5, 3, 0, kNt}, sim::Family::kNt, 1, 0x00020019, 0x00020006, true},
    {"Vista", {6, 0, 6000, kNt}, sim::Family::kNt, 5, 0x00020119, 0x00020106, true},
    {"Win7", {6, 1, 7601, kNt}, sim::Family::kNt, 5, 0x00020119, 0x00020106, true},
    {"Win81", {6, 3, 9600, kNt}, sim::Family::kNt, 5, 0x00020119, 0x00020106, true},
    {"Win10", {10, 0, 19045, kNt}, sim::Family::kNt, 6, 0x00020119, 0x00020106, true},
    {"Major7", {7, 0, 0, kNt}, sim::Family::kNt, -1, 0x00020019, 0x00020006, false},
    {"Major11", {11, 0, 0, kNt}, sim::Family::kNt, -1, 0x00020019, 0x00020006, false},
    {"Nt351", {3, 51, 1057, kNt}, sim::Family::kNt, -1, 0x00020019, 0x00020006, false},
    {"NinexOnNtRegistry", {4, 10, 2222, k9x}, sim::Family::kNt, 4, 0x00020019, 0x00020006, false},
};

class DiscoveryTest : public StoredSettingsTest, public ::testing::WithParamInterface<OsRow> {
 protected:
  DiscoveryTest() : StoredSettingsTest(GetParam().family, GetParam().version) {}
};

std::string Path(const char (&field)[kPathLength]) {
  PathText text;
  CopyPath(field, text);
  return text;
}

TEST_P(DiscoveryTest, FindsTheAdapterWhereTheVersionHasAPath) {
  const OsRow& row = GetParam();
  char path[kPathLength] = {};
  char name[kPathLength] = {};
  const int expected = row.found ? 0 : 1;
  EXPECT_EQ(HalvexQueryRegistryPath(adapter, path, sizeof path), expected);
  EXPECT_EQ(HalvexQueryAdapterName(adapter, name, sizeof name), expected);
  auto& s = State();
  EXPECT_EQ(s.OsKind.load(), row.kind);
  EXPECT_EQ(s.RegistryReadAccess.load(), row.read);
  EXPECT_EQ(s.RegistryWriteAccess.load(), row.write);
  if (!row.found) {
    EXPECT_EQ(Path(s.AdapterKeyPath), "");
    return;
  }
  const bool nt = row.family == sim::Family::kNt;
  // The NT setup lists a removed adapter of ours before the present one.
  EXPECT_STREQ(path, nt ? sim::kNtAdapterKey : sim::k9xAdapterKey);
  EXPECT_STREQ(name, nt ? sim::kInstanceId : sim::k9xAdapterName);
  EXPECT_EQ(Path(s.TransportKeyPath), nt ? "" : sim::k9xTransportKey);
}

INSTANTIATE_TEST_SUITE_P(Versions, DiscoveryTest, ::testing::ValuesIn(kOsRows),
                         [](const auto& info) { return std::string(info.param.name); });

constexpr const char* kDevice = R"(HKEY_LOCAL_MACHINE\Enum\PCI\VEN_F0A3&DEV_0E2A\BUS_00&DEV_0C&FUNC_00)";

class NinexDiscoveryTest : public StoredSettingsTest {
 protected:
  NinexDiscoveryTest() : StoredSettingsTest(sim::Family::k9x, {4, 10, 2222, k9x}) {}
  // Discovery again, from an empty result, after `changes` were imported
  // over a fresh copy of the walk's keys.
  std::string TransportAfter(const char* changes) {
    sandbox.Import(std::string("REGEDIT4\n\n[-") + kDevice +
                   "\\Bindings]\n[-HKEY_LOCAL_MACHINE\\Enum\\Network]\n");
    sandbox.Import(sim::RegistrySetup(sim::Family::k9x));
    if (*changes != '\0') sandbox.Import(changes);
    HalvexCloseAdapter(adapter);
    EXPECT_EQ(HalvexOpenAdapter(adapter), 0);
    char path[kPathLength] = {};
    EXPECT_EQ(HalvexQueryRegistryPath(adapter, path, sizeof path), 0);
    return Path(State().TransportKeyPath);
  }
};

std::string Reg(const std::string& body) {
  return "REGEDIT4\n\n" + body + "\n";
}

TEST_F(NinexDiscoveryTest, BindingWalk) {
  const std::string bindings = std::string("[") + kDevice + "\\Bindings]\n";
  const std::string longName(95, 'P');
  struct Row {
    const char* name;
    std::string changes;
    const char* transport;
  };
  const Row rows[] = {
      {"second binding after another protocol", "", sim::k9xTransportKey},
      {"no TCP/IP binding", Reg(bindings + "\"MSTCP\\\\0000\"=-"), ""},
      {"a binding that leads back to itself",
       Reg("[HKEY_LOCAL_MACHINE\\Enum\\Network\\NETBEUI\\0000\\Bindings]\n\"NETBEUI\\\\0000\"=\"\"\n" +
           bindings + "\"MSTCP\\\\0000\"=-"),
       ""},
      {"two bindings leading to each other",
       Reg("[HKEY_LOCAL_MACHINE\\Enum\\Network\\VSERVER\\0000\\Bindings]\n\"NETBEUI\\\\0000\"=\"\"\n"),
       sim::k9xTransportKey},
      {"TCP/IP binding without its key stops the walk",
       Reg("[-HKEY_LOCAL_MACHINE\\Enum\\Network\\MSTCP\\0000]\n"), ""},
      {"binding name too long for the walk's buffer is skipped",
       Reg("[-" + std::string(kDevice) + "\\Bindings]\n" + bindings + "\"" + longName +
           "\"=\"\"\n\"MSTCP\\\\0000\"=\"\""),
       sim::k9xTransportKey},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(TransportAfter(row.changes.c_str()), row.transport);
  }
}

TEST_F(NinexDiscoveryTest, DriverValueWithoutBackslashLeavesTheNameEmpty) {
  sandbox.Import(Reg(std::string("[") + kDevice + "]\n\"Driver\"=\"Net0003\""));
  HalvexCloseAdapter(adapter);
  ASSERT_EQ(HalvexOpenAdapter(adapter), 0);
  char name[16];
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(HalvexQueryAdapterName(adapter, name, sizeof name), 0);
  EXPECT_EQ(std::string(name, sizeof name), std::string(sizeof name, '\0'));
  EXPECT_EQ(Path(State().AdapterKeyPath), "System\\CurrentControlSet\\Services\\Class\\Net0003");
}

TEST(AdapterIdTest, MatchesEitherIdInAnyCase) {
  struct Row {
    const char* text;
    bool match;
  };
  const Row rows[] = {
      {"PCI\\VEN_F0A3&DEV_0E2A&SUBSYS_1", true},
      {"pci\\ven_f0a3&dev_0e2b", true},
      {"PCI\\VEN_F0A3&DEV_0E2C", false},
      {"", false},
      {"VEN_F0A3&DEV_0E2", false},
  };
  for (const Row& row : rows) {
    std::string text = row.text;
    EXPECT_EQ(MatchAdapterId(text.data()), row.match) << row.text;
  }
}

}  // namespace
}  // namespace hx::test
