#include "radius/server.h"

#include <algorithm>

namespace hx::radius {
namespace {
constexpr size_t kRecentAnswers = 64;
}

std::unique_ptr<Server> Server::Start(const Endpoint& local, std::string secret, Handler handler,
                                      std::string* error) {
  std::unique_ptr<Server> server(new Server);
  server->socket_ = UdpSocket::Bind(local, error);
  if (!server->socket_) return nullptr;
  server->address_ = server->socket_->Local();
  server->secret_ = std::move(secret);
  server->handler_ = std::move(handler);
  Server* self = server.get();
  server->thread_ = std::thread([self] { self->Run(); });
  return server;
}

Server::~Server() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wakeup_.Signal();
  if (thread_.joinable()) thread_.join();
}

void Server::Run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    if (!WaitReadable(*socket_, wakeup_, std::chrono::milliseconds(-1))) {
      wakeup_.Clear();
      continue;
    }
    Endpoint from;
    while (std::optional<Bytes> bytes = socket_->Receive(&from)) {
      const std::optional<Packet> request = Parse(*bytes);
      if (!request || request->code != kAccessRequest || !VerifyRequest(*bytes, secret_)) continue;
      auto again = std::find_if(recent_.begin(), recent_.end(), [&](const Answered& a) {
        return a.from == from && a.identifier == request->identifier &&
               a.authenticator == request->authenticator;
      });
      if (again != recent_.end()) {
        socket_->SendTo(from, again->answer);
        continue;
      }
      std::optional<Packet> answer = handler_(*request, from);
      if (!answer) continue;
      answer->identifier = request->identifier;
      Answered sent{from, request->identifier, request->authenticator,
                    SealResponse(std::move(*answer), request->authenticator, secret_)};
      socket_->SendTo(from, sent.answer);
      recent_.push_back(std::move(sent));
      if (recent_.size() > kRecentAnswers) recent_.pop_front();
    }
  }
}

}  // namespace hx::radius
