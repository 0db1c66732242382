// Registry set-up for a test: on POSIX an empty hive; keys a test imports
// that did not exist before are deleted again afterwards, so a Wine prefix
// (or a Windows machine) is left as it was found.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/reg_file.h"

namespace hx::test {

class RegistrySandbox {
 public:
  RegistrySandbox();
  ~RegistrySandbox();
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  // Applies a .reg text; a malformed text or a failing call fails the test.
  void Import(std::string_view text);

 private:
  // The topmost keys the imports created, as (root, path).
  std::vector<std::pair<HKEY, std::string>> created_;
};

// Reading back what a test wrote.
std::vector<std::string> SubkeyNames(HKEY key);
std::vector<std::string> ValueNames(HKEY key);
// The value's type and bytes; the call's status.
LONG ReadValue(HKEY key, const char* name, DWORD* type, std::string* bytes);
LONG WriteValue(HKEY key, const char* name, DWORD type, std::string_view bytes);

// A sandbox holding one fresh key, HKLM\Software\HalvexTest\<test name>,
// open with full access in `key`.
class ScratchKey {
 public:
  ScratchKey();
  HKEY get() const { return key_.get(); }
  const std::string& path() const { return path_; }

 private:
  RegistrySandbox sandbox_;
  std::string path_;
  platform::UniqueKey key_;
};

}  // namespace hx::test
