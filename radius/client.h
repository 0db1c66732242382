// A RADIUS client (RFC 2865) as a network access server uses one: each
// request gets an identifier and a random authenticator, goes out sealed with
// its Message-Authenticator, and is sent again when no answer comes in time;
// an answer counts only when both its authenticators check out under the
// secret. Answers (or the time-out) come back on the client's own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "radius/codec.h"
#include "radius/udp.h"

namespace hx::radius {

struct ServerAddress {
  Endpoint endpoint;
  std::string secret;
};

class Client {
 public:
  struct Timing {
    std::chrono::milliseconds interval{1000};  // before each retransmission
    unsigned attempts = 3;                     // transmissions in all
  };
  struct Answer {
    std::optional<Packet> response;  // none: no valid answer came
    Authenticator requestAuthenticator{};
    std::string error;  // why there is none
  };
  using Callback = std::function<void(Answer)>;

  Client();
  explicit Client(Timing timing);
  // Stops the thread; callbacks not yet made are not made.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Sends `request` (its identifier and authenticator are the client's to
  // set). `callback` runs exactly once, on the client's thread, with no lock
  // of the client held; false (and no callback) when it cannot be sent.
  bool Send(const ServerAddress& server, Packet request, Callback callback, std::string* error);
  void SetTiming(Timing timing);

 private:
  struct Pending {
    ServerAddress server;
    Bytes bytes;
    Authenticator authenticator{};
    Callback callback;
    unsigned sent = 0;
    std::chrono::steady_clock::time_point due;
  };
  void Run();
  bool Start(std::string* error);

  std::mutex mutex_;
  Timing timing_;
  std::optional<UdpSocket> socket_;
  Wakeup wakeup_;
  std::map<uint8_t, Pending> pending_;  // by identifier
  uint8_t nextIdentifier_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace hx::radius
