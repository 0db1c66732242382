// A RADIUS server a test scripts: every verified Access-Request is kept, and
// the test's answer function says what goes back (none: the request is
// dropped, as a lost datagram would be).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "radius/codec.h"
#include "radius/server.h"
#include "sim/radio_world.h"

namespace hx::test {

class ScriptedRadius {
 public:
  using Answer = std::function<std::optional<radius::Packet>(const radius::Packet& request)>;

  explicit ScriptedRadius(std::string secret = "scripted-secret") : secret_(std::move(secret)) {
    std::string error;
    server_ = radius::Server::Start(
        radius::Endpoint::Loopback(0), secret_,
        [this](const radius::Packet& request, const radius::Endpoint&) {
          Answer answer;
          {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            answer = answer_;
          }
          changed_.notify_all();
          return answer ? answer(request) : std::nullopt;
        },
        &error);
  }
  ~ScriptedRadius() { server_.reset(); }

  bool running() const { return server_ != nullptr; }
  sim::RadiusServerConfig Config() const { return {server_->Address().Text(), secret_}; }
  const std::string& secret() const { return secret_; }

  void Script(Answer answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
  }
  std::vector<radius::Packet> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Waits (bounded) until `count` requests came.
  bool WaitForRequests(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return requests_.size() >= count; });
  }

 private:
  std::string secret_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<radius::Packet> requests_;
  Answer answer_;
  std::unique_ptr<radius::Server> server_;  // last: its thread uses the rest
};

// An answer of `code` with `eap` in EAP-Message attributes.
inline radius::Packet RadiusAnswer(uint8_t code, const radius::Bytes& eap = {}) {
  radius::Packet answer;
  answer.code = code;
  if (!eap.empty()) radius::AddEapMessage(answer, eap);
  return answer;
}

}  // namespace hx::test
