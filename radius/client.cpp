#include "radius/client.h"

#include <vector>

#include "crypto/crypto.h"

namespace hx::radius {

using Clock = std::chrono::steady_clock;

Client::Client() = default;
Client::Client(Timing timing) : timing_(timing) {}

Client::~Client() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wakeup_.Signal();
  if (thread_.joinable()) thread_.join();
}

void Client::SetTiming(Timing timing) {
  std::lock_guard lock(mutex_);
  timing_ = timing;
}

bool Client::Start(std::string* error) {
  if (socket_) return true;
  Endpoint any;  // every local address, a port the system picks
  any.address.sin_family = AF_INET;
  socket_ = UdpSocket::Bind(any, error);
  if (!socket_) return false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

bool Client::Send(const ServerAddress& server, Packet request, Callback callback, std::string* error) {
  std::lock_guard lock(mutex_);
  if (stopping_ || !Start(error)) return false;
  if (pending_.size() >= 256) {
    *error = "256 requests are awaiting answers already";
    return false;
  }
  while (pending_.count(nextIdentifier_) != 0) ++nextIdentifier_;
  request.identifier = nextIdentifier_++;
  if (!crypto::RandomBytes(request.authenticator)) {
    *error = "no random source for the request authenticator";
    return false;
  }
  Pending p;
  p.server = server;
  p.authenticator = request.authenticator;
  p.bytes = SealRequest(std::move(request), server.secret);
  p.callback = std::move(callback);
  p.sent = 1;
  p.due = Clock::now() + timing_.interval;
  if (!socket_->SendTo(server.endpoint, p.bytes)) {
    *error = "the request could not be sent to " + server.endpoint.Text();
    return false;
  }
  pending_.emplace(static_cast<uint8_t>(p.bytes[1]), std::move(p));
  wakeup_.Signal();  // the thread's next deadline may be this one
  return true;
}

void Client::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    // Until the earliest retransmission.
    auto wait = std::chrono::milliseconds(-1);
    if (!pending_.empty()) {
      Clock::time_point first = Clock::time_point::max();
      for (const auto& [id, p] : pending_) first = std::min(first, p.due);
      wait = std::max(std::chrono::milliseconds(0),
                      std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now()));
    }
    lock.unlock();
    const bool readable = WaitReadable(*socket_, wakeup_, wait);
    wakeup_.Clear();
    std::vector<std::pair<Callback, Answer>> done;
    lock.lock();
    if (stopping_) break;
    if (readable) {
      Endpoint from;
      while (std::optional<Bytes> bytes = socket_->Receive(&from)) {
        if (bytes->size() < kHeader) continue;
        auto it = pending_.find((*bytes)[1]);
        // From the server asked, with both authenticators right; anything
        // else is dropped as a forgery or a stray.
        if (it == pending_.end() || !(from == it->second.server.endpoint) ||
            !VerifyResponse(*bytes, it->second.authenticator, it->second.server.secret))
          continue;
        Answer answer;
        answer.response = Parse(*bytes);
        answer.requestAuthenticator = it->second.authenticator;
        done.emplace_back(std::move(it->second.callback), std::move(answer));
        pending_.erase(it);
      }
    }
    const Clock::time_point now = Clock::now();
    for (auto it = pending_.begin(); it != pending_.end();) {
      Pending& p = it->second;
      if (p.due > now) {
        ++it;
        continue;
      }
      if (p.sent < timing_.attempts) {
        ++p.sent;
        p.due = now + timing_.interval;
        socket_->SendTo(p.server.endpoint, p.bytes);
        ++it;
        continue;
      }
      Answer answer;
      answer.requestAuthenticator = p.authenticator;
      answer.error =
          "no answer from " + p.server.endpoint.Text() + " after " + std::to_string(p.sent) + " attempts";
      done.emplace_back(std::move(p.callback), std::move(answer));
      it = pending_.erase(it);
    }
    if (done.empty()) continue;
    lock.unlock();
    for (auto& [callback, answer] : done) {
      if (callback) callback(std::move(answer));
    }
    lock.lock();
  }
}

}  // namespace hx::radius
