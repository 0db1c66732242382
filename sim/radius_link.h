// The simulated machine's RADIUS side: the built-in authentication server it
// runs for the 802.1X access points that name no server of their own, and
// the client each adapter's access points relay their stations' EAP through
// (to that server or to a real one). A build without RADIUS (the Windows
// one) has neither: a relayed request is answered at once with no answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/radio_world.h"

namespace hx::sim {

struct RadiusServerInfo {
  std::string address;  // "127.0.0.1:PORT"
  std::string secret;
  std::string caCertificate;  // path of the CA a peer checks the server against
};

// Starts the built-in server for `points` with its files in `stateDir`, or
// stops it. One per process, as the machine is. Port 0: one the system picks.
bool StartBuiltinRadius(const std::filesystem::path& stateDir, const std::vector<AccessPoint>& points,
                        std::string* error, uint16_t port = 0);
void StopBuiltinRadius();
// Where it listens, its secret and its CA; none while it is not running.
std::optional<RadiusServerInfo> BuiltinRadiusInfo();

class RadiusLink {
 public:
  // `deliver` gets each answer on the link's own thread.
  explicit RadiusLink(std::function<void(RadiusAnswer)> deliver);
  ~RadiusLink();
  RadiusLink(const RadiusLink&) = delete;
  RadiusLink& operator=(const RadiusLink&) = delete;

  // Sends the request; an answer that can be given at once (no server to ask)
  // is returned instead of delivered.
  std::optional<RadiusAnswer> Send(const RadiusRequest& request);
  void SetTiming(std::chrono::milliseconds interval, unsigned attempts);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace hx::sim
