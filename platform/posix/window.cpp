// Message windows: a class names a window procedure, SendMessageA calls it.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/posix/objects.h"

namespace hx::posix {
namespace {

struct WindowClass {
  std::string name;  // as registered
  WORD atom = 0;
  WNDPROC procedure = nullptr;
  size_t windows = 0;  // live windows of the class
};

struct Window {
  WNDPROC procedure = nullptr;
  std::string classKey;
  DWORD ownerThread = 0;
  std::atomic<LONG_PTR> userData{0};
};

struct Windows {
  std::mutex mutex;
  std::map<std::string, WindowClass> classes;  // by lower-cased name
  std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
  WORD nextAtom = 0xC000;  // the range Windows uses for registered strings
};

// Never destroyed: a detached thread may still send a message during exit.
Windows& State() {
  static auto* state = new Windows;
  return *state;
}

// Class names compare without regard to ASCII case.
std::string Key(const char* name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

bool IsAtom(LPCSTR name) {
  return reinterpret_cast<uintptr_t>(name) <= 0xFFFF;
}

// Finds a class by name or by MAKEINTATOM. Caller holds the mutex.
WindowClass* FindClass(Windows& state, LPCSTR name) {
  if (IsAtom(name)) {
    const auto atom = static_cast<WORD>(reinterpret_cast<uintptr_t>(name));
    for (auto& [key, windowClass] : state.classes) {
      if (atom != 0 && windowClass.atom == atom) return &windowClass;
    }
    return nullptr;
  }
  auto found = state.classes.find(Key(name));
  return found == state.classes.end() ? nullptr : &found->second;
}

std::shared_ptr<Window> FindWindow(HWND window) {
  Windows& state = State();
  std::lock_guard lock(state.mutex);
  auto found = state.windows.find(reinterpret_cast<uintptr_t>(window));
  return found == state.windows.end() ? nullptr : found->second;
}

}  // namespace
}  // namespace hx::posix

using namespace hx::posix;

WORD RegisterClassA(const WNDCLASSA* windowClass) {
  if (windowClass == nullptr || windowClass->lpfnWndProc == nullptr ||
      windowClass->lpszClassName == nullptr || IsAtom(windowClass->lpszClassName) ||
      *windowClass->lpszClassName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    Windows& state = State();
    std::lock_guard lock(state.mutex);
    std::string key = Key(windowClass->lpszClassName);
    if (state.classes.count(key) != 0) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
    if (state.nextAtom == 0) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    const WORD atom = state.nextAtom++;
    state.classes.emplace(std::move(key),
                          WindowClass{windowClass->lpszClassName, atom, windowClass->lpfnWndProc, 0});
    return atom;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

// Classes are process-wide here: the instance handle is not part of the key.
BOOL UnregisterClassA(LPCSTR className, HINSTANCE) {
  if (className == nullptr) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  Windows& state = State();
  std::lock_guard lock(state.mutex);
  WindowClass* windowClass = FindClass(state, className);
  if (windowClass == nullptr) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (windowClass->windows != 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  state.classes.erase(Key(windowClass->name.c_str()));
  return TRUE;
}

// No creation messages are sent: the library's windows only handle WM_APP
// traffic and WM_DESTROY.
HWND CreateWindowExA(DWORD, LPCSTR className, LPCSTR, DWORD, int, int, int, int, HWND parent, HMENU,
                     HINSTANCE, LPVOID) {
  if (parent != nullptr && parent != HWND_MESSAGE && !IsWindow(parent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (className == nullptr) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  try {
    auto window = std::make_shared<Window>();
    window->ownerThread = GetCurrentThreadId();
    Windows& state = State();
    std::lock_guard lock(state.mutex);
    WindowClass* windowClass = FindClass(state, className);
    if (windowClass == nullptr) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    // Drawn from the kernel handles' counter, so an HWND is never mistaken
    // for a live kernel handle (or the reverse).
    const uint32_t value = NextHandleValue();
    if (value == 0) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    window->procedure = windowClass->procedure;
    window->classKey = Key(windowClass->name.c_str());
    state.windows.emplace(value, std::move(window));
    ++windowClass->windows;
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL DestroyWindow(HWND handle) {
  std::shared_ptr<Window> window = FindWindow(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  // As on Windows, only the creating thread may destroy a window.
  if (window->ownerThread != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // The procedure sees WM_DESTROY while the window still exists, so it can
  // release what it keeps in GWLP_USERDATA.
  window->procedure(handle, WM_DESTROY, 0, 0);
  Windows& state = State();
  std::lock_guard lock(state.mutex);
  if (state.windows.erase(reinterpret_cast<uintptr_t>(handle)) == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // destroyed from within WM_DESTROY
    return FALSE;
  }
  auto found = state.classes.find(window->classKey);
  if (found != state.classes.end()) --found->second.windows;
  return TRUE;
}

BOOL IsWindow(HWND window) {
  return FindWindow(window) ? TRUE : FALSE;
}

LRESULT SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> window = FindWindow(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return window->procedure(handle, message, wParam, lParam);
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}

LONG_PTR SetWindowLongPtrA(HWND handle, int index, LONG_PTR value) {
  std::shared_ptr<Window> window = FindWindow(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index != GWLP_USERDATA) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  return window->userData.exchange(value);
}

LONG_PTR GetWindowLongPtrA(HWND handle, int index) {
  std::shared_ptr<Window> window = FindWindow(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index != GWLP_USERDATA) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  return window->userData.load();
}
