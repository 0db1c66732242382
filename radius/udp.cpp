#include "radius/udp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace hx::radius {

std::optional<Endpoint> Endpoint::Parse(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
  const std::string host(text.substr(0, colon));
  unsigned long port = 0;
  for (char c : text.substr(colon + 1)) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned long>(c - '0');
    if (port > 65535) return std::nullopt;
  }
  Endpoint endpoint;
  endpoint.address.sin_family = AF_INET;
  endpoint.address.sin_port = htons(static_cast<uint16_t>(port));
  if (port == 0 || inet_pton(AF_INET, host.c_str(), &endpoint.address.sin_addr) != 1) return std::nullopt;
  return endpoint;
}

Endpoint Endpoint::Loopback(uint16_t port) {
  Endpoint endpoint;
  endpoint.address.sin_family = AF_INET;
  endpoint.address.sin_port = htons(port);
  endpoint.address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return endpoint;
}

std::string Endpoint::Text() const {
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

bool Endpoint::operator==(const Endpoint& other) const {
  return address.sin_addr.s_addr == other.address.sin_addr.s_addr &&
         address.sin_port == other.address.sin_port;
}

std::optional<UdpSocket> UdpSocket::Bind(const Endpoint& local, std::string* error) {
  UdpSocket socket;
  socket.fd_ = Fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.fd_) {
    *error = std::string("no UDP socket: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (bind(socket.fd_.get(), reinterpret_cast<const sockaddr*>(&local.address), sizeof local.address) != 0) {
    *error = local.Text() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return socket;
}

Endpoint UdpSocket::Local() const {
  Endpoint endpoint;
  socklen_t length = sizeof endpoint.address;
  getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&endpoint.address), &length);
  return endpoint;
}

bool UdpSocket::SendTo(const Endpoint& to, crypto::ByteView bytes) const {
  const ssize_t sent = sendto(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&to.address), sizeof to.address);
  return sent == static_cast<ssize_t>(bytes.size());
}

std::optional<crypto::Bytes> UdpSocket::Receive(Endpoint* from) const {
  crypto::Bytes buffer(65536);
  socklen_t length = sizeof from->address;
  const ssize_t n = recvfrom(fd_.get(), buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr*>(&from->address), &length);
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Wakeup::Signal() const {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(fd_.get(), &one, sizeof one);
}

void Wakeup::Clear() const {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = read(fd_.get(), &count, sizeof count);
}

bool WaitReadable(const UdpSocket& socket, const Wakeup& wakeup, std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{socket.fd(), POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
  const int wait = timeout.count() < 0 ? -1 : static_cast<int>(std::min<int64_t>(timeout.count(), 1 << 30));
  const int n = poll(fds, 2, wait);
  if (n <= 0) return false;
  return (fds[0].revents & POLLIN) != 0;
}

}  // namespace hx::radius
