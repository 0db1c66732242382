// A RADIUS authentication server's transport: a UDP socket on its own
// thread, requests checked (Message-Authenticator) before a handler sees
// them, answers sealed under the secret, and a retransmitted request
// answered again with the answer it got the first time.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "radius/codec.h"
#include "radius/udp.h"

namespace hx::radius {

class Server {
 public:
  // The answer to a request (its code and attributes; the server sets the
  // identifier and the authenticators); none drops the request unanswered.
  using Handler = std::function<std::optional<Packet>(const Packet& request, const Endpoint& from)>;

  // Listens on `local` (port 0: one the system picks) with `secret`.
  static std::unique_ptr<Server> Start(const Endpoint& local, std::string secret, Handler handler,
                                       std::string* error);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  Endpoint Address() const { return address_; }
  const std::string& Secret() const { return secret_; }

 private:
  Server() = default;
  void Run();

  struct Answered {
    Endpoint from;
    uint8_t identifier = 0;
    Authenticator authenticator{};
    Bytes answer;
  };

  std::optional<UdpSocket> socket_;
  Endpoint address_;
  std::string secret_;
  Handler handler_;
  Wakeup wakeup_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::deque<Answered> recent_;  // the last answers, for retransmitted requests
  std::thread thread_;
};

}  // namespace hx::radius
