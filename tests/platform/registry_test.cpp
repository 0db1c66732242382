// The registry calls' behaviour, pinned against Wine: every test here but the
// last few runs on both builds, so the emulation cannot drift from it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/reg_file.h"
#include "tests/platform/test_threads.h"
#include "tests/support/registry_sandbox.h"
#include "tests/support/wine.h"
#ifndef _WIN32
#include "platform/posix/control.h"
#include "sim/client.h"
#include "sim/service.h"
#endif

namespace hx::test {
namespace {

using namespace std::string_literals;
using platform::UniqueKey;

constexpr REGSAM kAll = KEY_ALL_ACCESS;

UniqueKey Create(HKEY parent, const char* path, DWORD* disposition = nullptr, LONG expected = ERROR_SUCCESS) {
  UniqueKey key;
  EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, 0, kAll, nullptr, key.put(), disposition), expected)
      << path;
  return key;
}

#ifndef _WIN32
// This process's registry calls sent to a machine's service in the process,
// as a client process's are: the same calls, the same answers.
class RemoteHive {
 public:
  RemoteHive() : core_(sim::SimAdapter::Create()) {
    sim::Lines lines;
    client_ = sim::ConnectInProcess(core_, &lines);
    posix::UseRegistryRemote(client_->Registry());
  }
  ~RemoteHive() {
    posix::UseRegistryRemote(nullptr);
    client_.reset();
    core_.ShutdownAll();
    core_.AwaitServed();
  }

 private:
  sim::ServiceCore core_;
  std::unique_ptr<sim::ServiceClient> client_;
};
#endif

// The registry as this process reaches it: its own hive, or the hive of the
// machine's service (POSIX).
class RegistryTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
#ifndef _WIN32
    if (GetParam()) remote_ = std::make_unique<RemoteHive>();
#endif
    scratch.key.emplace();
  }
  void TearDown() override {
    scratch.key.reset();
#ifndef _WIN32
    remote_.reset();
#endif
  }

  struct Scratch {
    std::optional<ScratchKey> key;
    HKEY get() const { return key->get(); }
    const std::string& path() const { return key->path(); }
  } scratch;
#ifndef _WIN32
  std::unique_ptr<RemoteHive> remote_;
#endif
};

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Hive, RegistryTest, ::testing::Values(false));
#else
INSTANTIATE_TEST_SUITE_P(Hive, RegistryTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Service" : "Own";
                         });
#endif

// What follows the counted bytes decides: NT adds the NUL only when the
// byte after the data is one (as it is after any C string's characters).
TEST_P(RegistryTest, StringsGainTheirNulOnlyWhenItFollows) {
  const char buffer[] = "abcX\0";
  ASSERT_EQ(RegSetValueExA(scratch.get(), "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(buffer), 3),
            ERROR_SUCCESS);
  std::string read;
  ASSERT_EQ(ReadValue(scratch.get(), "v", nullptr, &read), ERROR_SUCCESS);
  EXPECT_EQ(read, "abc");
  ASSERT_EQ(RegSetValueExA(scratch.get(), "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(buffer), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(ReadValue(scratch.get(), "v", nullptr, &read), ERROR_SUCCESS);
  EXPECT_EQ(read, std::string("abcX\0", 5));
}

TEST_P(RegistryTest, StringsStoredWithoutNulGainOne) {
  struct Case {
    DWORD type;
    std::string stored;
    std::string read;
  };
  const Case cases[] = {
      {REG_SZ, "abc", "abc\0"s},
      {REG_SZ, "abc\0"s, "abc\0"s},
      {REG_SZ, "", ""},
      {REG_SZ, "a\0b"s, "a\0b\0"s},
      {REG_SZ, "a\0\0"s, "a\0\0"s},
      {REG_SZ, "\xff\x81\x80\x9d\x01", "\xff\x81\x80\x9d\x01\0"s},
      {REG_EXPAND_SZ, "ab", "ab\0"s},
      {REG_MULTI_SZ, "ab", "ab\0"s},
      {REG_MULTI_SZ, "ab\0\0"s, "ab\0\0"s},
      {REG_BINARY, "abcde", "abcde"},
      {REG_DWORD, "a", "a"},
      {REG_DWORD, "abcdefg", "abcdefg"},
      {REG_NONE, "ab", "ab"},
      {REG_QWORD, "abcde", "abcde"},
      {0x12345, "ab", "ab"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(WriteValue(scratch.get(), "v", c.type, c.stored), ERROR_SUCCESS);
    DWORD type = 0;
    std::string read;
    ASSERT_EQ(ReadValue(scratch.get(), "v", &type, &read), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(read, c.read) << "type " << c.type << " stored " << c.stored.size() << " bytes";
  }
}

TEST_P(RegistryTest, QueryReportsSizes) {
  ASSERT_EQ(WriteValue(scratch.get(), "s", REG_SZ, "abcd"), ERROR_SUCCESS);  // 5 bytes with the NUL
  struct Case {
    DWORD buffer;
    LONG status;
  };
  for (const Case& c :
       {Case{0, ERROR_MORE_DATA}, Case{4, ERROR_MORE_DATA}, Case{5, ERROR_SUCCESS}, Case{8, ERROR_SUCCESS}}) {
    char data[16];
    std::memset(data, 'Y', sizeof data);
    DWORD size = c.buffer;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(scratch.get(), "s", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              c.status)
        << c.buffer;
    EXPECT_EQ(size, 5u) << c.buffer;
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    if (c.status == ERROR_MORE_DATA) {
      EXPECT_EQ(std::string(data, 5), "YYYYY") << "a short buffer is left alone";
    } else {
      EXPECT_EQ(std::string(data, 6), "abcd\0Y"s);
    }
  }
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(scratch.get(), "s", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  BYTE data[8];
  EXPECT_EQ(RegQueryValueExA(scratch.get(), "s", nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(scratch.get(), "S", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(scratch.get(), "missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
}

TEST_P(RegistryTest, DefaultValueIsNullOrEmptyName) {
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(scratch.get(), nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(scratch.get(), "", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(WriteValue(scratch.get(), "", REG_SZ, "d"), ERROR_SUCCESS);
  DWORD type = 0;
  std::string read;
  EXPECT_EQ(ReadValue(scratch.get(), nullptr, &type, &read), ERROR_SUCCESS);
  EXPECT_EQ(read, "d\0"s);
  EXPECT_EQ(ValueNames(scratch.get()), std::vector<std::string>{""});
  EXPECT_EQ(RegDeleteValueA(scratch.get(), nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(scratch.get(), ""), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExA(scratch.get(), nullptr, 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
  size = 77;
  EXPECT_EQ(RegQueryValueExA(scratch.get(), "", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
}

TEST_P(RegistryTest, SetValueChecksItsArguments) {
  EXPECT_EQ(RegSetValueExA(scratch.get(), "n", 0, REG_BINARY, nullptr, 3), ERROR_NOACCESS);
  EXPECT_EQ(RegSetValueExA(scratch.get(), "n", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(WriteValue(scratch.get(), std::string(16383, 'v').c_str(), REG_DWORD, "abcd"), ERROR_SUCCESS);
  EXPECT_EQ(WriteValue(scratch.get(), std::string(16384, 'v').c_str(), REG_DWORD, "abcd"),
            ERROR_INVALID_PARAMETER);
}

// Wine lists subkeys ordered by name folded to lower case, so '_' and '['
// come before letters.
const char* const kShuffled[] = {"b",  "A", "c",  "B2", "_x", "a1", "Zeta",      "[",
                                 "~t", "a", "aa", "A_", "a-", "1",  "\xe9t\xe9", "\xc9z"};
const std::vector<std::string> kFoldedOrder = {"1", "[",  "_x", "A",    "a-", "a1",        "A_",   "aa",
                                               "b", "B2", "c",  "Zeta", "~t", "\xe9t\xe9", "\xc9z"};

TEST_P(RegistryTest, SubkeysEnumerateInFoldedOrder) {
  for (const char* name : kShuffled) Create(scratch.get(), name);
  EXPECT_EQ(SubkeyNames(scratch.get()), kFoldedOrder);
}

TEST_P(RegistryTest, ValuesEnumerateInFoldedOrder) {
#ifdef _WIN32
  if (!RunningUnderWine()) GTEST_SKIP() << "Windows lists values in the order they were created";
#endif
  for (const char* name : kShuffled)
    ASSERT_EQ(WriteValue(scratch.get(), name, REG_BINARY, "x"), ERROR_SUCCESS);
  ASSERT_EQ(WriteValue(scratch.get(), nullptr, REG_SZ, "d"), ERROR_SUCCESS);
  std::vector<std::string> expected = {""};
  expected.insert(expected.end(), kFoldedOrder.begin(), kFoldedOrder.end());
  EXPECT_EQ(ValueNames(scratch.get()), expected);
}

TEST_P(RegistryTest, EnumKeyNeedsRoomForTheNul) {
  Create(scratch.get(), "Zeta");
  struct Case {
    DWORD buffer;
    LONG status;
    DWORD reported;
  };
  for (const Case& c : {Case{0, ERROR_MORE_DATA, 0}, Case{1, ERROR_MORE_DATA, 1}, Case{4, ERROR_MORE_DATA, 4},
                        Case{5, ERROR_SUCCESS, 4}, Case{6, ERROR_SUCCESS, 4}}) {
    char name[16];
    std::memset(name, 'X', sizeof name);
    DWORD length = c.buffer;
    EXPECT_EQ(RegEnumKeyExA(scratch.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr), c.status)
        << c.buffer;
    EXPECT_EQ(length, c.reported) << c.buffer;
    EXPECT_EQ(name[0], c.status == ERROR_SUCCESS ? 'Z' : 'X') << c.buffer;
  }
  char name[16];
  DWORD length = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(scratch.get(), 1, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(length, sizeof name);
}

TEST_P(RegistryTest, EnumValueReportsShortBuffers) {
  ASSERT_EQ(WriteValue(scratch.get(), "Name4", REG_SZ, "abc"), ERROR_SUCCESS);  // 4 bytes stored
  struct Case {
    DWORD nameBuffer;
    DWORD dataBuffer;
    LONG status;
    DWORD nameReported;
  };
  const Case cases[] = {
      {0, 16, ERROR_MORE_DATA, 0}, {1, 16, ERROR_MORE_DATA, 1},  {5, 16, ERROR_MORE_DATA, 5},
      {6, 16, ERROR_SUCCESS, 5},   {64, 0, ERROR_MORE_DATA, 64}, {64, 3, ERROR_MORE_DATA, 64},
      {64, 4, ERROR_SUCCESS, 5},   {64, 5, ERROR_SUCCESS, 5},
  };
  for (const Case& c : cases) {
    char name[64];
    BYTE data[16];
    std::memset(data, 'Y', sizeof data);
    DWORD nameLength = c.nameBuffer;
    DWORD dataLength = c.dataBuffer;
    DWORD type = 99;
    EXPECT_EQ(RegEnumValueA(scratch.get(), 0, name, &nameLength, nullptr, &type, data, &dataLength), c.status)
        << c.nameBuffer << "/" << c.dataBuffer;
    EXPECT_EQ(nameLength, c.nameReported) << c.nameBuffer << "/" << c.dataBuffer;
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(dataLength, 4u) << "the size needed, whether or not it fit";
    if (c.dataBuffer < 4) {
      EXPECT_EQ(data[0], 'Y') << "a short data buffer is left alone";
    }
    if (c.status == ERROR_SUCCESS) {
      EXPECT_EQ(std::string(name), "Name4");
      EXPECT_EQ(std::memcmp(data, "abc\0", 4), 0);
    }
  }
  char name[64];
  DWORD nameLength = sizeof name;
  DWORD dataLength = 0;
  EXPECT_EQ(RegEnumValueA(scratch.get(), 0, name, &nameLength, nullptr, nullptr, nullptr, &dataLength),
            ERROR_SUCCESS);
  EXPECT_EQ(dataLength, 4u);
  BYTE data[8];
  nameLength = sizeof name;
  EXPECT_EQ(RegEnumValueA(scratch.get(), 0, name, &nameLength, nullptr, nullptr, data, nullptr),
            ERROR_INVALID_PARAMETER);
  nameLength = sizeof name;
  EXPECT_EQ(RegEnumValueA(scratch.get(), 1, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
}

TEST_P(RegistryTest, AccessMaskDecidesWhatAHandleMayDo) {
  ASSERT_EQ(WriteValue(scratch.get(), "v", REG_DWORD, "abcd"), ERROR_SUCCESS);
  struct Case {
    REGSAM access;
    LONG set;
    LONG query;
    LONG enumValue;
    LONG enumKey;  // the key has no subkeys: allowed means ERROR_NO_MORE_ITEMS
    LONG deleteMissingValue;
  };
  const Case cases[] = {
      {0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
       ERROR_ACCESS_DENIED},
      {KEY_READ, ERROR_ACCESS_DENIED, 0, 0, ERROR_NO_MORE_ITEMS, ERROR_ACCESS_DENIED},
      {KEY_READ | KEY_WOW64_64KEY, ERROR_ACCESS_DENIED, 0, 0, ERROR_NO_MORE_ITEMS, ERROR_ACCESS_DENIED},
      {KEY_WRITE | KEY_WOW64_64KEY, 0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
       ERROR_FILE_NOT_FOUND},
      {KEY_QUERY_VALUE, ERROR_ACCESS_DENIED, 0, 0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {KEY_SET_VALUE, 0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND},
      {GENERIC_READ, ERROR_ACCESS_DENIED, 0, 0, ERROR_NO_MORE_ITEMS, ERROR_ACCESS_DENIED},
      {KEY_WOW64_32KEY, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
       ERROR_ACCESS_DENIED},
      {KEY_ALL_ACCESS, 0, 0, 0, ERROR_NO_MORE_ITEMS, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    UniqueKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, scratch.path().c_str(), 0, c.access, key.put()),
              ERROR_SUCCESS)
        << std::hex << c.access;
    char name[64];
    DWORD length = sizeof name;
    DWORD size = 0;
    EXPECT_EQ(WriteValue(key.get(), "w", REG_DWORD, "abcd"), c.set) << std::hex << c.access;
    EXPECT_EQ(RegQueryValueExA(key.get(), "v", nullptr, nullptr, nullptr, &size), c.query)
        << std::hex << c.access;
    EXPECT_EQ(RegEnumValueA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr), c.enumValue)
        << std::hex << c.access;
    length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr), c.enumKey)
        << std::hex << c.access;
    EXPECT_EQ(RegDeleteValueA(key.get(), "missing"), c.deleteMissingValue) << std::hex << c.access;
  }
}

TEST_P(RegistryTest, PathForms) {
  Create(scratch.get(), "case\\deep");
  struct Case {
    const char* path;
    LONG status;
  };
  const Case cases[] = {
      {"case\\deep", ERROR_SUCCESS},   {"CASE\\DEEP", ERROR_SUCCESS},
      {"case\\", ERROR_SUCCESS},       {"case\\\\deep", ERROR_SUCCESS},
      {"case\\deep\\", ERROR_SUCCESS}, {"", ERROR_SUCCESS},
      {nullptr, ERROR_SUCCESS},        {"\\case", ERROR_BAD_PATHNAME},
      {"nope", ERROR_FILE_NOT_FOUND},  {"case/deep", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    HKEY key = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x4444));
    EXPECT_EQ(RegOpenKeyExA(scratch.get(), c.path, 0, KEY_READ, &key), c.status)
        << (c.path != nullptr ? c.path : "(null)");
    if (c.status != ERROR_SUCCESS) {
      EXPECT_EQ(key, nullptr) << "a failed open clears the result";
    } else {
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
  }
  UniqueKey key;
  EXPECT_EQ(RegCreateKeyExA(scratch.get(), "\\new", 0, nullptr, 0, kAll, nullptr, key.put(), nullptr),
            ERROR_BAD_PATHNAME);
  Create(scratch.get(), "two\\\\parts\\");
  Create(scratch.get(), "slash/in/name");
  EXPECT_EQ(SubkeyNames(scratch.get()), (std::vector<std::string>{"case", "slash/in/name", "two"}));
}

TEST_P(RegistryTest, PathsOverMaxPathAreRefused) {
  // The "A" calls take paths of up to 260 characters; the names in them may be 255.
  const std::string longest = std::string(255, 'a') + "\\" + std::string(4, 'b');
  const std::string over = longest + "b";
  Create(scratch.get(), longest.c_str());
  Create(scratch.get(), over.c_str(), nullptr, ERROR_MORE_DATA);
  UniqueKey key;
  EXPECT_EQ(RegOpenKeyExA(scratch.get(), longest.c_str(), 0, KEY_READ, key.put()), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(scratch.get(), over.c_str(), 0, KEY_READ, key.put()), ERROR_MORE_DATA);
  EXPECT_EQ(RegDeleteKeyA(scratch.get(), over.c_str()), ERROR_MORE_DATA);
  EXPECT_EQ(RegDeleteKeyA(scratch.get(), longest.c_str()), ERROR_SUCCESS);
  // Value names have no such limit.
  EXPECT_EQ(WriteValue(scratch.get(), over.c_str(), REG_DWORD, "abcd"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(scratch.get(), over.c_str()), ERROR_SUCCESS);
}

TEST_P(RegistryTest, NamesKeepTheirFirstSpellingAndFoldCodePage1252) {
  DWORD disposition = 0;
  Create(scratch.get(), "CaSe\\Deep\\er", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  Create(scratch.get(), "case\\DEEP", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  UniqueKey parent = Create(scratch.get(), "CASE");
  EXPECT_EQ(SubkeyNames(parent.get()), std::vector<std::string>{"Deep"});

  ASSERT_EQ(WriteValue(scratch.get(), "MiXed", REG_DWORD, "\1\0\0\0"s), ERROR_SUCCESS);
  ASSERT_EQ(WriteValue(scratch.get(), "MIXED", REG_DWORD, "\2\0\0\0"s), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(scratch.get()), std::vector<std::string>{"MiXed"});
  DWORD type = 0;
  std::string read;
  EXPECT_EQ(ReadValue(scratch.get(), "mixed", &type, &read), ERROR_SUCCESS);
  EXPECT_EQ(read, "\2\0\0\0"s);

  // é/É, š/Š, ÿ/Ÿ: letters of code page 1252 fold as the characters they stand for.
  struct Case {
    const char* created;
    const char* opened;
  };
  for (const Case& c :
       {Case{"\xe9t\xe9", "\xc9T\xc9"}, Case{"\x8a", "\x9a"}, Case{"a\x01\x7f\xff", "A\x01\x7f\x9f"}}) {
    Create(scratch.get(), c.created);
    UniqueKey key;
    EXPECT_EQ(RegOpenKeyExA(scratch.get(), c.opened, 0, KEY_READ, key.put()), ERROR_SUCCESS) << c.opened;
  }
}

TEST_P(RegistryTest, DeletingKeys) {
  Create(scratch.get(), "case\\deep\\er");
  EXPECT_EQ(RegDeleteKeyA(scratch.get(), "case"), ERROR_ACCESS_DENIED) << "a key with subkeys stays";
  EXPECT_EQ(RegDeleteKeyA(scratch.get(), "missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(scratch.get(), nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(scratch.get(), "case\\deep\\er"), ERROR_SUCCESS);

  UniqueKey open;
  ASSERT_EQ(RegOpenKeyExA(scratch.get(), "case\\deep", 0, kAll, open.put()), ERROR_SUCCESS);
  ASSERT_EQ(WriteValue(open.get(), "v", REG_DWORD, "abcd"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(scratch.get(), "case\\deep"), ERROR_SUCCESS);
  // The handle outlives its key: every use reports the deletion.
  DWORD size = 0;
  char name[8];
  DWORD length = sizeof name;
  UniqueKey child;
  EXPECT_EQ(WriteValue(open.get(), "x", REG_DWORD, "abcd"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExA(open.get(), "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExA(open.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyExA(open.get(), "again", 0, nullptr, 0, kAll, nullptr, child.put(), nullptr),
            ERROR_KEY_DELETED);
  // A key created again under the same name is a new, empty key.
  UniqueKey again = Create(scratch.get(), "case\\deep");
  EXPECT_EQ(RegQueryValueExA(again.get(), "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(open.get(), "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);

  // An empty subkey names the handle's own key.
  EXPECT_EQ(RegDeleteKeyA(again.get(), ""), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(Create(scratch.get(), "case").get()), std::vector<std::string>{});
}

TEST_P(RegistryTest, ClosingKeys) {
  HKEY raw = nullptr;
  ASSERT_EQ(RegCreateKeyExA(scratch.get(), "k", 0, nullptr, 0, kAll, nullptr, &raw, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_DYN_DATA), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  const auto bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x12344));
  EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
  UniqueKey other;
  EXPECT_EQ(RegOpenKeyExA(bogus, "x", 0, KEY_READ, other.put()), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(nullptr, "x", 0, KEY_READ, other.put()), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WriteValue(bogus, "x", REG_DWORD, "abcd"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(bogus, "x", nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
  // Opening a predefined root itself hands back the root.
  HKEY root = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &root), ERROR_SUCCESS);
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
}

TEST_P(RegistryTest, DynDataKeysCanBeCreated) {
  const std::string path = "HalvexTest\\" + scratch.path().substr(scratch.path().rfind('\\') + 1);
  DWORD disposition = 0;
  {
    UniqueKey key = Create(HKEY_DYN_DATA, (path + "\\x").c_str(), &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(WriteValue(key.get(), "v", REG_DWORD, "abcd"), ERROR_SUCCESS);
  }
  EXPECT_EQ(platform::DeleteKeyTree(HKEY_DYN_DATA, "HalvexTest"), ERROR_SUCCESS);
  UniqueKey gone;
  EXPECT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "HalvexTest", 0, KEY_READ, gone.put()), ERROR_FILE_NOT_FOUND);
}

TEST_P(RegistryTest, EveryByteRoundTripsInNamesAndData) {
  std::string all;  // 0x01-0xFF
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string keyName;  // a backslash separates keys
  for (char c : all) {
    if (c != '\\') keyName.push_back(c);
  }
  Create(scratch.get(), keyName.c_str());
  EXPECT_EQ(SubkeyNames(scratch.get()), std::vector<std::string>{keyName});

  ASSERT_EQ(WriteValue(scratch.get(), all.c_str(), REG_SZ, all), ERROR_SUCCESS);
  ASSERT_EQ(WriteValue(scratch.get(), "binary", REG_BINARY, all + '\0'), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(scratch.get()), (std::vector<std::string>{all, "binary"}));
  DWORD type = 0;
  std::string read;
  EXPECT_EQ(ReadValue(scratch.get(), all.c_str(), &type, &read), ERROR_SUCCESS);
  EXPECT_EQ(read, all + '\0');
  EXPECT_EQ(ReadValue(scratch.get(), "binary", &type, &read), ERROR_SUCCESS);
  EXPECT_EQ(read, all + '\0');
}

TEST_P(RegistryTest, ThreadsWriteAndReadAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kValues = 100;
  std::vector<platform::UniqueHandle> threads;
  std::vector<HANDLE> handles;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(platform_support::StartThread([this, t]() -> DWORD {
      UniqueKey key;
      std::string sub = "t" + std::to_string(t);
      if (RegCreateKeyExA(scratch.get(), sub.c_str(), 0, nullptr, 0, kAll, nullptr, key.put(), nullptr) != 0)
        return 1;
      for (int i = 0; i < kValues; ++i) {
        std::string name = "v" + std::to_string(i);
        DWORD in = static_cast<DWORD>(t * 1000 + i);
        DWORD out = 0;
        DWORD size = sizeof out;
        if (RegSetValueExA(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&in), 4) != 0 ||
            RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&out),
                             &size) != 0 ||
            out != in)
          return 2;
      }
      return 0;
    }));
    ASSERT_TRUE(threads.back());
    handles.push_back(threads.back().get());
  }
  ASSERT_EQ(WaitForMultipleObjects(kThreads, handles.data(), TRUE, platform_support::kLongWait),
            WAIT_OBJECT_0);
  for (auto& thread : threads) {
    DWORD code = 99;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 0u);
  }
  EXPECT_EQ(SubkeyNames(scratch.get()).size(), static_cast<size_t>(kThreads));
}

#ifndef _WIN32
// The emulation's own behaviour: handle values, reset, the hive's file.

TEST_P(RegistryTest, HandlesAreNotReusedAndAreCounted) {
  const size_t before = posix::OpenKeyCount();
  HKEY first = nullptr;
  ASSERT_EQ(RegOpenKeyExA(scratch.get(), nullptr, 0, KEY_READ, &first), ERROR_SUCCESS);
  EXPECT_EQ(posix::OpenKeyCount(), before + 1);
  ASSERT_EQ(RegCloseKey(first), ERROR_SUCCESS);
  UniqueKey second;
  ASSERT_EQ(RegOpenKeyExA(scratch.get(), nullptr, 0, KEY_READ, second.put()), ERROR_SUCCESS);
  EXPECT_NE(second.get(), first);
  second.reset();
  EXPECT_EQ(posix::OpenKeyCount(), before);
}

TEST_P(RegistryTest, ResetEmptiesTheHive) {
  UniqueKey sub = Create(scratch.get(), "sub");
  posix::ResetRegistry();
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(sub.get(), "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE), std::vector<std::string>{});
}

#endif

}  // namespace
}  // namespace hx::test
