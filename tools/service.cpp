// halvexctl sim status|stop|restart: the simulated machine's service of the
// state directory, which the utility's runs start on demand.
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "HalvexSim.h"
#include "tools/commands.h"
#include "tools/text.h"

namespace halvexctl {
namespace {

// One line per problem of a HalvexSim call, as warnings.
void WarnAll(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    if (!line.empty()) Warn(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

int ShowStatus(const std::string& dir, Output& out) {
  char text[4096] = {};
  if (HalvexSimServiceStatus(dir.c_str(), text, sizeof text) != HALVEXSIM_OK) {
    out.data["running"] = false;
    out.data["stateDirectory"] = dir;
    if (!out.json) fmt::print("No machine's service runs for {}\n", Escape(dir));
    return 0;
  }
  nlohmann::json status = nlohmann::json::parse(text, nullptr, false);
  if (status.is_discarded()) {
    Warn("the machine's service answered something unreadable");
    return 1;
  }
  status["running"] = true;
  out.data = status;
  if (!out.json) {
    fmt::print("Service:      running, pid {}\n", status.value("pid", 0L));
    fmt::print("Uptime:       {} s\n", status.value("uptimeSeconds", 0L));
    fmt::print("Clients:      {} ({} adapter handles open)\n", status.value("clients", 0L),
               status.value("handles", 0L));
    fmt::print("State dir:    {}\n", Escape(status.value("stateDirectory", dir)));
    if (status.value("readOnly", false)) fmt::print("Mode:         read-only\n");
    if (status.contains("radiusServer") && status["radiusServer"].is_object())
      fmt::print("RADIUS:       {} (CA {})\n", Escape(status["radiusServer"].value("address", "")),
                 Escape(status["radiusServer"].value("caCertificate", "")));
  }
  return 0;
}

int SimService(const std::string& dir, const std::string& action, Output& out) {
  if (action == "status") return ShowStatus(dir, out);
  char messages[4096] = {};
  if (HalvexSimServiceStop(dir.c_str(), messages, sizeof messages) != HALVEXSIM_OK) {
    WarnAll(messages);
    return 1;
  }
  if (action == "stop") {
    out.data["running"] = false;
    if (!out.json) fmt::print("Stopped the machine's service of {}\n", Escape(dir));
    return 0;
  }
  // restart: the next client starts it; this one does so now.
  if (HalvexSimStart(dir.c_str(), messages, sizeof messages) != HALVEXSIM_OK) {
    WarnAll(messages);
    return 1;
  }
  WarnAll(messages);
  HalvexSimStop(messages, sizeof messages);
  return ShowStatus(dir, out);
}

}  // namespace

int SimStatus(Session*, Invocation& in, Output& out) {
  return SimService(StateDirectory(in.global).string(), "status", out);
}

int SimStop(Session*, Invocation& in, Output& out) {
  return SimService(StateDirectory(in.global).string(), "stop", out);
}

int SimRestart(Session*, Invocation& in, Output& out) {
  return SimService(StateDirectory(in.global).string(), "restart", out);
}

}  // namespace halvexctl
