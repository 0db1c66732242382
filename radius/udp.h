// The UDP sockets RADIUS travels over (IPv4), and an event that wakes a
// thread waiting on one: both owned, closed when they go.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/secret.h"
#include "platform/posix/fd.h"

namespace hx::radius {

// An IPv4 address and port, read from "a.b.c.d:port" (a host name is not
// looked up).
struct Endpoint {
  sockaddr_in address{};
  static std::optional<Endpoint> Parse(std::string_view text);
  static Endpoint Loopback(uint16_t port);
  std::string Text() const;
  bool operator==(const Endpoint& other) const;
};

using posix::Fd;

class UdpSocket {
 public:
  // Bound to `local` (port 0: one the system picks).
  static std::optional<UdpSocket> Bind(const Endpoint& local, std::string* error);
  Endpoint Local() const;
  bool SendTo(const Endpoint& to, crypto::ByteView bytes) const;
  // One datagram, if one is waiting.
  std::optional<crypto::Bytes> Receive(Endpoint* from) const;
  int fd() const { return fd_.get(); }

 private:
  Fd fd_;
};

// Wakes a thread waiting in WaitReadable.
class Wakeup {
 public:
  Wakeup();
  void Signal() const;
  void Clear() const;
  int fd() const { return fd_.get(); }

 private:
  Fd fd_;
};

// Waits until `socket` has a datagram (true), `wakeup` was signalled or the
// time-out passed (false). A negative time-out waits without end.
bool WaitReadable(const UdpSocket& socket, const Wakeup& wakeup, std::chrono::milliseconds timeout);

}  // namespace hx::radius
