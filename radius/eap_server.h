// The EAP side of an authentication server: Access-Requests carrying EAP
// become sessions (found again by their State attribute) that run EAP-TLS,
// PEAPv0 (EAP-MSCHAPv2 or GTC inside), EAP-TTLS (PAP or MS-CHAP-V2) or LEAP
// against a directory of users, and end in Access-Accept with the MSK in
// MS-MPPE keys, or Access-Reject with EAP-Failure.
#pragma once

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "eap/tls.h"
#include "radius/codec.h"
#include "radius/udp.h"

namespace hx::radius {

struct EapServerConfig {
  std::string secret;                    // for the MPPE keys
  std::shared_ptr<eap::TlsContext> tls;  // null: no TLS-based method
  // The password of `user` at the access point `calledStationId` names;
  // none when there is no such user there.
  std::function<std::optional<std::string>(std::string_view calledStationId, std::string_view user)> password;
  uint8_t firstMethod = 25;  // proposed after the identity; a Nak picks another
  size_t mtu = 1000;         // TLS bytes per EAP packet
  std::chrono::seconds sessionLifetime{60};
};

class EapServer {
 public:
  explicit EapServer(EapServerConfig config);
  ~EapServer();

  // Serves one verified Access-Request (Server's handler).
  std::optional<Packet> Handle(const Packet& request, const Endpoint& from);
  // Sessions under way, for tests.
  size_t Sessions() const;

  class Session;

 private:
  EapServerConfig config_;
  mutable std::mutex mutex_;
  // Sizes first, then bytes: GCC 12 at -O3 misreads a vector's own ordering
  // as an unbounded compare.
  struct StateOrder {
    bool operator()(const Bytes& a, const Bytes& b) const {
      if (a.size() != b.size()) return a.size() < b.size();
      return !a.empty() && std::memcmp(a.data(), b.data(), a.size()) < 0;
    }
  };
  std::map<Bytes, std::unique_ptr<Session>, StateOrder> sessions_;  // by State
};

}  // namespace hx::radius
