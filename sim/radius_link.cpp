#include "sim/radius_link.h"

#include <mutex>

#ifdef HALVEX_HAS_RADIUS
#include "radius/builtin.h"
#include "radius/client.h"
#endif

namespace hx::sim {

#ifdef HALVEX_HAS_RADIUS

namespace {

std::mutex g_builtinLock;
std::unique_ptr<radius::BuiltinServer> g_builtin;

radius::Bytes Text(const std::string& text) {
  return radius::Bytes(text.begin(), text.end());
}

RadiusAnswer NoAnswer(uint64_t ticket, std::string why) {
  RadiusAnswer answer;
  answer.ticket = ticket;
  answer.kind = RadiusAnswer::Kind::kNoAnswer;
  answer.note = std::move(why);
  return answer;
}

}  // namespace

bool StartBuiltinRadius(const std::filesystem::path& stateDir, const std::vector<AccessPoint>& points,
                        std::string* error, uint16_t port) {
  std::vector<radius::BuiltinNetwork> networks;
  for (const AccessPoint& ap : points) {
    if (!ap.enterprise || ap.radius) continue;  // those with a server of their own are not ours
    radius::BuiltinNetwork network{ap.ssid, ap.bssid, {}};
    for (const NetworkUser& user : ap.users) network.users.push_back({user.name, user.password});
    networks.push_back(std::move(network));
  }
  std::unique_ptr<radius::BuiltinServer> server =
      radius::BuiltinServer::Start(stateDir, std::move(networks), error, port);
  std::lock_guard lock(g_builtinLock);
  g_builtin = std::move(server);
  return g_builtin != nullptr;
}

void StopBuiltinRadius() {
  std::unique_ptr<radius::BuiltinServer> server;
  {
    std::lock_guard lock(g_builtinLock);
    server = std::move(g_builtin);
  }
}

std::optional<RadiusServerInfo> BuiltinRadiusInfo() {
  std::lock_guard lock(g_builtinLock);
  if (!g_builtin) return std::nullopt;
  const radius::BuiltinServerInfo info = g_builtin->Info();
  return RadiusServerInfo{info.address, info.secret, info.caCertificate};
}

struct RadiusLink::Impl {
  std::function<void(RadiusAnswer)> deliver;
  radius::Client client;
};

RadiusLink::RadiusLink(std::function<void(RadiusAnswer)> deliver) : impl_(std::make_unique<Impl>()) {
  impl_->deliver = std::move(deliver);
}

RadiusLink::~RadiusLink() = default;

void RadiusLink::SetTiming(std::chrono::milliseconds interval, unsigned attempts) {
  impl_->client.SetTiming({interval, attempts});
}

std::optional<RadiusAnswer> RadiusLink::Send(const RadiusRequest& request) {
  radius::ServerAddress server;
  if (request.server) {
    const std::optional<radius::Endpoint> endpoint = radius::Endpoint::Parse(request.server->address);
    if (!endpoint) return NoAnswer(request.ticket, request.server->address + " is not an address and port");
    server = {*endpoint, request.server->secret};
  } else {
    const std::optional<RadiusServerInfo> builtin = BuiltinRadiusInfo();
    const std::optional<radius::Endpoint> endpoint =
        builtin ? radius::Endpoint::Parse(builtin->address) : std::nullopt;
    if (!endpoint)
      return NoAnswer(request.ticket,
                      "no RADIUS server: the machine runs none and the access point names none");
    server = {*endpoint, builtin->secret};
  }
  radius::Packet packet;
  packet.code = radius::kAccessRequest;
  if (!request.userName.empty()) packet.Add(radius::kUserName, Text(request.userName));
  const uint8_t loopback[4] = {127, 0, 0, 1};
  packet.Add(radius::kNasIpAddress, loopback);
  packet.AddText(radius::kNasIdentifier, "halvex-sim");
  packet.AddText(radius::kCalledStationId, request.calledStationId);
  packet.AddText(radius::kCallingStationId, request.callingStationId);
  packet.AddNumber(radius::kNasPortType, radius::kNasPortTypeWireless);
  packet.AddNumber(radius::kServiceType, 2);  // Framed
  packet.AddNumber(radius::kFramedMtu, 1400);
  packet.AddText(radius::kConnectInfo, "CONNECT 54Mbps 802.11g");
  radius::AddEapMessage(packet, request.eap);
  if (!request.state.empty()) packet.Add(radius::kState, request.state);

  const uint64_t ticket = request.ticket;
  const std::string secret = server.secret;
  Impl* impl = impl_.get();
  std::string error;
  const bool sent = impl_->client.Send(
      server, std::move(packet),
      [impl, ticket, secret](radius::Client::Answer got) {
        if (!got.response) return impl->deliver(NoAnswer(ticket, got.error));
        RadiusAnswer answer;
        answer.ticket = ticket;
        answer.eap = radius::EapMessage(*got.response).value_or(radius::Bytes{});
        switch (got.response->code) {
          case radius::kAccessChallenge:
            answer.kind = RadiusAnswer::Kind::kChallenge;
            if (const radius::Attribute* state = got.response->Find(radius::kState))
              answer.state = state->value;
            break;
          case radius::kAccessAccept:
            answer.kind = RadiusAnswer::Kind::kAccept;
            if (const auto key = radius::FindVendorAttribute(*got.response, radius::kVendorMicrosoft,
                                                             radius::kMsMppeRecvKey)) {
              if (auto plain = radius::DecryptMppeKey(*key, secret, got.requestAuthenticator))
                answer.recvKey = std::move(*plain);
            }
            break;
          default:
            answer.kind = RadiusAnswer::Kind::kReject;
            break;
        }
        impl->deliver(std::move(answer));
      },
      &error);
  if (!sent) return NoAnswer(ticket, error);
  return std::nullopt;
}

#else  // no RADIUS in this build

bool StartBuiltinRadius(const std::filesystem::path&, const std::vector<AccessPoint>&, std::string*,
                        uint16_t) {
  return true;  // nothing to start: the access points say so when asked
}
void StopBuiltinRadius() {}
std::optional<RadiusServerInfo> BuiltinRadiusInfo() {
  return std::nullopt;
}

struct RadiusLink::Impl {};
RadiusLink::RadiusLink(std::function<void(RadiusAnswer)>) : impl_(std::make_unique<Impl>()) {}
RadiusLink::~RadiusLink() = default;
void RadiusLink::SetTiming(std::chrono::milliseconds, unsigned) {}

std::optional<RadiusAnswer> RadiusLink::Send(const RadiusRequest& request) {
  RadiusAnswer answer;
  answer.ticket = request.ticket;
  answer.kind = RadiusAnswer::Kind::kNoAnswer;
  answer.note = "this build of the simulated machine has no RADIUS client";
  return answer;
}

#endif

}  // namespace hx::sim
