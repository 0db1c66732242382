// Loader entry points of the shared library on POSIX hosts: attach when the
// library is loaded, detach when it is unloaded.
#include <atomic>

#include "frame/state.h"

namespace {

// Set as the process exits, when the exit handlers destroy the library's
// statics; those run before the loader calls OnUnload at exit, but after it
// at dlclose.
std::atomic<bool> g_exiting{false};
struct ExitWatch {
  ~ExitWatch() { g_exiting.store(true); }
};

__attribute__((constructor)) void OnLoad() {
  static ExitWatch watch;
  (void)watch;
  hx::ProcessAttach();
}

// At exit the process's threads and memory go with it, and the library's
// state is already destroyed: as on Windows, that is left to the system.
// At dlclose the loader unmaps the library once this returns, whatever it
// does; so a thread still in the library's code is waited for, not left
// behind.
__attribute__((destructor)) void OnUnload() {
  if (g_exiting.load()) return;
  hx::ProcessDetach(hx::StuckThreads::kWait);
}

}  // namespace
