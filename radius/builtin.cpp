#include "radius/builtin.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>
#include <system_error>

#include "crypto/crypto.h"
#include "eap/mschap.h"
#include "eap/packet.h"
#include "radius/certificates.h"
#include "radius/eap_server.h"
#include "radius/server.h"

namespace hx::radius {
namespace {

namespace fs = std::filesystem;

// The secret shared with the access points, made once and kept.
std::optional<std::string> Secret(const fs::path& dir, std::string* error) {
  const fs::path path = dir / "secret";
  {
    std::ifstream in(path);
    std::string secret;
    if (in && std::getline(in, secret) && !secret.empty()) return secret;
  }
  std::array<uint8_t, 12> random{};
  if (!crypto::RandomBytes(random)) {
    *error = "no random source for the RADIUS secret";
    return std::nullopt;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string secret;
  for (uint8_t b : random) {
    secret += kDigits[b >> 4];
    secret += kDigits[b & 0x0F];
  }
  {
    std::ofstream out(path, std::ios::trunc);
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, ignored);
    out << secret << "\n";
    if (!out.flush()) {
      *error = path.string() + ": cannot be written";
      return std::nullopt;
    }
  }
  return secret;
}

// The MAC address at the start of a station id ("00-11-22-33-44-05:..."),
// dashes or colons between its pairs, either case.
std::optional<std::array<uint8_t, 6>> StationMac(std::string_view id) {
  std::array<uint8_t, 6> mac{};
  if (id.size() < 17) return std::nullopt;
  for (size_t i = 0; i < 6; ++i) {
    const auto digit = [](char c) {
      return std::isxdigit(static_cast<unsigned char>(c))
                 ? (std::isdigit(static_cast<unsigned char>(c))
                        ? c - '0'
                        : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10)
                 : -1;
    };
    const int high = digit(id[3 * i]), low = digit(id[3 * i + 1]);
    if (high < 0 || low < 0 || (i < 5 && id[3 * i + 2] != '-' && id[3 * i + 2] != ':')) return std::nullopt;
    mac[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return mac;
}

std::optional<std::string> Find(const std::vector<BuiltinUser>& users, std::string_view name) {
  // As the library composes it, DOMAIN\user; the user is what the network knows.
  const std::string_view bare = eap::mschap::WithoutDomain(name);
  for (const BuiltinUser& user : users) {
    if (user.name == name || user.name == bare) return user.password;
  }
  for (const BuiltinUser& user : users) {
    if (user.name == "*") return user.password;
  }
  return std::nullopt;
}

}  // namespace

bool CertificateFileName(std::string_view name) {
  return !name.empty() && name.size() <= 64 && name != "." && name != ".." &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '@';
         });
}

std::unique_ptr<BuiltinServer> BuiltinServer::Start(const fs::path& stateDir,
                                                    std::vector<BuiltinNetwork> networks, std::string* error,
                                                    uint16_t port) {
  std::unique_ptr<BuiltinServer> server(new BuiltinServer);
  server->networks_ = std::move(networks);
  server->dir_ = stateDir / "radius";
  CertificateFiles ca, own;
  if (!EnsureCa(server->dir_, &ca, error) ||
      !EnsureCertificate(server->dir_, "server", "Halvex simulation RADIUS server", true, ca, &own, error))
    return nullptr;
  for (const BuiltinNetwork& network : server->networks_) {
    for (const BuiltinUser& user : network.users) {
      if (!CertificateFileName(user.name)) continue;
      CertificateFiles files;
      if (!EnsureCertificate(server->dir_ / "users", user.name, user.name, false, ca, &files, error))
        return nullptr;
    }
  }
  const std::optional<std::string> secret = Secret(server->dir_, error);
  if (!secret) return nullptr;
  std::shared_ptr<eap::TlsContext> tls =
      eap::TlsContext::Server(own.certificate.string(), own.key.string(), ca.certificate.string(), error);
  if (!tls) return nullptr;

  EapServerConfig config;
  config.secret = *secret;
  config.tls = std::move(tls);
  const BuiltinServer* self = server.get();
  config.password = [self](std::string_view station, std::string_view user) {
    return self->Password(station, user);
  };
  server->eap_ = std::make_unique<EapServer>(std::move(config));
  EapServer* eap = server->eap_.get();
  server->server_ = Server::Start(
      Endpoint::Loopback(port), *secret,
      [eap](const Packet& request, const Endpoint& from) { return eap->Handle(request, from); }, error);
  if (!server->server_) return nullptr;
  server->info_ = {server->server_->Address().Text(), *secret, ca.certificate.string()};
  return server;
}

BuiltinServer::~BuiltinServer() {
  server_.reset();  // its thread first: it uses the rest
}

fs::path BuiltinServer::UserCertificate(const std::string& name) const {
  return dir_ / "users" / (name + ".pem");
}

fs::path BuiltinServer::UserKey(const std::string& name) const {
  return dir_ / "users" / (name + ".key");
}

std::optional<std::string> BuiltinServer::Password(std::string_view calledStationId,
                                                   std::string_view user) const {
  if (const std::optional<std::array<uint8_t, 6>> mac = StationMac(calledStationId)) {
    for (const BuiltinNetwork& network : networks_) {
      if (network.bssid == *mac) return Find(network.users, user);
    }
  }
  for (const BuiltinNetwork& network : networks_) {
    if (std::optional<std::string> password = Find(network.users, user)) return password;
  }
  return std::nullopt;
}

}  // namespace hx::radius
