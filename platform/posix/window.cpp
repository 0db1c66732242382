// Message windows: a class names a window procedure; a message sent from
// another thread waits in the owner thread's queue until the owner takes it.
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

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

// A message sent from another thread, until its owner has handled it.
struct SentMessage {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  bool done = false;
};

struct ThreadQueue {
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::deque<MSG> posted;
};

// Guarded by WaitMutex(), so waits see queue changes under the same lock as
// their objects. Never destroyed, like the window table.
std::unordered_map<DWORD, ThreadQueue>& Queues() {
  static auto* queues = new std::unordered_map<DWORD, ThreadQueue>;
  return *queues;
}

// Ends the senders' waits: the message was handled (or dropped) with `result`.
void Complete(SentMessage& m, LRESULT result) {
  m.result = result;
  m.done = true;
}

// Handles every message other threads have sent to this one.
void DispatchSentMessages() {
  const DWORD self = GetCurrentThreadId();
  for (;;) {
    std::shared_ptr<SentMessage> m;
    {
      std::lock_guard lock(WaitMutex());
      auto found = Queues().find(self);
      if (found == Queues().end() || found->second.sent.empty()) return;
      m = std::move(found->second.sent.front());
      found->second.sent.pop_front();
    }
    std::shared_ptr<Window> window = FindWindow(m->window);
    const LRESULT result = window ? window->procedure(m->window, m->message, m->wParam, m->lParam) : 0;
    {
      std::lock_guard lock(WaitMutex());
      Complete(*m, result);
    }
    WaitCondition().notify_all();
  }
}

// Answers 0 to every message still queued for `window` (or for every window
// of the thread, when null) and forgets them.
void DropSentMessages(DWORD thread, HWND window) {
  {
    std::lock_guard lock(WaitMutex());
    auto found = Queues().find(thread);
    if (found == Queues().end()) return;
    auto& sent = found->second.sent;
    for (auto it = sent.begin(); it != sent.end();) {
      if (window == nullptr || (*it)->window == window) {
        Complete(**it, 0);
        it = sent.erase(it);
      } else {
        ++it;
      }
    }
    if (window == nullptr) Queues().erase(found);
  }
  WaitCondition().notify_all();
}

// Windows destroys a thread's windows when it ends; so does this, and a
// sender waiting on one of them returns 0.
struct ThreadWindows {
  ThreadWindows() = default;
  ThreadWindows(const ThreadWindows&) = delete;
  ThreadWindows& operator=(const ThreadWindows&) = delete;
  ~ThreadWindows() {
    std::vector<HWND> owned;
    {
      Windows& state = State();
      std::lock_guard lock(state.mutex);
      for (const auto& [value, window] : state.windows) {
        if (window->ownerThread == GetCurrentThreadId())
          owned.push_back(reinterpret_cast<HWND>(static_cast<uintptr_t>(value)));
      }
    }
    for (HWND window : owned) DestroyWindow(window);
    DropSentMessages(GetCurrentThreadId(), nullptr);
  }
};

void TrackThreadWindows() {
  thread_local ThreadWindows windows;
  (void)windows;
}

}  // namespace

bool QueueHasMessage(DWORD thread, DWORD wakeMask) {
  auto found = Queues().find(thread);
  if (found == Queues().end()) return false;
  return ((wakeMask & QS_SENDMESSAGE) != 0 && !found->second.sent.empty()) ||
         ((wakeMask & QS_POSTMESSAGE) != 0 && !found->second.posted.empty());
}

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
    TrackThreadWindows();
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
  DropSentMessages(window->ownerThread, handle);
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
  const DWORD self = GetCurrentThreadId();
  if (window->ownerThread == self) return window->procedure(handle, message, wParam, lParam);
  auto sent = std::make_shared<SentMessage>(SentMessage{handle, message, wParam, lParam});
  {
    std::lock_guard lock(WaitMutex());
    Queues()[window->ownerThread].sent.push_back(sent);
  }
  WaitCondition().notify_all();
  // While it waits, a sender handles what others send to it, as on Windows:
  // two threads sending to each other's windows do not deadlock.
  for (;;) {
    DispatchSentMessages();
    std::unique_lock lock(WaitMutex());
    WaitCondition().wait(lock, [&] { return sent->done || QueueHasMessage(self, QS_SENDMESSAGE); });
    if (sent->done) return sent->result;
  }
}

BOOL SendNotifyMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> window = FindWindow(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (window->ownerThread == GetCurrentThreadId()) {
    window->procedure(handle, message, wParam, lParam);
    return TRUE;
  }
  // Queued as a sent message no one waits for: the owner handles it where it
  // handles the others, and its result goes nowhere.
  {
    std::lock_guard lock(WaitMutex());
    Queues()[window->ownerThread].sent.push_back(
        std::make_shared<SentMessage>(SentMessage{handle, message, wParam, lParam}));
  }
  WaitCondition().notify_all();
  return TRUE;
}

DWORD GetWindowThreadProcessId(HWND handle, LPDWORD processId) {
  std::shared_ptr<Window> window = FindWindow(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (processId != nullptr) *processId = 1;
  return window->ownerThread;
}

BOOL PeekMessageA(LPMSG msg, HWND, UINT, UINT, UINT remove) {
  DispatchSentMessages();
  // Asked for sent messages only: posted ones stay queued.
  if ((remove & PM_QS_SENDMESSAGE) != 0 && (remove & PM_QS_POSTMESSAGE) == 0) return FALSE;
  std::lock_guard lock(WaitMutex());
  auto found = Queues().find(GetCurrentThreadId());
  if (found == Queues().end() || found->second.posted.empty()) return FALSE;
  if (msg != nullptr) *msg = found->second.posted.front();
  if ((remove & PM_REMOVE) != 0) found->second.posted.pop_front();
  return TRUE;
}

BOOL GetMessageA(LPMSG msg, HWND, UINT, UINT) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const DWORD self = GetCurrentThreadId();
  for (;;) {
    DispatchSentMessages();
    std::unique_lock lock(WaitMutex());
    WaitCondition().wait(lock, [&] { return QueueHasMessage(self, QS_SENDMESSAGE | QS_POSTMESSAGE); });
    auto& posted = Queues()[self].posted;
    if (posted.empty()) continue;
    *msg = posted.front();
    posted.pop_front();
    return msg->message == WM_QUIT ? FALSE : TRUE;
  }
}

LRESULT DispatchMessageA(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  std::shared_ptr<Window> window = FindWindow(msg->hwnd);
  return window ? window->procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard lock(WaitMutex());
    Queues()[threadId].posted.push_back(MSG{nullptr, message, wParam, lParam, 0, {0, 0}});
  }
  WaitCondition().notify_all();
  return TRUE;
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
