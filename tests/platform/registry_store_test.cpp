// The emulated registry kept in files: the journal's and the base's texts,
// what a load makes of damaged, cut or foreign files, and writers killed at
// any point of their work. POSIX only.
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/control.h"
#include "platform/posix/hive_store.h"
#include "platform/reg_file.h"
#include "platform/unique_handle.h"
#include "tests/support/registry_sandbox.h"

namespace hx::test {
namespace {

using namespace std::string_literals;
using platform::RegChange;
using platform::UniqueKey;
using Kind = RegChange::Kind;
namespace store = posix::store;

TEST(RegistryStoreTextTest, JournalLinesCarryTheirChecksum) {
  EXPECT_EQ(store::Crc32("123456789"), 0xCBF43926u);
  struct Case {
    RegChange change;
    std::string line;
  };
  const Case cases[] = {
      {{Kind::kSetValue, HKEY_LOCAL_MACHINE, "Software\\A b", "Name", REG_SZ, {'h', 'i', 0}},
       "808290f8 set HKEY_LOCAL_MACHINE Software\\A%20b Name 00000001 686900\n"},
      {{Kind::kCreateKey, HKEY_CURRENT_USER, "X", "", REG_NONE, {}}, "4451321c key HKEY_CURRENT_USER X\n"},
      {{Kind::kDeleteKey, HKEY_USERS, "a\\b", "", REG_NONE, {}}, "f42713ce delkey HKEY_USERS a\\b\n"},
      {{Kind::kDeleteValue, HKEY_DYN_DATA, "p", "", REG_NONE, {}}, "e545af3e delvalue HKEY_DYN_DATA p %\n"},
      {{Kind::kSetValue, HKEY_LOCAL_MACHINE, "", "%\n", 0x12345678, {}},
       "0a132328 set HKEY_LOCAL_MACHINE % %25%0a 12345678 -\n"},
  };
  std::string journal = store::JournalHeader(0x89ABCDEF);
  EXPECT_EQ(journal, "86a36af9 journal 1 base 89abcdef\n");
  std::vector<RegChange> expected;
  for (const Case& c : cases) {
    EXPECT_EQ(store::JournalRecord(c.change), c.line);
    journal += c.line;
    expected.push_back(c.change);
  }
  store::JournalRead read = store::ReadJournal(journal);
  EXPECT_EQ(read.baseId, 0x89ABCDEFu);
  EXPECT_EQ(read.changes, expected);
  EXPECT_EQ(read.lines, 6u);
  EXPECT_FALSE(read.damage);
  EXPECT_FALSE(read.tornTail);
}

TEST(RegistryStoreTextTest, JournalReadsUpToTheFirstBadLine) {
  const std::string header = "86a36af9 journal 1 base 89abcdef\n";
  const std::string good = "4451321c key HKEY_CURRENT_USER X\n";
  struct Case {
    std::string text;
    size_t changes;
    size_t damagedLine;  // 0: none
    bool torn;
  };
  const Case cases[] = {
      {"", 0, 0, false},
      {header + good, 1, 0, false},
      {header + good + "4451321c key HKEY_CURRENT_USER", 1, 0, true},       // cut inside a record
      {header.substr(0, 20), 0, 0, true},                                   // cut inside the header
      {header + "4451321c key HKEY_CURRENT_USER Y\n" + good, 0, 2, false},  // altered, good after it
      {header + good + "4451321c key HKEY_CURRENT_USER Y\n", 1, 3, false},  // altered last line
      {header + good + "4451321c key\n", 1, 3, false},
      {header + "0dd1fbb1 key HKEY_NOWHERE X\n", 0, 2, false},  // checked, but not a record
      {"86a36af9 journal 1 base 89abcdeX\n" + good, 0, 1, false},
      {good + good, 0, 1, false},  // no header
      {header + "x\n", 0, 2, false},
      {header + "4451321C key HKEY_CURRENT_USER X\n", 1, 0, false},  // digits in either case
  };
  for (const Case& c : cases) {
    store::JournalRead read = store::ReadJournal(c.text);
    EXPECT_EQ(read.changes.size(), c.changes) << c.text;
    EXPECT_EQ(read.damage ? read.damage->line : 0, c.damagedLine) << c.text;
    EXPECT_EQ(read.tornTail, c.torn) << c.text;
  }
}

TEST(RegistryStoreTextTest, BaseFilesAreCheckedByTheirLastLine) {
  const std::string exported =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"1\"\r\n\r\n";
  const std::string sealed = store::SealBase(exported);
  EXPECT_EQ(sealed,
            "Windows Registry Editor Version 5.00\r\n"
            "; Saved by the Halvex registry store. The last line is a CRC-32 of the text above it.\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"1\"\r\n\r\n; crc32 " +
                std::string(sealed.end() - 10, sealed.end() - 2) + "\r\n");
  std::string altered = sealed;
  altered[altered.find("\"1\"") + 1] = '2';
  struct Case {
    std::string text;
    store::BaseState state;
    size_t line;
  };
  const Case cases[] = {
      {sealed, store::BaseState::kSealed, 0},
      {sealed.substr(0, sealed.size() - 1), store::BaseState::kSealed, 0},  // only the line end lost
      {exported, store::BaseState::kUnsealed, 0},
      {"REGEDIT4\r\n", store::BaseState::kUnsealed, 0},
      {"", store::BaseState::kDamaged, 1},
      {"Windows Registry Editor Version 5.00\r\n; Saved by", store::BaseState::kDamaged, 2},
      {"Windows Reg", store::BaseState::kDamaged, 1},
      {sealed.substr(0, sealed.find("\"v\"")), store::BaseState::kDamaged, 4},  // cut at a line end
      {sealed.substr(0, sealed.size() - 12), store::BaseState::kDamaged, 7},
      {altered, store::BaseState::kDamaged, 7},
  };
  for (const Case& c : cases) {
    store::BaseCheck check = store::CheckBase(c.text);
    EXPECT_EQ(check.state, c.state) << c.text;
    if (c.state == store::BaseState::kDamaged) {
      EXPECT_EQ(check.finding.line, c.line) << c.text;
    }
  }
}

// A directory of the test's own, on tmpfs where there is one: syncs are cheap.
class StoreDir {
 public:
  StoreDir() {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm"s : "/tmp"s) + "/halvex-store-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~StoreDir() {
    posix::ResetRegistry();
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  // The files of the hive; its lock file stays beside them once made.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      if (entry.path().filename() != "registry.reg.lock") names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string path;
};

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// HKLM\Store as .reg sections with the header left out, "\n" for "\r\n".
std::string Dump() {
  std::string text = platform::ExportRegText(HKEY_LOCAL_MACHINE, "Store");
  std::string out;
  for (size_t i = text.find("\r\n\r\n") == std::string::npos ? text.size() : text.find("\r\n\r\n") + 4;
       i < text.size(); ++i) {
    if (text[i] != '\r') out.push_back(text[i]);
  }
  return out;
}

UniqueKey CreateKey(const char* path) {
  UniqueKey key;
  EXPECT_EQ(
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
      ERROR_SUCCESS);
  return key;
}

bool Mentions(const posix::RegistryFileStatus& status, const std::string& text) {
  return std::any_of(status.problems.begin(), status.problems.end(),
                     [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    posix::ResetRegistry();
    ASSERT_FALSE(dir.path.empty());
    file = dir.path + "/registry.reg";
  }
  void TearDown() override { posix::SetRegistryJournalLimit(0); }

  // A base holding HKLM\Store\A with one value, then kept again: the next
  // changes go to its journal.
  void StartWithBase(const char* name, const std::string& text) {
    ASSERT_TRUE(posix::UseRegistryFile(file).ok);
    ASSERT_EQ(WriteValue(CreateKey("Store\\A").get(), name, REG_SZ, text), ERROR_SUCCESS);
    posix::ResetRegistry();
    ASSERT_TRUE(posix::UseRegistryFile(file).ok);
  }

  StoreDir dir;
  std::string file;
};

TEST_F(RegistryStoreTest, ChangesGoToTheJournalAndTheBaseAtTheEnd) {
  posix::RegistryFileStatus status = posix::UseRegistryFile(file);
  ASSERT_TRUE(status.ok);
  EXPECT_EQ(status.problems, std::vector<std::string>{});
  const std::string emptyBase = Contents(file);
  {
    UniqueKey key = CreateKey("Store\\Adapter");
    ASSERT_EQ(WriteValue(key.get(), "Name", REG_SZ, "wlan\0"s), ERROR_SUCCESS);
    ASSERT_EQ(WriteValue(key.get(), "Rate", REG_DWORD, "\x36\0\0\0"s), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key.get(), "Name"), ERROR_SUCCESS);
    UniqueKey gone = CreateKey("Store\\Adapter\\Gone");
    ASSERT_EQ(RegDeleteKeyA(key.get(), "Gone"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key.get(), "Name"), ERROR_FILE_NOT_FOUND);  // no change, no record
  }
  EXPECT_EQ(Contents(file), emptyBase) << "a change costs a record, not the hive";
  const std::string journal = Contents(file + ".log");
  const std::vector<std::string> records = {
      " key HKEY_LOCAL_MACHINE Store\\Adapter\n",
      " set HKEY_LOCAL_MACHINE Store\\Adapter Name 00000001 776c616e00\n",
      " set HKEY_LOCAL_MACHINE Store\\Adapter Rate 00000004 36000000\n",
      " delvalue HKEY_LOCAL_MACHINE Store\\Adapter Name\n",
      " key HKEY_LOCAL_MACHINE Store\\Adapter\\Gone\n",
      " delkey HKEY_LOCAL_MACHINE Store\\Adapter\\Gone\n",
  };
  size_t position = journal.find('\n') + 1;
  for (const std::string& record : records) {
    EXPECT_EQ(journal.substr(position + 8, record.size()), record);
    position += 8 + record.size();
  }
  EXPECT_EQ(position, journal.size());
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"registry.reg", "registry.reg.log"}));
  // The journal holds every value written, keys among them: its owner's alone,
  // also when an older build left it readable.
  struct stat info {};
  ASSERT_EQ(::stat((file + ".log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  posix::ResetRegistry();  // folds the journal into the base and stops saving
  ASSERT_EQ(::chmod((file + ".log").c_str(), 0644), 0);
  ASSERT_TRUE(posix::UseRegistryFile(file).ok);
  ASSERT_EQ(::stat((file + ".log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  posix::ResetRegistry();
  const std::string folded = Contents(file + ".log");
  EXPECT_EQ(std::count(folded.begin(), folded.end(), '\n'), 1) << folded;
  CreateKey("Store\\NotSaved");
  posix::ResetRegistry();
  EXPECT_EQ(Contents(file).find("NotSaved"), std::string::npos);
  EXPECT_NE(Contents(file).find("[HKEY_LOCAL_MACHINE\\Store\\Adapter]\r\n\"Rate\"=dword:00000036\r\n"),
            std::string::npos);
  ASSERT_TRUE(posix::UseRegistryFile(file).ok);
  EXPECT_EQ(
      Dump(),
      "[HKEY_LOCAL_MACHINE\\Store]\n\n[HKEY_LOCAL_MACHINE\\Store\\Adapter]\n\"Rate\"=dword:00000036\n\n");
}

TEST_F(RegistryStoreTest, AJournalNotYetFoldedLoadsOverItsBase) {
  StartWithBase("v", "1\0"s);
  UniqueKey key = CreateKey("Store\\A");
  ASSERT_EQ(WriteValue(key.get(), "v", REG_SZ, "2\0"s), ERROR_SUCCESS);
  ASSERT_EQ(WriteValue(key.get(), "w", REG_BINARY, "\x01\x02"s), ERROR_SUCCESS);
  key.reset();
  // As a killed process leaves them.
  const std::string base = Contents(file);
  const std::string journal = Contents(file + ".log");
  posix::ResetRegistry();
  Write(file, base);
  Write(file + ".log", journal);
  Write(file + ".Ab3xYz", "half a save");
  Write(file + ".ab", "not a temporary");
  posix::RegistryFileStatus status = posix::UseRegistryFile(file);
  ASSERT_TRUE(status.ok);
  EXPECT_EQ(status.problems, std::vector<std::string>{});
  EXPECT_EQ(
      Dump(),
      "[HKEY_LOCAL_MACHINE\\Store]\n\n[HKEY_LOCAL_MACHINE\\Store\\A]\n\"v\"=\"2\"\n\"w\"=hex:01,02\n\n");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"registry.reg", "registry.reg.ab", "registry.reg.log"}));
  EXPECT_NE(Contents(file).find("\"w\"=hex:01,02"), std::string::npos) << "loading folds the journal in";

  // A journal the base already holds (a compaction cut short) is not applied twice.
  posix::ResetRegistry();
  Write(file + ".log", journal);
  status = posix::UseRegistryFile(file);
  ASSERT_TRUE(status.ok);
  EXPECT_EQ(status.problems, std::vector<std::string>{});
  EXPECT_EQ(
      Dump(),
      "[HKEY_LOCAL_MACHINE\\Store]\n\n[HKEY_LOCAL_MACHINE\\Store\\A]\n\"v\"=\"2\"\n\"w\"=hex:01,02\n\n");
}

TEST_F(RegistryStoreTest, UnusablePlacesAreReportedAndNothingIsKept) {
  struct Case {
    const char* name;
    std::string path;
    void (*prepare)(const std::string& dir);
    std::string mentions;
  };
  const Case cases[] = {
      {"missing directory", "/missing/registry.reg", nullptr, "/missing/registry.reg"},
      {"directory is a file", "/plain/registry.reg", [](const std::string& d) { Write(d + "/plain", "x"); },
       "Not a directory"},
      {"FIFO as the base", "/registry.reg",
       [](const std::string& d) { mkfifo((d + "/registry.reg").c_str(), 0600); }, "is not a regular file"},
      {"FIFO as the journal", "/registry.reg",
       [](const std::string& d) { mkfifo((d + "/registry.reg.log").c_str(), 0600); },
       "is not a regular file"},
      {"directory as the base", "/registry.reg",
       [](const std::string& d) { mkdir((d + "/registry.reg").c_str(), 0700); }, "registry.reg"},
  };
  for (const Case& c : cases) {
    StoreDir place;
    if (c.prepare != nullptr) c.prepare(place.path);
    posix::RegistryFileStatus status = posix::UseRegistryFile(place.path + c.path);
    EXPECT_FALSE(status.ok) << c.name;
    EXPECT_TRUE(Mentions(status, c.mentions)) << c.name << ": " << ::testing::PrintToString(status.problems);
    ASSERT_TRUE(posix::RegistryPersistError().has_value()) << c.name;
    EXPECT_NE(posix::RegistryPersistError()->find(c.path), std::string::npos) << c.name;
    const std::vector<std::string> before = place.Names();
    CreateKey("Store\\Unsaved");
    EXPECT_EQ(place.Names(), before) << c.name;
  }
  posix::ResetRegistry();
  EXPECT_FALSE(posix::RegistryPersistError().has_value());
  EXPECT_FALSE(posix::ImportRegistryFile(dir.path + "/none.reg"));
  mkfifo((dir.path + "/fifo.reg").c_str(), 0600);
  EXPECT_FALSE(posix::ImportRegistryFile(dir.path + "/fifo.reg"));
}

TEST_F(RegistryStoreTest, AWriteThatCannotBeKeptIsReported) {
  ASSERT_TRUE(posix::UseRegistryFile(file).ok);
  UniqueKey key = CreateKey("Store\\A");
  EXPECT_FALSE(posix::RegistryPersistError().has_value());
  std::filesystem::remove_all(dir.path);
  // Not acknowledged: a later process would not see it. Nor is any later one.
  EXPECT_EQ(WriteValue(key.get(), "v", REG_SZ, "1\0"s), ERROR_WRITE_FAULT);
  ASSERT_TRUE(posix::RegistryPersistError().has_value());
  EXPECT_NE(posix::RegistryPersistError()->find("registry.reg"), std::string::npos);
  EXPECT_EQ(WriteValue(key.get(), "w", REG_SZ, "2\0"s), ERROR_WRITE_PROTECT);
  ASSERT_TRUE(posix::RegistryReadOnly().has_value());
  std::string read;
  EXPECT_EQ(ReadValue(key.get(), "v", nullptr, &read), ERROR_SUCCESS);
}

TEST_F(RegistryStoreTest, OneProcessAtATimeHasTheFilesReadOnlyOpenersNone) {
  ASSERT_TRUE(posix::UseRegistryFile(file).ok);
  CreateKey("Store\\Kept");
  posix::ResetRegistry();
  // Another process holds the files: the opener is told who, waits its bound,
  // and touches nothing of theirs.
  const pid_t holder = fork();
  if (holder == 0) {
    posix::RegistryFileStatus held = posix::UseRegistryFile(file);
    Write(file + ".Zq9Xy1", "the holder's save in flight");
    _exit(held.ok ? (pause(), 0) : 1);
  }
  while (posix::store::FileLock::HolderOf(file + ".lock") != holder) std::this_thread::yield();
  long told = 0;
  posix::RegistryFileOptions options;
  options.lockWaitMs = 200;
  options.waiting = [&](long pid) { told = pid; };
  posix::RegistryFileStatus busy = posix::UseRegistryFile(file, options);
  EXPECT_FALSE(busy.ok);
  EXPECT_EQ(told, holder);
  EXPECT_TRUE(Mentions(busy, file + " is in use by process " + std::to_string(holder)))
      << ::testing::PrintToString(busy.problems);
  // Read-only, it loads what the holder has and changes nothing.
  options.readOnly = true;
  posix::RegistryFileStatus reader = posix::UseRegistryFile(file, options);
  EXPECT_TRUE(reader.ok);
  EXPECT_NE(Dump().find("Store\\Kept"), std::string::npos);
  UniqueKey key;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Store\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.put(), nullptr),
            ERROR_WRITE_PROTECT);
  EXPECT_TRUE(std::filesystem::exists(file + ".Zq9Xy1")) << "the holder's temporary stays";
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  posix::ResetRegistry();
  // The holder gone, its lock went with it.
  ASSERT_TRUE(posix::UseRegistryFile(file).ok);
  EXPECT_FALSE(std::filesystem::exists(file + ".Zq9Xy1"));
}

TEST_F(RegistryStoreTest, DamagedBasesAreKeptAsideAndReplaced) {
  struct Case {
    const char* name;
    std::string text;
    std::string mentions;  // in the problem, with the path
    bool keptAside;
    std::string loaded;  // Dump() afterwards
  };
  const std::string legacy = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Store\\Old]\r\n\"v\"=dword:00000001\r\n";
  const Case cases[] = {
      {"empty", "", "line 1: the file is empty", true, ""},
      {"garbage", "not a registry file\n", "line 1: missing header", true, ""},
      {"bad line", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Store]\r\nxyz\r\n", "line 3: unexpected line", true, ""},
      {"cut short",
       "Windows Registry Editor Version 5.00\r\n"
       "; Saved by the Halvex registry store. The last line is a CRC-32 of the text above it.\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\Store\\Old]\r\n",
       "line 4: the checksum line is missing", true, ""},
      {"older file", legacy, "no checksum line", false,
       "[HKEY_LOCAL_MACHINE\\Store]\n\n[HKEY_LOCAL_MACHINE\\Store\\Old]\n\"v\"=dword:00000001\n\n"},
  };
  for (const Case& c : cases) {
    posix::ResetRegistry();
    for (const std::string& name : dir.Names()) std::filesystem::remove(dir.path + "/" + name);
    Write(file, c.text);
    posix::RegistryFileStatus status = posix::UseRegistryFile(file);
    EXPECT_TRUE(status.ok) << c.name;
    EXPECT_TRUE(Mentions(status, file + ": " + c.mentions))
        << c.name << ": " << ::testing::PrintToString(status.problems);
    EXPECT_EQ(Dump(), c.loaded) << c.name;
    std::vector<std::string> names = dir.Names();
    ASSERT_EQ(names.size(), c.keptAside ? 3u : 2u) << c.name;
    if (c.keptAside) {
      // registry.reg.damaged-YYYYMMDDTHHMMSS
      EXPECT_EQ(names[1].substr(0, 21), "registry.reg.damaged-") << c.name;
      EXPECT_EQ(names[1].size(), 36u) << names[1];
      EXPECT_EQ(names[1][29], 'T') << names[1];
      EXPECT_TRUE(Mentions(status, "kept as " + dir.path + "/" + names[1])) << c.name;
      EXPECT_EQ(Contents(dir.path + "/" + names[1]), c.text) << c.name;
    }
    EXPECT_EQ(store::CheckBase(Contents(file)).state, store::BaseState::kSealed) << c.name;
    EXPECT_FALSE(posix::RegistryPersistError().has_value()) << c.name;
  }
}

// A small hive as base and journal, every byte of either cut off or flipped:
// a load gives the whole hive, or an earlier state it can prove with the
// damage reported and the damaged file kept aside, never less in silence.
TEST_F(RegistryStoreTest, EveryCutAndFlipLoadsProvablyOrSaysSo) {
  StartWithBase("x", "1\0"s);
  {
    UniqueKey a = CreateKey("Store\\A");
    ASSERT_EQ(WriteValue(a.get(), "y", REG_DWORD, "\2\0\0\0"s), ERROR_SUCCESS);
    CreateKey("Store\\C");
    ASSERT_EQ(RegDeleteValueA(a.get(), "x"), ERROR_SUCCESS);
  }
  const std::string base = Contents(file);
  const std::string journal = Contents(file + ".log");
  // The states after 0 to 3 of the journal's records.
  const std::string states[] = {
      "[HKEY_LOCAL_MACHINE\\Store]\n\n[HKEY_LOCAL_MACHINE\\Store\\A]\n\"x\"=\"1\"\n\n",
      "[HKEY_LOCAL_MACHINE\\Store]\n\n[HKEY_LOCAL_MACHINE\\Store\\A]\n\"x\"=\"1\"\n\"y\"=dword:00000002\n\n",
      "[HKEY_LOCAL_MACHINE\\Store]\n\n[HKEY_LOCAL_MACHINE\\Store\\A]\n\"x\"=\"1\"\n\"y\"=dword:00000002\n\n"
      "[HKEY_LOCAL_MACHINE\\Store\\C]\n\n",
      "[HKEY_LOCAL_MACHINE\\Store]\n\n[HKEY_LOCAL_MACHINE\\Store\\A]\n\"y\"=dword:00000002\n\n"
      "[HKEY_LOCAL_MACHINE\\Store\\C]\n\n",
  };
  ASSERT_EQ(std::count(journal.begin(), journal.end(), '\n'), 4);

  auto load = [&](const std::string& baseText, const std::string& journalText, bool baseMutated,
                  size_t cutAtLineEnd, const std::string& what) {
    posix::ResetRegistry();
    for (const std::string& name : dir.Names()) std::filesystem::remove(dir.path + "/" + name);
    Write(file, baseText);
    Write(file + ".log", journalText);
    posix::RegistryFileStatus status = posix::UseRegistryFile(file);
    ASSERT_TRUE(status.ok) << what;
    const std::string loaded = Dump();
    if (loaded == states[3]) return;
    SCOPED_TRACE(what + "\n" + loaded + ::testing::PrintToString(status.problems));
    // A journal cut where a record ends is a state the writer committed.
    if (cutAtLineEnd != SIZE_MAX && loaded == states[cutAtLineEnd]) return;
    EXPECT_FALSE(status.problems.empty());
    if (baseMutated) {
      EXPECT_EQ(loaded, "");
    } else {
      EXPECT_TRUE(std::find(std::begin(states), std::end(states), loaded) != std::end(states));
    }
    std::vector<std::string> names = dir.Names();
    auto damaged = std::find_if(names.begin(), names.end(), [](const std::string& n) {
      return n.find(".damaged-") != std::string::npos;
    });
    if (damaged != names.end()) {
      EXPECT_EQ(Contents(dir.path + "/" + *damaged), baseMutated ? baseText : journalText);
    } else {
      EXPECT_TRUE(Mentions(status, "is incomplete"));
    }
  };
  auto flip = [](std::string text, size_t offset) {
    text[offset] = static_cast<char>(text[offset] ^ (1 << (offset % 8)));
    return text;
  };
  auto linesIn = [](const std::string& text) -> size_t {
    if (text.empty()) return size_t{0};
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    return text.back() != '\n' ? SIZE_MAX : lines - 1;
  };
  for (size_t offset = 0; offset < base.size(); ++offset) {
    load(base.substr(0, offset), journal, true, SIZE_MAX, "base cut at " + std::to_string(offset));
    load(flip(base, offset), journal, true, SIZE_MAX, "base flipped at " + std::to_string(offset));
  }
  for (size_t offset = 0; offset < journal.size(); ++offset) {
    std::string cut = journal.substr(0, offset);
    load(base, cut, false, linesIn(cut), "journal cut at " + std::to_string(offset));
    load(base, flip(journal, offset), false, SIZE_MAX, "journal flipped at " + std::to_string(offset));
  }
}

// One write of the long run: creating, setting, deleting values and keys.
struct Op {
  Kind kind;
  std::string key;
  std::string value;
};

Op OpAt(int i) {
  if (i < 5) return {Kind::kCreateKey, "K" + std::to_string(i), ""};
  const std::string key = "K" + std::to_string(i % 5);
  switch (i % 8) {
    case 3:
      return {Kind::kDeleteValue, "K" + std::to_string((i - 2) % 5), "v" + std::to_string(i - 2)};
    case 7:
      return {Kind::kCreateKey, key + "\\S" + std::to_string(i), ""};
    case 6:
      if (i >= 14)
        return {Kind::kDeleteKey, "K" + std::to_string((i - 7) % 5) + "\\S" + std::to_string(i - 7), ""};
      [[fallthrough]];
    default:
      return {Kind::kSetValue, key, "v" + std::to_string(i)};
  }
}

// The hive after the first `count` writes, as Dump() shows it.
std::string Expected(int count) {
  std::map<std::string, std::map<std::string, int>> keys;
  for (int i = 0; i < count; ++i) {
    Op op = OpAt(i);
    if (op.kind == Kind::kCreateKey) keys[op.key];
    if (op.kind == Kind::kDeleteKey) keys.erase(op.key);
    if (op.kind == Kind::kSetValue) keys[op.key][op.value] = i;
    if (op.kind == Kind::kDeleteValue) keys[op.key].erase(op.value);
  }
  // Export order: subkeys after their parent's values, names folded ("K1\S15" before "K1\S7" by text).
  std::string out = count > 0 ? "[HKEY_LOCAL_MACHINE\\Store]\n\n" : "";
  std::vector<std::string> names;
  for (const auto& entry : keys) names.push_back(entry.first);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    std::string x = a, y = b;
    std::replace(x.begin(), x.end(), '\\', '\x01');
    std::replace(y.begin(), y.end(), '\\', '\x01');
    return x < y;
  });
  char dword[16];
  for (const std::string& name : names) {
    out += "[HKEY_LOCAL_MACHINE\\Store\\" + name + "]\n";
    std::vector<std::pair<std::string, int>> values(keys[name].begin(), keys[name].end());
    for (const auto& [value, data] : values) {
      std::snprintf(dword, sizeof dword, "%08x", data);
      out += "\"" + value + "\"=dword:" + dword + "\n";
    }
    out += "\n";
  }
  return out;
}

[[noreturn]] void RunWriter(const std::string& file, int report) {
  posix::SetRegistryJournalLimit(700);  // folds every few writes, so kills land in those too
  if (!posix::UseRegistryFile(file).ok) _exit(2);
  std::map<std::string, UniqueKey> keys;
  for (int i = 0; i < 100000; ++i) {
    Op op = OpAt(i);
    const std::string path = "Store\\" + op.key;
    LONG status = ERROR_SUCCESS;
    if (op.kind == Kind::kCreateKey) {
      UniqueKey key;
      status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               key.put(), nullptr);
      if (op.key.find('\\') == std::string::npos) keys[op.key] = std::move(key);
    } else if (op.kind == Kind::kDeleteKey) {
      status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    } else if (op.kind == Kind::kSetValue) {
      const DWORD data = static_cast<DWORD>(i);
      status = RegSetValueExA(keys[op.key].get(), op.value.c_str(), 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&data), 4);
    } else {
      status = RegDeleteValueA(keys[op.key].get(), op.value.c_str());
    }
    if (status != ERROR_SUCCESS || posix::RegistryPersistError()) _exit(3);
    if (write(report, &i, sizeof i) != sizeof i) _exit(4);
  }
  _exit(5);
}

TEST(RegistryStoreKillTest, KilledWritersLeaveAPrefixOfTheirWrites) {
  ASSERT_EQ(
      Expected(16),
      "[HKEY_LOCAL_MACHINE\\Store]\n\n[HKEY_LOCAL_MACHINE\\Store\\K0]\n\"v10\"=dword:0000000a\n"
      "\"v5\"=dword:00000005\n\n[HKEY_LOCAL_MACHINE\\Store\\K0\\S15]\n\n[HKEY_LOCAL_MACHINE\\Store\\K1]\n"
      "\"v6\"=dword:00000006\n\n[HKEY_LOCAL_MACHINE\\Store\\K2]\n\"v12\"=dword:0000000c\n\n"
      "[HKEY_LOCAL_MACHINE\\Store\\K3]\n\"v13\"=dword:0000000d\n\"v8\"=dword:00000008\n\n"
      "[HKEY_LOCAL_MACHINE\\Store\\K4]\n\n")
      << "the model of the writes";
  StoreDir dir;
  const std::string file = dir.path + "/registry.reg";
  std::mt19937 random(13);
  for (int run = 0; run < 200; ++run) {
    posix::ResetRegistry();
    for (const std::string& name : dir.Names()) std::filesystem::remove(dir.path + "/" + name);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const int target = static_cast<int>(random() % 200);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipeFds[0]);
      RunWriter(file, pipeFds[1]);
    }
    close(pipeFds[1]);
    int done = 0;  // writes whose call returned
    int index = -1;
    bool killed = false;
    while (read(pipeFds[0], &index, sizeof index) == sizeof index) {
      done = index + 1;
      if (!killed && index >= target) {
        kill(child, SIGKILL);
        killed = true;
      }
    }
    close(pipeFds[0]);
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wstatus)) << "writer ended by itself: " << WEXITSTATUS(wstatus);

    posix::RegistryFileStatus status = posix::UseRegistryFile(file);
    ASSERT_TRUE(status.ok) << ::testing::PrintToString(status.problems);
    for (const std::string& problem : status.problems)
      EXPECT_NE(problem.find("is incomplete"), std::string::npos) << "run " << run << ": " << problem;
    const std::string loaded = Dump();
    // The write in progress at the kill may have reached the file.
    ASSERT_TRUE(loaded == Expected(done) || loaded == Expected(done + 1))
        << "run " << run << " after " << done << " writes:\n"
        << loaded;
    for (const std::string& name : dir.Names())
      EXPECT_TRUE(name == "registry.reg" || name == "registry.reg.log") << name;
  }
}

TEST(RegistryEnumerationTest, IndexesInAnyOrderAcrossChanges) {
  RegistrySandbox sandbox;
  UniqueKey key = CreateKey("Store");
  for (const char* name : {"d", "b", "a", "c"}) {
    UniqueKey sub;
    ASSERT_EQ(RegCreateKeyExA(key.get(), name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(WriteValue(key.get(), name, REG_SZ, "\0"s), ERROR_SUCCESS);
  }
  // index to ask for, or a change: '+x' adds x, '-x' removes it; the name expected ("" past the end)
  struct Step {
    std::string ask;
    std::string expected;
  };
  const Step steps[] = {{"0", "a"}, {"1", "b"},  {"2", "c"},  {"1", "b"}, {"3", "d"}, {"4", ""},
                        {"2", "c"}, {"+bb", ""}, {"2", "bb"}, {"3", "c"}, {"-a", ""}, {"0", "b"},
                        {"3", "d"}, {"0", "b"},  {"4", ""},   {"3", "d"}};
  for (const Step& step : steps) {
    if (step.ask[0] == '+') {
      UniqueKey sub;
      ASSERT_EQ(RegCreateKeyExA(key.get(), step.ask.c_str() + 1, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                sub.put(), nullptr),
                ERROR_SUCCESS);
      ASSERT_EQ(WriteValue(key.get(), step.ask.c_str() + 1, REG_SZ, "\0"s), ERROR_SUCCESS);
      continue;
    }
    if (step.ask[0] == '-') {
      ASSERT_EQ(RegDeleteKeyA(key.get(), step.ask.c_str() + 1), ERROR_SUCCESS);
      ASSERT_EQ(RegDeleteValueA(key.get(), step.ask.c_str() + 1), ERROR_SUCCESS);
      continue;
    }
    const DWORD index = static_cast<DWORD>(std::stoul(step.ask));
    char name[16];
    DWORD length = sizeof name;
    LONG status = RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(status == ERROR_SUCCESS ? std::string(name, length) : "", step.expected) << "key " << step.ask;
    if (step.expected.empty()) {
      EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
    }
    length = sizeof name;
    status = RegEnumValueA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(status == ERROR_SUCCESS ? std::string(name, length) : "", step.expected)
        << "value " << step.ask;
  }
  platform::DeleteKeyTree(HKEY_LOCAL_MACHINE, "Store");
}

TEST_F(RegistryStoreTest, ImportAddsToTheKeptHive) {
  ASSERT_TRUE(posix::UseRegistryFile(file).ok);
  const std::string import = dir.path + "/setup.reg";
  Write(import, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Store\\Setup]\r\n\"Mode\"=dword:00000002\r\n");
  ASSERT_TRUE(posix::ImportRegistryFile(import));
  EXPECT_NE(Contents(file).find("\"Mode\"=dword:00000002"), std::string::npos) << "saved at once, whole";
}

}  // namespace
}  // namespace hx::test
#endif
