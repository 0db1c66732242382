// Tells a test whether it runs under Wine, whose behaviour differs from
// Windows in a few corner cases the emulation follows Windows on.
#pragma once

#include "platform/win32.h"

namespace hx::test {

inline bool RunningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace hx::test
