#include "sim/message_recorder.h"

#include <future>

#include "Halvex.h"

namespace hx::sim {
namespace {

constexpr const char* kClassName = "HalvexMessageRecorder";

bool CarriesText(WPARAM code) {
  return code == HALVEX_MSG_TRACE_TEXT || code == HALVEX_MSG_STATUS_TEXT;
}

}  // namespace

LRESULT CALLBACK MessageRecorder::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) {
    auto* self = reinterpret_cast<MessageRecorder*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self != nullptr) self->Record(wParam, lParam);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void MessageRecorder::Record(WPARAM wParam, LPARAM lParam) {
  Message m{static_cast<uint64_t>(wParam), lParam != 0 && CarriesText(wParam), {}};
  if (m.hasText) m.text = reinterpret_cast<const char*>(lParam);
  std::function<void(const Message&)> hook;
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(m);
    hook = hook_;
  }
  changed_.notify_all();
  if (hook) hook(m);
}

MessageRecorder::MessageRecorder() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = &MessageRecorder::Procedure;
  wc.lpszClassName = kClassName;
  RegisterClassA(&wc);  // fails harmlessly when already registered
  auto create = [this] {
    window_ = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  };
  // The window belongs to a thread that does nothing but pump, so a message
  // the library sends from any thread is delivered at once.
  std::promise<void> ready;
  pump_ = std::thread([&] {
    create();
    pumpThreadId_ = GetCurrentThreadId();
    ready.set_value();
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    DestroyWindow(window_);
  });
  ready.get_future().wait();
}

MessageRecorder::~MessageRecorder() {
  PostThreadMessageA(pumpThreadId_, WM_QUIT, 0, 0);
  pump_.join();
}

std::vector<Message> MessageRecorder::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<uint64_t> MessageRecorder::Codes() const {
  std::vector<uint64_t> codes;
  for (const Message& m : Messages()) codes.push_back(m.code);
  return codes;
}

void MessageRecorder::Clear() {
  std::lock_guard lock(mutex_);
  messages_.clear();
}

bool MessageRecorder::WaitForCount(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  const uint64_t wakes = wakes_;
  changed_.wait_for(lock, timeout, [&] { return messages_.size() >= count || wakes_ != wakes; });
  return messages_.size() >= count;
}

void MessageRecorder::Wake() {
  {
    std::lock_guard lock(mutex_);
    ++wakes_;
  }
  changed_.notify_all();
}

void MessageRecorder::SetHook(std::function<void(const Message&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

}  // namespace hx::sim
