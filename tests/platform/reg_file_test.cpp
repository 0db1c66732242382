// .reg texts: parsing, applying, exporting and deleting trees, on both builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/reg_file.h"
#include "tests/support/registry_sandbox.h"

namespace hx::test {
namespace {

using namespace std::string_literals;
using platform::RegChange;
using platform::UniqueKey;
using Kind = RegChange::Kind;

std::vector<BYTE> B(const std::string& bytes) {
  return std::vector<BYTE>(bytes.begin(), bytes.end());
}

std::vector<RegChange> Parse(const std::string& text) {
  std::vector<RegChange> changes;
  std::string error;
  EXPECT_TRUE(platform::ParseRegText(text, &changes, &error)) << error;
  return changes;
}

TEST(RegFileTest, ParsesEveryForm) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"
      "@=\"default\"\r\n"
      "\"Quoted \\\"name\\\"\"=\"C:\\\\dir\\\\\"\r\n"
      "\"Num\" = dword:0000001f\r\n"
      "\"Bin\"=hex:01,02,ff\r\n"
      "\"Multi\"=hex(7):61,00,62,00,\\\r\n"
      "    00\r\n"
      "\"Expand\"=hex(2):25,00\r\n"
      "\"Odd\"=hex(12345):\r\n"
      "\"Gone\"=-\r\n"
      "  [hklm\\Software\\B]  \r\n"
      "[-HKEY_CURRENT_USER\\Software\\C]\r\n"
      "[HKEY_DYN_DATA]\r\n"
      "\"Dyn\"=\"\"\n";
  const HKEY lm = HKEY_LOCAL_MACHINE;
  const std::string a = "Software\\A";
  const std::vector<RegChange> expected = {
      {Kind::kCreateKey, lm, a, "", REG_NONE, {}},
      {Kind::kSetValue, lm, a, "", REG_SZ, B("default\0"s)},
      {Kind::kSetValue, lm, a, "Quoted \"name\"", REG_SZ, B("C:\\dir\\\0"s)},
      {Kind::kSetValue, lm, a, "Num", REG_DWORD, {0x1f, 0, 0, 0}},
      {Kind::kSetValue, lm, a, "Bin", REG_BINARY, {1, 2, 0xff}},
      {Kind::kSetValue, lm, a, "Multi", REG_MULTI_SZ, B("a\0b\0\0"s)},
      {Kind::kSetValue, lm, a, "Expand", REG_EXPAND_SZ, B("%\0"s)},
      {Kind::kSetValue, lm, a, "Odd", 0x12345, {}},
      {Kind::kDeleteValue, lm, a, "Gone", REG_NONE, {}},
      {Kind::kCreateKey, lm, "Software\\B", "", REG_NONE, {}},
      {Kind::kDeleteKey, HKEY_CURRENT_USER, "Software\\C", "", REG_NONE, {}},
      {Kind::kCreateKey, HKEY_DYN_DATA, "", "", REG_NONE, {}},
      {Kind::kSetValue, HKEY_DYN_DATA, "", "Dyn", REG_SZ, {0}},
  };
  EXPECT_EQ(Parse(text), expected);
  EXPECT_EQ(Parse("REGEDIT4\n[HKEY_USERS\\x]\n\"n\"=dword:1\n").back().data, (std::vector<BYTE>{1, 0, 0, 0}));

  // Written back, the same changes read again; a run of one key's changes is
  // one section, a value without its key's line opens one.
  EXPECT_EQ(Parse(platform::FormatRegText(expected)), expected);
  const std::vector<RegChange> values = {{Kind::kSetValue, lm, a, "", REG_SZ, B("x\0"s)},
                                         {Kind::kDeleteValue, lm, a, "", REG_NONE, {}},
                                         {Kind::kDeleteValue, lm, a, "n", REG_NONE, {}},
                                         {Kind::kDeleteKey, lm, a + "\\old", "", REG_NONE, {}},
                                         {Kind::kSetValue, lm, a, "m", REG_DWORD, {1, 0, 0, 0}}};
  EXPECT_EQ(platform::FormatRegText(values),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n@=\"x\"\r\n@=-\r\n\"n\"=-\r\n"
            "\r\n[-HKEY_LOCAL_MACHINE\\Software\\A\\old]\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"m\"=dword:00000001\r\n\r\n");
  std::vector<RegChange> created = {{Kind::kCreateKey, lm, a, "", REG_NONE, {}}};
  created.insert(created.end(), values.begin(), values.end());
  created.insert(created.begin() + 5, {Kind::kCreateKey, lm, a, "", REG_NONE, {}});
  EXPECT_EQ(Parse(platform::FormatRegText(values)), created);
}

TEST(RegFileTest, ReadsUnicodeTexts) {
  const std::string body = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"\xc3\xa9\"=\"\xe2\x82\xac\"\r\n";
  std::vector<RegChange> utf8 = Parse("\xef\xbb\xbf" + body);
  ASSERT_EQ(utf8.size(), 2u);
  EXPECT_EQ(utf8[1].name, "\xe9");
  EXPECT_EQ(utf8[1].data, B("\x80\0"s));

  // The same text as UTF-16LE: every character below 0x80 but é (E9) and € (20AC).
  std::string utf16 = "\xff\xfe";
  const std::u16string units = u"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"\u00e9\"=\"\u20ac\"\r\n";
  for (char16_t unit : units) {
    utf16.push_back(static_cast<char>(unit & 0xFF));
    utf16.push_back(static_cast<char>(unit >> 8));
  }
  EXPECT_EQ(Parse(utf16), utf8);
}

TEST(RegFileTest, MalformedTextsAreRefused) {
  const char* const kHeader = "REGEDIT4\n";
  const std::string cases[] = {
      "",
      "[HKEY_LOCAL_MACHINE\\x]\n",
      "REGEDIT5\n",
      kHeader + "\"v\"=\"no key yet\"\n"s,
      kHeader + "[HKEY_NOWHERE\\x]\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x\n"s,
      kHeader + "[-HKEY_LOCAL_MACHINE]\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"unterminated=\"x\"\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"\"x\"\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=\"open\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=\"a\" trailing\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=dword:123456789\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=dword:\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=dword:12g\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=hex:123\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=hex:01,,02\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=hex(:01\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=hex(123456789):01\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"v\"=text\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x]\n\"a\0b\"=\"\"\n"s,
      kHeader + "[HKEY_LOCAL_MACHINE\\x\0y]\n"s,
      kHeader + "[-HKEY_LOCAL_MACHINE\\x]\n\"v\"=\"in a deleted key\"\n"s,
      kHeader + "junk\n"s,
      "\xff\xfe\x52"s,
      "\xff\xfeR\0E\0G\0E\0D\0I\0T\0"
      "4\0\n\0;\0\x00\x26"s,
      "\xef\xbb\xbfREGEDIT4\n;\xe2\x82"s,
      "\xef\xbb\xbfREGEDIT4\n;\xf0\x9f\x98\x80"s,
  };
  for (const std::string& text : cases) {
    std::vector<RegChange> changes;
    std::string error;
    EXPECT_FALSE(platform::ParseRegText(text, &changes, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

class RegFileImportTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& below = {}) const {
    return below.empty() ? scratch.path() : scratch.path() + "\\" + below;
  }
  std::string Section(const std::string& below = {}) const {
    return "[HKEY_LOCAL_MACHINE\\" + Path(below) + "]\r\n";
  }
  std::string Export() const { return platform::ExportRegText(HKEY_LOCAL_MACHINE, scratch.path().c_str()); }

  ScratchKey scratch;
};

TEST_F(RegFileImportTest, ImportAppliesChanges) {
  const std::string text = "REGEDIT4\r\n" + Section("a\\b") + "\"v\"=\"x\"\r\n\"w\"=dword:00000001\r\n" +
                           Section("c") + Section("a\\b") + "\"w\"=-\r\n\"missing\"=-\r\n" +
                           "[-HKEY_LOCAL_MACHINE\\" + Path("c") + "]\r\n[-HKEY_LOCAL_MACHINE\\" +
                           Path("never") + "]\r\n";
  std::string error;
  ASSERT_EQ(platform::ImportRegText(text, &error), ERROR_SUCCESS) << error;
  EXPECT_EQ(SubkeyNames(scratch.get()), std::vector<std::string>{"a"});
  UniqueKey b;
  ASSERT_EQ(RegOpenKeyExA(scratch.get(), "a\\b", 0, KEY_READ, b.put()), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(b.get()), std::vector<std::string>{"v"});

  EXPECT_EQ(platform::ImportRegText("REGEDIT4\r\n" + Section("d") + "junk\r\n", &error), ERROR_INVALID_DATA);
  EXPECT_NE(error.find("line 3"), std::string::npos) << error;
  EXPECT_EQ(SubkeyNames(scratch.get()), std::vector<std::string>{"a"}) << "a malformed text changes nothing";
}

TEST_F(RegFileImportTest, ExportReadsBackToTheSameTree) {
  std::string all;  // every byte but NUL
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string keyName;  // a key name cannot hold a backslash or a line break
  for (char c : all) {
    if (c != '\\' && c != '\r' && c != '\n') keyName.push_back(c);
  }
  std::string everyByte = all;
  everyByte.insert(everyByte.begin(), '\0');

  struct Value {
    const char* key;
    std::string name;
    DWORD type;
    std::string data;
  };
  const Value values[] = {
      {"", "", REG_SZ, "default\0"s},
      {"", "text", REG_SZ, "plain \"quoted\" C:\\path\\\0"s},
      {"", "empty text", REG_SZ, ""},
      {"", "nul text", REG_SZ, "\0"s},
      {"", "no nul", REG_BINARY, "abc"},
      {"", "text with nul inside", REG_SZ, "a\0b\0"s},
      {"", "text with line break", REG_SZ, "a\r\nb\0"s},
      {"", "all bytes", REG_BINARY, everyByte},
      {"", "all bytes as text", REG_SZ, all + '\0'},
      {"", "dword", REG_DWORD, "\x1f\0\0\x80"s},
      {"", "short dword", REG_DWORD, "ab"},
      {"", "multi", REG_MULTI_SZ, "a\0bc\0\0"s},
      {"", "expand", REG_EXPAND_SZ, "%x%\0"s},
      {"", "qword", REG_QWORD, "12345678"},
      {"", "none", REG_NONE, ""},
      {"", "odd type", 0x12345, "z"},
      {"sub", all, REG_SZ, "every name byte\0"s},
      {"sub\\deeper", "x", REG_DWORD, "abcd"},
      {"sub", "line\nbreak\rname", REG_DWORD, "abcd"},
  };
  for (const Value& v : values) {
    UniqueKey key;
    ASSERT_EQ(
        RegCreateKeyExA(scratch.get(), v.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr), 0);
    ASSERT_EQ(WriteValue(key.get(), v.name.c_str(), v.type, v.data), ERROR_SUCCESS) << v.name;
  }
  UniqueKey odd;
  ASSERT_EQ(RegCreateKeyExA(scratch.get(), keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, odd.put(),
                            nullptr),
            ERROR_SUCCESS);
  odd.reset();

  bool complete = false;
  const std::string exported = platform::ExportRegText(HKEY_LOCAL_MACHINE, scratch.path().c_str(), &complete);
  ASSERT_FALSE(exported.empty());
  EXPECT_TRUE(complete);
  ASSERT_EQ(platform::DeleteKeyTree(HKEY_LOCAL_MACHINE, scratch.path().c_str()), ERROR_SUCCESS);
  std::string error;
  ASSERT_EQ(platform::ImportRegText(exported, &error), ERROR_SUCCESS) << error;
  EXPECT_EQ(Export(), exported);

  UniqueKey top;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, scratch.path().c_str(), 0, KEY_READ, top.put()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(top.get()), (std::vector<std::string>{keyName, "sub"}));
  for (const Value& v : values) {
    UniqueKey key;
    ASSERT_EQ(RegOpenKeyExA(top.get(), v.key, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    DWORD type = 0;
    std::string data;
    EXPECT_EQ(ReadValue(key.get(), v.name.c_str(), &type, &data), ERROR_SUCCESS) << v.name;
    EXPECT_EQ(type, v.type) << v.name;
    const bool text = v.type == REG_SZ || v.type == REG_MULTI_SZ || v.type == REG_EXPAND_SZ;
    EXPECT_EQ(data, text && !v.data.empty() && v.data.back() != '\0' ? v.data + '\0' : v.data) << v.name;
  }
}

TEST_F(RegFileImportTest, KeysWithLineBreaksAreLeftOutOfExports) {
  UniqueKey key;
  ASSERT_EQ(RegCreateKeyExA(scratch.get(), "line\nbreak", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                            nullptr),
            ERROR_SUCCESS);
  bool complete = true;
  const std::string exported = platform::ExportRegText(HKEY_LOCAL_MACHINE, scratch.path().c_str(), &complete);
  EXPECT_FALSE(complete);
  EXPECT_EQ(exported.find("line"), std::string::npos);
  EXPECT_EQ(platform::ExportRegText(HKEY_LOCAL_MACHINE, Path("missing").c_str()), "");
  EXPECT_EQ(platform::ExportRegText(scratch.get(), nullptr), "") << "only predefined roots can be named";
}

TEST_F(RegFileImportTest, DeepTreesImportExportAndDelete) {
  // Deeper than the 260 characters a single "A" call accepts as a path.
  std::string deep = "level0";
  for (int i = 1; i < 40; ++i) deep += "\\level" + std::to_string(i);
  std::string error;
  ASSERT_EQ(platform::ImportRegText(
                "REGEDIT4\r\n" + Section(deep) + "\"v\"=\"deep\"\r\n" + Section("level0\\side"), &error),
            ERROR_SUCCESS)
      << error;
  const std::string exported = Export();
  EXPECT_NE(exported.find(Section(deep) + "\"v\"=\"deep\"\r\n"), std::string::npos);
  EXPECT_EQ(platform::DeleteKeyTree(HKEY_LOCAL_MACHINE, Path("level0").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(scratch.get()), std::vector<std::string>{});
  ASSERT_EQ(platform::ImportRegText(exported, &error), ERROR_SUCCESS) << error;
  EXPECT_EQ(Export(), exported);
  EXPECT_EQ(platform::DeleteKeyTree(HKEY_LOCAL_MACHINE, Path("level0").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(platform::DeleteKeyTree(HKEY_LOCAL_MACHINE, Path("level0").c_str()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(platform::DeleteKeyTree(HKEY_LOCAL_MACHINE, ""), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(platform::DeleteKeyTree(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(RegistrySandboxTest, RemovesOnlyWhatItCreated) {
  const std::string base = "Software\\HalvexTest\\Sandbox";
  std::optional<RegistrySandbox> sandbox(std::in_place);  // on POSIX: an empty hive from here
  {
    UniqueKey pre;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (base + "\\pre").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, pre.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(WriteValue(pre.get(), "keep", REG_DWORD, "abcd"), ERROR_SUCCESS);
  }
  sandbox->Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + base + "\\pre\\new\\deeper]\n[HKEY_LOCAL_MACHINE\\" +
                  base + "\\fresh\\x]\n[HKEY_LOCAL_MACHINE\\" + base + "\\pre]\n\"added\"=dword:2\n");
  UniqueKey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (base + "\\pre\\new\\deeper").c_str(), 0, KEY_READ, key.put()),
            0);
  key.reset();
  sandbox.reset();

  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, base.c_str(), 0, KEY_READ, key.put()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(key.get()), std::vector<std::string>{"pre"});
  UniqueKey pre;
  ASSERT_EQ(RegOpenKeyExA(key.get(), "pre", 0, KEY_READ, pre.put()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(pre.get()), std::vector<std::string>{});
  // Values added to a key that was there are not undone.
  std::vector<std::string> values = ValueNames(pre.get());
  std::sort(values.begin(), values.end());
  EXPECT_EQ(values, (std::vector<std::string>{"added", "keep"}));
  pre.reset();
  key.reset();
  EXPECT_EQ(platform::DeleteKeyTree(HKEY_LOCAL_MACHINE, base.c_str()), ERROR_SUCCESS);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\HalvexTest");  // unless other tests' keys are there
}

}  // namespace
}  // namespace hx::test
