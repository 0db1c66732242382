// A message window that records the WM_APP notifications it receives: the
// window tests and the utility hand to the library.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace hx::sim {

struct Message {
  uint64_t code;     // wParam
  bool hasText;      // lParam pointed at a text
  std::string text;  // copied during the call: the text lives on the sender's stack
  bool operator==(const Message&) const = default;
};

class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  HWND window() const { return window_; }
  std::vector<Message> Messages() const;
  std::vector<uint64_t> Codes() const;
  void Clear();
  // Waits until at least `count` messages arrived; false on time-out or when
  // Wake ended the wait first.
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Ends every wait in progress at once (an interrupt, say), without a message.
  void Wake();
  // Runs inside the window procedure, after the message is recorded.
  void SetHook(std::function<void(const Message&)> hook);

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Record(WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Message> messages_;
  uint64_t wakes_ = 0;
  std::function<void(const Message&)> hook_;
  std::thread pump_;  // the window's owner, pumping its messages
  DWORD pumpThreadId_ = 0;
};

}  // namespace hx::sim
