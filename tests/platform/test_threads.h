// Runs a test's lambda on a thread made by CreateThread, so the thread's
// handle can be waited on like any other.
#pragma once

#include <functional>
#include <memory>

#include "platform/unique_handle.h"

namespace hx::test::platform_support {

// Generous bound for waits that should finish at once; only a hang reaches it.
constexpr DWORD kLongWait = 10000;

inline DWORD WINAPI RunFunction(LPVOID parameter) {
  std::unique_ptr<std::function<DWORD()>> body(static_cast<std::function<DWORD()>*>(parameter));
  return (*body)();
}

inline platform::UniqueHandle StartThread(std::function<DWORD()> body, DWORD* threadId = nullptr) {
  auto* owned = new std::function<DWORD()>(std::move(body));
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, RunFunction, owned, 0, &id);
  if (thread == nullptr) delete owned;
  if (threadId != nullptr) *threadId = id;
  return platform::UniqueHandle(thread);
}

inline platform::UniqueHandle MakeEvent(bool manualReset, bool initialState) {
  return platform::UniqueHandle(CreateEventA(nullptr, manualReset, initialState, nullptr));
}

}  // namespace hx::test::platform_support
