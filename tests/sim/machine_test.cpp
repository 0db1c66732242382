// A machine's state directory as people and accidents leave it: every file
// that cannot be used is reported with where it went wrong and kept aside,
// and the machine goes on; a link or a special file at a state file's name is
// neither followed nor moved; a directory the machine may not write is read.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "HalvexSim.h"
#include "platform/posix/control.h"
#include "platform/unique_handle.h"
#include "sim/machine.h"
#include "sim/radius_link.h"

namespace fs = std::filesystem;

namespace hx::test {
namespace {

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("machine-test-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    machine.reset();
    posix::ResetServices();
    fs::permissions(dir, fs::perms::owner_all);
    fs::remove_all(dir);
  }
  void Write(const std::string& name, const std::string& text) { std::ofstream(dir / name) << text; }
  std::string All() const {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }
  bool KeptAside(const std::string& name) const {
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.path().filename().string().rfind(name + ".damaged-", 0) == 0) return true;
    return false;
  }

  fs::path dir;
  sim::Lines lines;
  std::unique_ptr<sim::Machine> machine;
};

TEST_F(MachineTest, UnusableFilesAreReportedWithTheirLineKeptAsideAndTheMachineGoesOn) {
  const std::string deep = std::string(40, '[') + std::string(40, ']');
  const struct {
    const char* name;
    std::string file, text, said;
  } cases[] = {
      {"number out of range", "access-points.json",
       "{\"accessPoints\": [\n  {\"ssid\": \"A\",\n   \"rssi\": 1e400}]}", "access-points.json: line 3: "},
      {"nested too deep", "access-points.json", "{\"accessPoints\":\n" + deep + "}",
       "access-points.json: line 2: nested more than 16 deep"},
      {"too large", "access-points.json", std::string(sim::kMaxStateFile + 1, ' '),
       "access-points.json: is 1048577 bytes; a state file has at most 1048576"},
      {"world, number out of range", "world.json", "{\"radioOn\": true,\n \"counters\": [1e400]}",
       "world.json: line 2: "},
      {"world, wrong types", "world.json", "{\"radioOn\": 7}", "world.json: line 1: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    machine.reset();
    lines.clear();
    for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
    Write(c.file, c.text);
    machine = sim::Machine::Load(dir, &lines);
    ASSERT_TRUE(machine) << All();
    EXPECT_NE(All().find((dir / c.said).string()), std::string::npos) << All();
    EXPECT_NE(All().find("kept as"), std::string::npos) << All();
    EXPECT_TRUE(KeptAside(c.file));
    EXPECT_FALSE(machine->adapter().World().accessPoints.empty()) << "the default networks";
  }
}

TEST_F(MachineTest, LinksAndSpecialFilesAreNeitherFollowedNorMoved) {
  const fs::path elsewhere = dir / "elsewhere.json";
  Write("elsewhere.json", "{}");
  for (const char* name : {"access-points.json", "world.json", "registry.reg", "registry.reg.log"}) {
    SCOPED_TRACE(name);
    machine.reset();
    lines.clear();
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.path() != elsewhere) fs::remove_all(entry.path());
    fs::create_symlink(elsewhere, dir / name);
    machine = sim::Machine::Load(dir, &lines);
    EXPECT_NE(All().find("symbolic link; not followed"), std::string::npos) << All();
    EXPECT_TRUE(fs::is_symlink(dir / name)) << "left where it is";
  }
  std::ifstream kept(elsewhere);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "{}") << "nothing written through a link";
}

TEST_F(MachineTest, SavesAreOwnerOnlyAndKeepNoKey) {
  machine = sim::Machine::Load(dir, &lines);
  ASSERT_TRUE(machine) << All();
  machine->adapter().SetValue(0x0D010113, sim::Bytes{1, 2, 3});  // as if a key had been stored
  ASSERT_TRUE(machine->Save(&lines)) << All();
  for (const char* name : {"access-points.json", "world.json", "registry.reg", "registry.reg.log"})
    EXPECT_EQ(fs::status(dir / name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << name;
  EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(MachineTest, EditedNetworksKeepTheAssociationByNameOrDropItAloud) {
  const struct {
    const char* name;
    const char* points;
    bool kept;
  } cases[] = {
      {"still in range, moved",
       R"({"accessPoints": [{"ssid": "New"}, {"ssid": "HalvexOpen", "channel": 6}]})", true},
      {"gone", R"({"accessPoints": [{"ssid": "New"}]})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    machine.reset();
    for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
    machine = sim::Machine::Load(dir, &lines);
    ASSERT_TRUE(machine);
    sim::RadioWorld world = machine->adapter().World();
    world.current = 0;  // HalvexOpen, the default file's first
    machine->adapter().SetWorld(world);
    std::shared_ptr<platform::Device> port = machine->adapter().OpenPort();
    Write("access-points.json", c.points);
    machine->RefreshAccessPoints(&lines);
    const sim::RadioWorld after = machine->adapter().World();
    ASSERT_EQ(after.accessPoints.size(), c.kept ? 2u : 1u);
    EXPECT_EQ(after.current.has_value(), c.kept);
    if (c.kept) {
      EXPECT_EQ(after.accessPoints[*after.current].ssid, "HalvexOpen");
    }
    // A dropped association is reported as the driver reports one: code 0.
    std::vector<uint8_t> area(4 + 0x4000, 0);
    const uint32_t oid = 0xFF010220;
    std::memcpy(area.data(), &oid, 4);
    uint32_t returned = 0, error = 0, count = 0, code = 99;
    port->Control(0x00122400, area.data(), static_cast<uint32_t>(area.size()), area.data(),
                  static_cast<uint32_t>(area.size()), &returned, &error);
    std::memcpy(&count, area.data() + 4, 4);
    std::memcpy(&code, area.data() + 12, 4);
    EXPECT_EQ(count, c.kept ? 0u : 1u);
    if (!c.kept) {
      EXPECT_EQ(code, 0u);
    }
  }
}

TEST_F(MachineTest, AHiveThatCannotBeRewrittenStillLoadsAndRefusesChanges) {
  machine = sim::Machine::Load(dir, &lines);
  ASSERT_TRUE(machine);
  machine.reset();
  // A start on a full disk: no file may grow (the base's rewrite fails).
  const pid_t child = fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit none{0, 0};
    setrlimit(RLIMIT_FSIZE, &none);
    sim::Lines seen;
    auto loaded = sim::Machine::Load(dir, &seen);
    platform::UniqueKey key;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 0, KEY_ALL_ACCESS, key.put());
    const LONG written = RegSetValueExA(key.get(), "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2);
    std::string all;
    for (const std::string& line : seen) all += line;
    _exit(loaded && opened == ERROR_SUCCESS && written == ERROR_WRITE_PROTECT &&
                  all.find("changes are refused until it can be written") != std::string::npos
              ? 0
              : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

#ifdef HALVEX_HAS_RADIUS
// The built-in RADIUS server is the machine's: edited networks keep its port
// (a peer told of it still finds it), and its address and CA come whole or not at all.
TEST_F(MachineTest, TheBuiltInRadiusServerKeepsItsPortAndIsToldWhole) {
  machine = sim::Machine::Load(dir, &lines);
  ASSERT_TRUE(machine) << All();
  const std::optional<sim::RadiusServerInfo> first = machine->Radius();
  ASSERT_TRUE(first) << All();
  EXPECT_EQ(first->address.rfind("127.0.0.1:", 0), 0u) << first->address;
  EXPECT_EQ(first->caCertificate, (dir / "radius" / "ca.pem").string());
  Write("access-points.json", R"({"accessPoints": [{"ssid": "C", "security": "wpa2-eap",
      "users": [{"name": "carol", "password": "c"}]}]})");
  machine->RefreshAccessPoints(&lines);
  const std::optional<sim::RadiusServerInfo> edited = machine->Radius();
  ASSERT_TRUE(edited) << All();
  EXPECT_EQ(edited->address, first->address);
  machine.reset();
  EXPECT_FALSE(sim::BuiltinRadiusInfo()) << "gone with its machine";

  ASSERT_EQ(HalvexSimStartInProcess(dir.c_str(), nullptr, 0), HALVEXSIM_OK);
  char address[64], secret[128], ca[1024];
  ASSERT_EQ(HalvexSimRadiusServer(address, sizeof address, secret, sizeof secret, ca, sizeof ca),
            HALVEXSIM_OK);
  EXPECT_EQ(std::string(address).rfind("127.0.0.1:", 0), 0u) << address;
  EXPECT_EQ(std::string(ca), edited->caCertificate);
  EXPECT_FALSE(std::string(secret).empty());
  const unsigned cut = static_cast<unsigned>(edited->caCertificate.size());  // no room for the NUL
  EXPECT_EQ(HalvexSimRadiusServer(address, sizeof address, secret, sizeof secret, ca, cut), HALVEXSIM_FAILED);
  EXPECT_STREQ(ca, "");
  EXPECT_STREQ(address, "");
  EXPECT_EQ(HalvexSimStop(nullptr, 0), HALVEXSIM_OK);
}
#endif

}  // namespace
}  // namespace hx::test
#endif
