#include "tests/support/registry_sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>

#ifndef _WIN32
#include "platform/posix/control.h"
#endif

namespace hx::test {
namespace {

size_t Depth(const std::string& path) {
  return static_cast<size_t>(std::count(path.begin(), path.end(), '\\'));
}

}  // namespace

RegistrySandbox::RegistrySandbox() {
#ifndef _WIN32
  posix::ResetRegistry();
#endif
}

RegistrySandbox::~RegistrySandbox() {
  std::stable_sort(created_.begin(), created_.end(),
                   [](const auto& a, const auto& b) { return Depth(a.second) > Depth(b.second); });
  for (const auto& [root, path] : created_) {
    LONG status = platform::DeleteKeyTree(root, path.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
      ADD_FAILURE() << "could not delete " << path << ": " << status;
  }
}

void RegistrySandbox::Import(std::string_view text) {
  std::vector<platform::RegChange> changes;
  std::string error;
  if (!platform::ParseRegText(text, &changes, &error)) {
    ADD_FAILURE() << "malformed registry text: " << error;
    return;
  }
  // Before applying: the first missing key on each path is the one to delete.
  for (const platform::RegChange& change : changes) {
    if (change.kind == platform::RegChange::Kind::kDeleteKey) continue;
    std::string missing = platform::FirstMissingKey(change.root, change.path);
    auto entry = std::make_pair(change.root, std::move(missing));
    if (!entry.second.empty() && std::find(created_.begin(), created_.end(), entry) == created_.end())
      created_.push_back(std::move(entry));
  }
  if (LONG status = platform::ApplyRegChanges(changes, &error); status != ERROR_SUCCESS)
    ADD_FAILURE() << "registry text not applied: " << error;
}

std::vector<std::string> SubkeyNames(HKEY key) {
  std::vector<std::string> names;
  char name[1024];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  return names;
}

std::vector<std::string> ValueNames(HKEY key) {
  std::vector<std::string> names;
  std::vector<char> name(16384);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    if (RegEnumValueA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name.data(), length);
  }
  return names;
}

LONG ReadValue(HKEY key, const char* name, DWORD* type, std::string* bytes) {
  DWORD size = 0;
  LONG status = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
  if (status != ERROR_SUCCESS) return status;
  bytes->assign(size, '\0');
  status = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(bytes->data()), &size);
  bytes->resize(size);
  return status;
}

LONG WriteValue(HKEY key, const char* name, DWORD type, std::string_view bytes) {
  return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

ScratchKey::ScratchKey() {
  path_ =
      std::string("Software\\HalvexTest\\") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  sandbox_.Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + path_ + "]\n");
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_ALL_ACCESS, key_.put());
  if (status != ERROR_SUCCESS) ADD_FAILURE() << "scratch key " << path_ << ": " << status;
}

}  // namespace hx::test
