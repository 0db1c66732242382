// The commands of halvexctl. Each reads or changes the adapter through the
// library's exports only, reports into a JSON object (printed as it is with
// --json, or as text for people) and returns the exit code: 0 success,
// 1 the operation failed.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tools/session.h"

namespace halvexctl {

struct Output {
  bool json = false;
  bool terminal = false;  // stdout is a terminal: progress may be drawn
  nlohmann::json data = nlohmann::json::object();
};

struct JoinRequest {
  std::string ssid;
  std::optional<std::string> wepKey;  // the key's bytes
  unsigned keyIndex = 1;
  std::optional<std::string> psk;
  std::string eap;  // "", peap, tls, ttls or leap
  std::string user, domain, password, anonymous;
  std::string inner;             // PEAP: mschapv2 or gtc; TTLS: pap or mschapv2; "": the default
  std::string certificate, key;  // TLS: the client certificate and its key (PEM files)
  std::string ca;                // the CA the server's certificate must chain to (PEM file)
};

int Info(Session& session, Output& out);
int Status(Session& session, Output& out);
int Scan(Session& session, Output& out);
int Join(Session& session, const JoinRequest& request, Output& out);
int Disconnect(Session& session, Output& out);
int Get(Session& session, const std::string& name, Output& out);
int Set(Session& session, const std::string& name, uint32_t value, Output& out);
int Stats(Session& session, bool reset, Output& out);
int Events(Session& session, unsigned trace, unsigned count, unsigned seconds, Output& out);
int Profile(Session& session, const std::string& action, const std::string& name, Output& out);
int Registry(Session& session, const std::string& action, const std::string& file, Output& out);
int Demo(Session& session, Output& out);

// Prints what a command reported: the JSON document, or nothing (the text
// form is printed as the command goes).
void Finish(const Output& out);

// A secret read without echo from the terminal, or one line of a file or of
// standard input when that is not a terminal.
std::optional<std::string> ReadSecret(const std::string& prompt, const std::string& file, std::string* why);

}  // namespace halvexctl
