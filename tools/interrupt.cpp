#include "tools/interrupt.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace halvexctl::interrupt {
namespace {

constexpr int kSigint = 2, kSigterm = 15;

std::atomic<int> g_signal{0};
std::mutex g_wakeLock;
std::condition_variable g_arrived;
std::function<void()> g_wake;
std::atomic<bool> g_signalled{false};

void Arrived(int signal) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signal);
  std::lock_guard lock(g_wakeLock);
  if (g_wake) g_wake();
  g_arrived.notify_all();
}

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD event) {
  Arrived(event == CTRL_C_EVENT ? kSigint : kSigterm);
  return TRUE;  // handled: the command ends on its own
}
#else
std::thread g_watcher;
// The handler only writes the signal's number here; the watcher reads it.
int g_pipe[2] = {-1, -1};

extern "C" void OnSignal(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}
#endif

}  // namespace

void Start() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  if (::pipe2(g_pipe, O_CLOEXEC) != 0) return;
  g_watcher = std::thread([] {
    for (;;) {
      char byte = 0;
      const ssize_t n = ::read(g_pipe[0], &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n != 1 || byte == 0) return;  // 0: Stop
      Arrived(byte == SIGINT ? kSigint : kSigterm);
    }
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM}) {
    // A signal the shell told us to ignore (a background job's Ctrl-C) stays ignored.
    struct sigaction was {};
    if (sigaction(signal, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
#endif
}

void Stop() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
#else
  if (!g_watcher.joinable()) return;
  for (const int signal : {SIGINT, SIGTERM}) {
    struct sigaction was {};
    if (sigaction(signal, nullptr, &was) == 0 && was.sa_handler == OnSignal) {
      struct sigaction plain {};
      plain.sa_handler = SIG_DFL;
      sigaction(signal, &plain, nullptr);
    }
  }
  const char stop = 0;
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &stop, 1);
  g_watcher.join();
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
#endif
}

bool Requested() {
  return g_signal.load() != 0;
}

int ExitCode() {
  const int signal = g_signal.load();
  return signal == 0 ? 0 : 128 + signal;
}

const char* Name() {
  switch (g_signal.load()) {
    case kSigint:
      return "SIGINT";
    case kSigterm:
      return "SIGTERM";
    default:
      return "";
  }
}

void SignalAt(const char* point) {
#ifndef _WIN32
  const char* wanted = std::getenv("HALVEXCTL_SIGNAL_AT");
  if (wanted == nullptr) return;
  const std::string at(wanted);
  const bool term = at == std::string(point) + ":TERM";
  if ((at != point && !term) || g_signalled.exchange(true)) return;
  ::kill(::getpid(), term ? SIGTERM : SIGINT);
  std::unique_lock lock(g_wakeLock);
  g_arrived.wait(lock, [] { return g_signal.load() != 0; });
#else
  (void)point;
#endif
}

Waker::Waker(std::function<void()> wake) {
  std::lock_guard lock(g_wakeLock);
  g_wake = std::move(wake);
}

Waker::~Waker() {
  std::lock_guard lock(g_wakeLock);
  g_wake = nullptr;
}

}  // namespace halvexctl::interrupt
