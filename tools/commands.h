// The commands of halvexctl. Each reads or changes the adapter through the
// library's exports, reports into a JSON object (printed as it is with
// --json, or as text for people) and returns the exit code: 0 success, 1 the
// operation failed, 2 bad usage, 130/143 interrupted.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/session.h"

namespace halvexctl {

inline constexpr int kFailure = 1;
inline constexpr int kUsage = 2;

struct Output {
  bool json = false;
  bool terminal = false;            // stdout is a terminal: progress may be drawn
  bool terse = false;               // -t: colon-separated fields, no headers
  std::vector<std::string> fields;  // -f: the fields shown, in this order
  nlohmann::json data = nlohmann::json::object();
  bool printed = false;  // the command printed its JSON itself, line by line
};

// What a join (or a profile) needs: the network and its credentials. A
// secret that is empty was not given.
struct JoinRequest {
  std::string ssid;
  std::string wepKey;  // the key's bytes
  unsigned keyIndex = 1;
  std::string psk;  // pass phrase, or 64 hexadecimal digits
  std::string eap;  // "", peap, tls, ttls or leap
  std::string user, domain, password, anonymous;
  std::string inner;             // PEAP: mschapv2 or gtc; TTLS: pap or mschapv2; "": the default
  std::string certificate, key;  // TLS: the client certificate and its key (PEM files)
  std::string ca;                // the CA the server's certificate must chain to (PEM file)
};

// Everything the command line said, checked.
struct Invocation {
  Options global;
  bool terse = false;
  std::string fields;
  std::vector<std::string> command;  // e.g. {"profile", "add"}

  JoinRequest join;
  std::string pskText, pskFile, wepKeyText, passwordFile;  // as given
  std::map<std::string, std::string> methodUsers;          // 802.1X method -> USER[@DOMAIN]
  double wait = 0;                                         // seconds; 0: the join's own bound
  std::string parameter, value;
  bool reset = false;
  unsigned trace = 0, count = 0, seconds = 0;
  double interval = 1;
  std::string name, file, scanSsid;
  bool showSecrets = false, dryRun = false, anyKey = false, withKeys = false, system = false;
  std::vector<std::string> settings;  // profile add --set NAME=VALUE
  std::vector<std::pair<std::string, uint32_t>> parsedSettings;
  std::string completion;  // bash or zsh: print the completion script
};

// A usage error found after parsing (exit 2): said the way the parser says
// its own, or as JSON on stderr.
int Usage(const Output& out, const std::string& text);
// The library's result where an operation failed (exit 1), for text and JSON:
// the message, the export that answered and its result.
int Failed(Output& out, const std::string& what, const char* call, int result);
// A failure of the utility's own (a file, a name), with no library result.
int Refused(Output& out, const std::string& what);

// Prints what a command reported: the JSON document, or nothing (the text
// form is printed as the command goes).
void Finish(const Output& out);

// The commands. `session` is null for those that need no adapter.
int Info(Session* session, Invocation& in, Output& out);
int Status(Session* session, Invocation& in, Output& out);
int Scan(Session* session, Invocation& in, Output& out);
int Join(Session* session, Invocation& in, Output& out);
int Disconnect(Session* session, Invocation& in, Output& out);
int Get(Session* session, Invocation& in, Output& out);
int Set(Session* session, Invocation& in, Output& out);
int Stats(Session* session, Invocation& in, Output& out);
int Events(Session* session, Invocation& in, Output& out);
int Watch(Session* session, Invocation& in, Output& out);
int Demo(Session* session, Invocation& in, Output& out);
int ProfileList(Session* session, Invocation& in, Output& out);
int ProfileShow(Session* session, Invocation& in, Output& out);
int ProfileAdd(Session* session, Invocation& in, Output& out);
int ProfileDelete(Session* session, Invocation& in, Output& out);
int ProfileUp(Session* session, Invocation& in, Output& out);
int ProfileSnapshot(Session* session, Invocation& in, Output& out);
int ProfileRevert(Session* session, Invocation& in, Output& out);
int RegistryExport(Session* session, Invocation& in, Output& out);
int RegistryImport(Session* session, Invocation& in, Output& out);
// The simulated machine's service of the state directory.
int SimStatus(Session* session, Invocation& in, Output& out);
int SimStop(Session* session, Invocation& in, Output& out);
int SimRestart(Session* session, Invocation& in, Output& out);

// A secret read without echo from the terminal (with `prompt`), or one line
// of a file, or of standard input when that is not a terminal.
std::optional<std::string> ReadSecret(const std::string& prompt, const std::string& file, std::string* why);

// Checks the join's credentials as given (reading pass phrases and passwords
// from their files or the terminal) into in.join; the reason when they are
// not usable.
bool ResolveCredentials(Invocation& in, std::string* why);

}  // namespace halvexctl
