// The built-in RADIUS authentication server a simulated machine runs for
// its 802.1X access points, as an access point with an integrated server
// does: on a loopback port, with a secret and a test CA kept in the state
// directory (radius/), the server's certificate and one client certificate
// for each user (radius/users/NAME.pem and .key) made beside the CA, and the
// users each access point lists. Outside peers may use it too: Info() says
// where it is and what to trust.
#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hx::radius {

class Server;
class EapServer;

struct BuiltinUser {
  std::string name;  // "*": any name, with this password
  std::string password;
};

struct BuiltinNetwork {
  std::string ssid;
  std::array<uint8_t, 6> bssid{};
  std::vector<BuiltinUser> users;
};

struct BuiltinServerInfo {
  std::string address;  // "127.0.0.1:PORT"
  std::string secret;
  std::string caCertificate;  // the CA a peer checks the server's certificate against
};

class BuiltinServer {
 public:
  // Starts serving `networks` from `stateDir` (port 0: one the system picks).
  static std::unique_ptr<BuiltinServer> Start(const std::filesystem::path& stateDir,
                                              std::vector<BuiltinNetwork> networks, std::string* error,
                                              uint16_t port = 0);
  ~BuiltinServer();
  BuiltinServer(const BuiltinServer&) = delete;
  BuiltinServer& operator=(const BuiltinServer&) = delete;

  BuiltinServerInfo Info() const { return info_; }
  // A user's certificate and key (EAP-TLS), if one was made.
  std::filesystem::path UserCertificate(const std::string& name) const;
  std::filesystem::path UserKey(const std::string& name) const;

  // The password of `user` at the network `calledStationId` names (RFC 3580:
  // "00-11-22-33-44-05:SSID"); a station id that names none of them looks
  // in every network's users, so that outside peers can test the server.
  std::optional<std::string> Password(std::string_view calledStationId, std::string_view user) const;

 private:
  BuiltinServer() = default;

  std::vector<BuiltinNetwork> networks_;
  std::filesystem::path dir_;
  BuiltinServerInfo info_;
  std::unique_ptr<EapServer> eap_;
  std::unique_ptr<Server> server_;  // last: its thread uses the rest
};

// Whether a user name can be a file name of its certificate.
bool CertificateFileName(std::string_view name);

}  // namespace hx::radius
