// What halvexctl keeps of the adapter's key before a join and puts back
// after a failed one, and its own files: exact bytes, types and modes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/registry_sandbox.h"
#include "tools/files.h"
#include "tools/stored.h"
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hx::test {
namespace {

using namespace std::string_literals;
using halvexctl::StoredValue;
using halvexctl::StoredValues;

StoredValue V(DWORD type, const std::string& bytes) {
  return {type, std::vector<unsigned char>(bytes.begin(), bytes.end())};
}

// Exactly these bytes: NT adds a NUL to string data when the byte after it is one.
LONG Put(HKEY key, const char* name, const StoredValue& value) {
  std::vector<unsigned char> data(value.data);
  data.push_back(1);
  return RegSetValueExA(key, name, 0, value.type, data.data(), static_cast<DWORD>(value.data.size()));
}

TEST(StoredValuesTest, PutBackExactlyWhatWasThere) {
  ScratchKey scratch;
  // Texts with and without the NUL the library's writes leave, a number, bytes.
  const std::pair<const char*, StoredValue> before[] = {{"Text", V(REG_SZ, "40\0"s)},
                                                        {"Bare", V(REG_SZ, "abc")},
                                                        {"Num", V(REG_DWORD, "\x21\0\0\0"s)},
                                                        {"Key", V(REG_SZ, "K\xFFy\0!"s)}};
  for (const auto& [name, value] : before) ASSERT_EQ(Put(scratch.get(), name, value), ERROR_SUCCESS) << name;
  const auto kept = halvexctl::ReadStoredValues(scratch.path());
  ASSERT_TRUE(kept.has_value());
  ASSERT_EQ(kept->size(), 4u);
  for (const auto& [name, value] : before) EXPECT_EQ(kept->at(name), value) << name;
  EXPECT_EQ(kept->count("TEXT"), 1u) << "names compare without case";
  EXPECT_EQ(halvexctl::ReadStoredValue(scratch.path(), "bare"), V(REG_SZ, "abc"));
  EXPECT_EQ(kept->at("Text").Text(), "40");
  EXPECT_EQ(kept->at("Num").Text(), std::nullopt);

  // What a join does to them: changed, removed, added, retyped.
  ASSERT_EQ(WriteValue(scratch.get(), "Text", REG_SZ, "33\0"s), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueA(scratch.get(), "Bare"), ERROR_SUCCESS);
  ASSERT_EQ(WriteValue(scratch.get(), "New", REG_SZ, "x\0"s), ERROR_SUCCESS);
  ASSERT_EQ(WriteValue(scratch.get(), "Num", REG_SZ, "33\0"s), ERROR_SUCCESS);
  std::vector<std::string> changed;
  std::string error;
  ASSERT_TRUE(halvexctl::RestoreStoredValues(scratch.path(), *kept, &changed, &error)) << error;
  EXPECT_EQ(changed, (std::vector<std::string>{"Bare", "Num", "Text", "New"}));
  EXPECT_EQ(halvexctl::ReadStoredValues(scratch.path()), kept);
  changed.clear();
  ASSERT_TRUE(halvexctl::RestoreStoredValues(scratch.path(), *kept, &changed, &error));
  EXPECT_EQ(changed, std::vector<std::string>{}) << "nothing to put back, nothing written";

  EXPECT_FALSE(halvexctl::ReadStoredValues(scratch.path() + "\\missing").has_value());
  EXPECT_FALSE(halvexctl::RestoreStoredValues(scratch.path() + "\\missing", *kept, &changed, &error));
  EXPECT_FALSE(error.empty());
}

class UtilityFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("halvexctl-files-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string File(const char* name) const { return (dir / name).string(); }
  std::filesystem::path dir;
};

TEST_F(UtilityFilesTest, WrittenWholeAndReadBack) {
  std::string error;
  bool missing = false;
  EXPECT_FALSE(halvexctl::ReadRegularFile(File("absent"), &error, &missing).has_value());
  EXPECT_TRUE(missing);
  const std::string text = "secret\0bytes\n"s;
  ASSERT_TRUE(halvexctl::WriteFileAtomically(File("a"), text, halvexctl::Privacy::kPrivate, &error)) << error;
  ASSERT_TRUE(halvexctl::WriteFileAtomically(File("a"), text + "2", halvexctl::Privacy::kPrivate, &error));
  EXPECT_EQ(halvexctl::ReadRegularFile(File("a"), &error, &missing), text + "2");
  EXPECT_FALSE(missing);
  // Nothing is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  EXPECT_FALSE(
      halvexctl::WriteFileAtomically(File("no/such/dir"), text, halvexctl::Privacy::kShared, &error));
  EXPECT_NE(error.find("no/such/dir"), std::string::npos) << error;
  EXPECT_FALSE(halvexctl::ReadRegularFile(dir.string(), &error).has_value());
}

#ifndef _WIN32
TEST_F(UtilityFilesTest, SecretsAreTheOwnersAndLinksAreNotFollowed) {
  std::string error;
  const mode_t mask = ::umask(022);
  ASSERT_TRUE(halvexctl::WriteFileAtomically(File("private"), "k", halvexctl::Privacy::kPrivate, &error));
  ASSERT_TRUE(halvexctl::WriteFileAtomically(File("shared"), "k", halvexctl::Privacy::kShared, &error));
  ::umask(mask);
  struct stat info {};
  ASSERT_EQ(::stat(File("private").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(File("shared").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);

  // A link where the file goes: replaced, and what it pointed to untouched.
  std::ofstream(File("target")) << "theirs";
  std::filesystem::create_symlink(File("target"), File("link"));
  EXPECT_FALSE(halvexctl::ReadRegularFile(File("link"), &error).has_value());
  EXPECT_NE(error.find("not followed"), std::string::npos) << error;
  ASSERT_TRUE(halvexctl::WriteFileAtomically(File("link"), "ours", halvexctl::Privacy::kPrivate, &error));
  EXPECT_FALSE(std::filesystem::is_symlink(File("link")));
  EXPECT_EQ(halvexctl::ReadRegularFile(File("target"), &error), "theirs");
  EXPECT_EQ(halvexctl::ReadRegularFile(File("link"), &error), "ours");

  ASSERT_EQ(::mkfifo(File("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(halvexctl::ReadRegularFile(File("fifo"), &error).has_value());
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}
#endif

}  // namespace
}  // namespace hx::test
