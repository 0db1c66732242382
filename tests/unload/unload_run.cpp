// Loads the library as a caller does (dlopen, LoadLibrary), unloads it and
// loads it again: an ordinary unload ends the toolkit and unmaps the
// library, and the next load attaches anew. Then it unloads the library while the
// toolkit's link thread is held inside the library's callback, sending to a
// window whose procedure does not return until the unload says, through the
// trace, what it does about it: on Windows the library is pinned and stays
// loaded; on POSIX the unload waits for the thread and then unmaps it. Either
// way the process survives. Exits 1 on any mismatch.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>

#include "platform/win32.h"
#endif

namespace {

constexpr UINT kAppMessage = 0x8000;  // WM_APP
constexpr WPARAM kTraceText = 1006;
constexpr WPARAM kStatusText = 1012;
constexpr unsigned long kLinkKind = 2;  // ODSIM_KIND_LINK

int failures = 0;

void Check(const char* what, bool ok) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

// ---- loading -----------------------------------------------------------------

#ifdef _WIN32
const char* const kToolkit = "odSupp_M.dll";

std::string Beside(const char* file) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path, length);
  return dir.substr(0, dir.find_last_of('\\') + 1) + file;
}

void* Load(const std::string& path) {
  return LoadLibraryA(path.c_str());
}
bool Unload(void* library) {
  return FreeLibrary(static_cast<HMODULE>(library)) != FALSE;
}
bool Mapped(const std::string&, const char* module) {
  return GetModuleHandleA(module) != nullptr;
}
void* Find(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void* FindInToolkit(const char* name) {
  HMODULE toolkit = GetModuleHandleA(kToolkit);
  return toolkit != nullptr ? reinterpret_cast<void*>(GetProcAddress(toolkit, name)) : nullptr;
}
#else
const char* const kToolkit = "odSupp_M.so";

void* Load(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
bool Unload(void* library) {
  return dlclose(library) == 0;
}
// Whether the object is loaded, asked without loading it.
bool Mapped(const std::string& path, const char*) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}
void* Find(void* library, const char* name) {
  return dlsym(library, name);
}
void* FindInToolkit(const char* name) {
  void* toolkit = dlopen(kToolkit, RTLD_NOW | RTLD_NOLOAD);
  if (toolkit == nullptr) return nullptr;
  void* address = dlsym(toolkit, name);
  dlclose(toolkit);
  return address;
}
#endif

template <typename F>
F Call(void* address) {
  return reinterpret_cast<F>(address);
}

// ---- the window, on a thread of its own ----------------------------------------

// Records the library's messages. On the first status text (the link
// callback, sending from the toolkit's thread) it holds that thread inside
// the library: it does not return until a trace line comes in meanwhile, as
// a message sent to this same window, or 30 s pass.
class HoldingWindow {
 public:
  HoldingWindow() : thread_([this] { Run(); }) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return window_ != nullptr; });
  }
  ~HoldingWindow() {
    PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
    thread_.join();
  }
  HWND window() const { return window_; }
  bool AwaitHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [this] { return held_; });
  }
  bool AwaitReleased() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(40), [this] { return released_; });
  }
  std::vector<std::string> Traces() {
    std::lock_guard lock(mutex_);
    return traces_;
  }
  void Unloaded() {
    std::lock_guard lock(mutex_);
    unloaded_ = true;
    changed_.notify_all();
  }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<HoldingWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self == nullptr || message != kAppMessage) return DefWindowProcA(window, message, wParam, lParam);
    if (wParam == kTraceText && lParam != 0) {
      std::lock_guard lock(self->mutex_);
      self->traces_.emplace_back(reinterpret_cast<const char*>(lParam));
    }
    if (wParam == kStatusText && !self->holding_) self->Hold();
    return 0;
  }

  void Hold() {
    holding_ = true;
    {
      std::lock_guard lock(mutex_);
      held_ = true;
    }
    changed_.notify_all();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Traces().empty() && std::chrono::steady_clock::now() < until) {
      // Messages sent to this thread are handled inside the wait and the peek.
      MsgWaitForMultipleObjectsEx(0, nullptr, 1000, QS_SENDMESSAGE, 0);
      MSG msg;
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    // The unload waits for this thread to leave the library: it cannot
    // return meanwhile. (Were it to, the thread's way back would be unmapped.)
    {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(2), [this] { return unloaded_; });
      released_ = true;
    }
    changed_.notify_all();
  }

  void Run() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.lpszClassName = "HalvexUnloadRun";
    RegisterClassA(&windowClass);
    HWND window =
        CreateWindowExA(0, "HalvexUnloadRun", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    {
      std::lock_guard lock(mutex_);
      threadId_ = GetCurrentThreadId();
      window_ = window;
    }
    changed_.notify_all();
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    DestroyWindow(window);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  HWND window_ = nullptr;
  DWORD threadId_ = 0;
  bool holding_ = false;  // the window's own thread only
  bool held_ = false;
  bool released_ = false;
  bool unloaded_ = false;
  std::vector<std::string> traces_;
  std::thread thread_;
};

// ---- the runs --------------------------------------------------------------------

const char* const kInitialize = "_Z16HalvexInitializeP6HWND__";

bool ToolkitInitialized() {
  auto initialized = Call<int (*)()>(FindInToolkit("ODSIM_ToolkitInitialized"));
  return initialized != nullptr && initialized() == 1;
}

// ---- the library's threads at work ---------------------------------------------

// A device in the seam that counts the monitor's fetches: once one came, the
// monitor thread runs. (Threads a library makes as it loads may start only
// later: an unload before they did keeps it loaded for them.)
struct FetchCounter {
  std::mutex mutex;
  std::condition_variable fetched;
  unsigned fetches = 0;
  uint32_t notifyEvent = 0;

  static int Control(void* context, uint32_t code, void* in, uint32_t inLength, void*, uint32_t,
                     uint32_t* returned, uint32_t* error) {
    auto* self = static_cast<FetchCounter*>(context);
    *returned = 0;
    *error = 0;
    uint32_t word = 0;
    if (in != nullptr && inLength >= 4) std::memcpy(&word, in, 4);
    std::lock_guard lock(self->mutex);
    if (code == kRegisterEvent) self->notifyEvent = word;
    if (code == kQuery || code == kSet) {
      // Status 0 and, for a fetch of event records, a count of 0.
      std::memset(in, 0, std::min<uint32_t>(inLength, 8));
      *returned = inLength;
      if (word == kEventRecords) {
        ++self->fetches;
        self->fetched.notify_all();
      }
    }
    return 1;
  }
  static constexpr uint32_t kRegisterEvent = 0x00122480;
  static constexpr uint32_t kQuery = 0x00122400;
  static constexpr uint32_t kSet = 0x00122440;
  static constexpr uint32_t kEventRecords = 0xFF010220;
};

// Opens the adapter through the counting device, signals the event the
// library handed the driver and waits for the monitor's fetch; has the link
// thread take an event; closes the adapter again.
void PutThreadsToWork(void* library) {
  FetchCounter counter;
  auto registerDevice = Call<int (*)(const char*, void*, void*)>(Find(library, "HalvexSeamRegisterDevice"));
  auto unregisterDevice = Call<int (*)(const char*)>(Find(library, "HalvexSeamUnregisterDevice"));
  auto openAdapter = Call<int (*)(void*&)>(Find(library, "_Z17HalvexOpenAdapterRPv"));
  auto closeAdapter = Call<int (*)(void*&)>(Find(library, "_Z18HalvexCloseAdapterRPv"));
  Check("  a device is registered",
        registerDevice("\\\\.\\HalvexDev0", reinterpret_cast<void*>(&FetchCounter::Control), &counter) == 0);
  void* adapter = nullptr;
  Check("  the adapter opens", openAdapter(adapter) == 0);
  SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(counter.notifyEvent)));
  {
    std::unique_lock lock(counter.mutex);
    Check("  the monitor fetches",
          counter.fetched.wait_for(lock, std::chrono::seconds(20), [&] { return counter.fetches > 0; }));
  }
  auto findHandle = Call<void* (*)(unsigned long, unsigned long)>(FindInToolkit("ODSIM_FindHandle"));
  auto postEvent = Call<int (*)(void*, void*, unsigned long)>(FindInToolkit("ODSIM_PostEvent"));
  alignas(8) unsigned char idle[64] = {};
  idle[4] = 12;  // an event type the library leaves to the toolkit
  Check("  the link thread takes an event", findHandle != nullptr && postEvent != nullptr &&
                                                postEvent(findHandle(kLinkKind, 0), idle, 20000) == 0);
  Check("  the adapter closes", closeAdapter(adapter) == 0);
  Check("  the device is withdrawn", unregisterDevice("\\\\.\\HalvexDev0") == 0);
}

void OrdinaryUnloads(const std::string& path, const char* module) {
  for (int round = 1; round <= 2; ++round) {
    std::printf("-- load %d\n", round);
    void* library = Load(path);
    Check("the library loads", library != nullptr);
    if (library == nullptr) return;
    PutThreadsToWork(library);
    Check("  its attach started the toolkit", ToolkitInitialized());
    Check("  its exports answer", Call<int (*)(HWND)>(Find(library, kInitialize))(nullptr) == 1);
    const auto start = std::chrono::steady_clock::now();
    Check("  unloads", Unload(library));
    std::printf("     the unload took %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count()));
    Check("  is unmapped", !Mapped(path, module));
    Check("  ended the toolkit", !ToolkitInitialized());
  }
}

void UnloadWithAThreadInside(const std::string& path, const char* module) {
  std::printf("-- unload while the link thread is inside the library\n");
  void* library = Load(path);
  Check("the library loads", library != nullptr);
  if (library == nullptr) return;
  HoldingWindow window;
  Check("  takes the window", Call<int (*)(HWND)>(Find(library, kInitialize))(window.window()) == 0);
  auto findHandle = Call<void* (*)(unsigned long, unsigned long)>(FindInToolkit("ODSIM_FindHandle"));
  auto queueEvent = Call<int (*)(void*, const void*, unsigned long)>(FindInToolkit("ODSIM_QueueEvent"));
  auto threadsStopped = Call<int (*)(unsigned long)>(FindInToolkit("ODSIM_WaitLinkThreadsStopped"));
  if (findHandle == nullptr || queueEvent == nullptr || threadsStopped == nullptr) {
    Check("  the stand-in toolkit's controls are there", false);
    return;
  }
  // A "Connected" event: the callback tells the window in a status text.
  alignas(8) unsigned char event[64] = {};
  event[4] = 3;
  Check("  an event is queued on the link", queueEvent(findHandle(kLinkKind, 0), event, sizeof event) == 0);
  Check("  the link thread is held in the window", window.AwaitHeld());
  const auto start = std::chrono::steady_clock::now();
  Check("  unloads", Unload(library));
  window.Unloaded();
  const auto took = std::chrono::steady_clock::now() - start;
  std::printf("     the unload took %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  Check("  the window was let go", window.AwaitReleased());
  const std::vector<std::string> traces = window.Traces();
  Check("  one trace line said so", traces.size() == 1);
  for (const std::string& line : traces) std::printf("     trace: %s\n", line.c_str());
#ifdef _WIN32
  Check("  it names the pin", !traces.empty() && traces[0].find("stays loaded") != std::string::npos);
  Check("  the library stays mapped", Mapped(path, module));
  // The held thread returns through the library's code and ends.
  Check("  the link thread ends", threadsStopped(20000) == 0);
#else
  Check("  it names the wait", !traces.empty() && traces[0].find("waits for it") != std::string::npos);
  Check("  the unload waited for the thread", !Mapped(path, module));
#endif
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  const std::string path = Beside("Halvex.dll");
  const char* module = "Halvex.dll";
#else
  if (argc != 2) {
    std::printf("usage: halvex_unload_run PATH-OF-libHalvex.so\n");
    return 2;
  }
  const std::string path = argv[1];
  const char* module = nullptr;
#endif
  OrdinaryUnloads(path, module);
  if (failures == 0) UnloadWithAThreadInside(path, module);
  std::printf(failures == 0 ? "all checks passed\n" : "FAILED\n");
  return failures == 0 ? 0 : 1;
}
