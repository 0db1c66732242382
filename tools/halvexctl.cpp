// halvexctl: the command-line utility for Halvex adapters. It drives the
// adapter through the library's exports only, as any caller of Halvex.dll
// (or libHalvex.so) would; off Windows, and with --sim on Windows, against
// the simulated adapter, whose state persists between runs.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "tools/commands.h"
#include "tools/parameters.h"
#include "tools/text.h"
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

using namespace halvexctl;

constexpr int kUsage = 2;

// A usage error found after parsing: said the way CLI11 says its own.
int Usage(const std::string& text) {
  std::fprintf(stderr, "halvexctl: %s\nRun with --help for more information.\n", text.c_str());
  return kUsage;
}

// USER or USER@DOMAIN (DOMAIN\USER is how the supplicant composes it).
void SplitUser(const std::string& text, JoinRequest* r) {
  const size_t at = text.rfind('@');
  r->user = at == std::string::npos ? text : text.substr(0, at);
  r->domain = at == std::string::npos ? "" : text.substr(at + 1);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"halvexctl: show and change a Halvex wireless adapter, scan and join networks.", "halvexctl"};
  app.footer(
      ParameterHelp() +
      "\nExit codes: 0 success, 1 the operation failed (the library's result is shown), 2 bad usage.\n"
      "The simulated adapter keeps its state in HALVEX_STATE_DIR (default: $XDG_STATE_HOME/halvex,\n"
      "~/.local/state/halvex, or %LOCALAPPDATA%\\Halvex); its networks are in access-points.json there.");
  app.require_subcommand(0, 1);
  Options options;
  app.add_flag("--sim", options.sim, "use the simulated adapter (always so off Windows)");
  app.add_option("--state-dir", options.stateDir, "where the simulated adapter keeps its state");
  app.add_flag("--json", options.json, "report as JSON");
  app.add_flag("-v,--verbose", options.verbose, "show the driver requests on stderr (simulated adapter)");
  app.add_option("--capture", options.capture,
                 "write the frames the simulated adapter carries to a pcap file");

  app.add_subcommand("info", "identity, driver version and date, MAC address, registry key, profile");
  app.add_subcommand("status", "connection, SSID, BSSID, channel, signal, link speed, supplicant state");
  app.add_subcommand("scan", "list the networks in range, strongest first");
  app.add_subcommand("disconnect", "leave the network");
  app.add_subcommand("demo", "a walk-through: scan, join open, WEP and 802.1X networks, leave");

  JoinRequest join;
  std::string wepKey, psk, peap, tls, ttls, leap, passwordFile;
  auto* joinCommand = app.add_subcommand("join", "join a network");
  joinCommand->add_option("SSID", join.ssid, "the network's name (1 to 32 bytes)")->required();
  auto* wepOption =
      joinCommand->add_option("--wep-key", wepKey, "WEP key: 5 or 13 characters, 10 or 26 hex digits");
  joinCommand->add_option("--key-index", join.keyIndex, "WEP key index (1 to 4)")
      ->check(CLI::Range(1u, 4u))
      ->needs(wepOption);
  auto* pskOption = joinCommand->add_option("--psk", psk, "WPA/WPA2 pass phrase (8 to 63 characters)");
  auto* peapOption = joinCommand->add_option("--peap", peap, "802.1X with PEAP as USER[@DOMAIN]");
  auto* tlsOption = joinCommand->add_option("--tls", tls, "802.1X with TLS as USER");
  auto* ttlsOption = joinCommand->add_option("--ttls", ttls, "802.1X with TTLS as USER[@DOMAIN]");
  auto* leapOption = joinCommand->add_option("--leap", leap, "802.1X with LEAP as USER[@DOMAIN]");
  joinCommand->add_option("--password-file", passwordFile,
                          "read the 802.1X password from a file (else a prompt)");
  auto* certOption =
      joinCommand->add_option("--cert", join.certificate, "the client certificate, a PEM file (TLS)")
          ->needs(tlsOption);
  auto* keyOption =
      joinCommand->add_option("--key", join.key, "the client certificate's unencrypted key, a PEM file (TLS)")
          ->needs(tlsOption);
  tlsOption->needs(certOption)->needs(keyOption);
  joinCommand
      ->add_option("--inner", join.inner, "the method inside PEAP (mschapv2, gtc) or TTLS (pap, mschapv2)")
      ->check(CLI::IsMember({"mschapv2", "gtc", "pap"}));
  joinCommand->add_option("--ca", join.ca,
                          "the CA certificate (PEM) the server's must chain to (default: the simulated "
                          "machine's RADIUS server's)");
  joinCommand->add_option("--anonymous", join.anonymous, "the outer identity (TTLS)")->needs(ttlsOption);
  for (auto* a : {wepOption, pskOption, peapOption, tlsOption, ttlsOption, leapOption}) {
    for (auto* b : {wepOption, pskOption, peapOption, tlsOption, ttlsOption, leapOption}) {
      if (a != b) a->excludes(b);
    }
  }

  std::string parameterName, valueText;
  auto* getCommand = app.add_subcommand("get", "read a radio parameter (list below)");
  getCommand->add_option("NAME", parameterName, "the parameter")->required();
  auto* setCommand = app.add_subcommand("set", "change a radio parameter; it is also stored in the registry");
  setCommand->add_option("NAME", parameterName, "the parameter")->required();
  setCommand->add_option("VALUE", valueText, "a number (0x for hex) or a named value")->required();

  bool reset = false;
  app.add_subcommand("stats", "counters, RSSI and beacon statistics")
      ->add_flag("--reset", reset, "zero the counters first");

  unsigned trace = 0, count = 0, seconds = 0;
  auto* eventsCommand =
      app.add_subcommand("events", "follow the window messages and trace lines until Ctrl-C");
  eventsCommand->add_option("--trace", trace, "the supplicant's trace level (0 to 4)")
      ->check(CLI::Range(0u, 4u));
  eventsCommand->add_option("--count", count, "stop after this many messages");
  eventsCommand->add_option("--seconds", seconds, "stop after this many seconds");

  std::string profileAction = "show", profileName;
  auto* profileCommand = app.add_subcommand("profile", "show, store or revert the stored connection");
  profileCommand->add_option("ACTION", profileAction, "show, store NAME or revert")
      ->check(CLI::IsMember({"show", "store", "revert"}));
  profileCommand->add_option("NAME", profileName, "the profile's name (store)");

  std::string registryAction, registryFile;
  auto* registryCommand =
      app.add_subcommand("registry", "export or import the adapter's registry key (.reg)");
  registryCommand->add_option("ACTION", registryAction, "export or import")
      ->required()
      ->check(CLI::IsMember({"export", "import"}));
  registryCommand->add_option("FILE", registryFile, "the .reg file")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsage;
  }

  // Every argument is checked before the adapter is touched.
  if (app.get_subcommands().empty()) return Usage("a command is required");
  CLI::App* command = app.get_subcommands().front();
  const std::string name = command->get_name();
  uint32_t value = 0;
  if (name == "join") {
    if (join.ssid.empty() || join.ssid.size() > 32) return Usage("an SSID has 1 to 32 bytes");
    if (*wepOption) {
      const auto key = WepKeyBytes(wepKey);
      if (!key) return Usage("a WEP key has 5 or 13 characters, or 10 or 26 hex digits");
      join.wepKey = *key;
    }
    if (*pskOption) {
      if (psk.size() < 8 || psk.size() > 63) return Usage("a pass phrase has 8 to 63 characters");
      join.psk = psk;
    }
    const std::pair<CLI::Option*, const char*> methods[] = {
        {peapOption, "peap"}, {tlsOption, "tls"}, {ttlsOption, "ttls"}, {leapOption, "leap"}};
    for (const auto& [option, method] : methods) {
      if (option->count() == 0) continue;
      join.eap = method;
      SplitUser(option->as<std::string>(), &join);
      if (join.user.empty()) return Usage(std::string("--") + method + " needs a user name");
      const bool innerFits = join.inner.empty() || (join.eap == "peap" && join.inner != "pap") ||
                             (join.eap == "ttls" && join.inner != "gtc");
      if (!innerFits) return Usage("--inner " + join.inner + " does not go with --" + join.eap);
      if (join.eap != "tls") {
        std::string why;
        const auto password = ReadSecret("Password for " + join.user + ": ", passwordFile, &why);
        if (!password) return Usage(why);
        join.password = *password;
      }
    }
    if (!join.inner.empty() && join.eap != "peap" && join.eap != "ttls")
      return Usage("--inner goes with --peap or --ttls");
    if (!join.ca.empty() && join.eap != "peap" && join.eap != "ttls" && join.eap != "tls")
      return Usage("--ca goes with --tls, --peap or --ttls");
  }
  if (name == "get" || name == "set") {
    const Parameter* parameter = FindParameter(parameterName);
    if (parameter == nullptr)
      return Usage("no radio parameter \"" + Escape(parameterName) + "\" (see --help)");
    if (name == "set") {
      std::string why;
      const auto parsed = ParseValue(*parameter, valueText, &why);
      if (!parsed) return Usage(parameterName + ": " + why);
      value = *parsed;
    }
  }
  if (name == "profile" && profileAction == "store" && (profileName.empty() || profileName.size() > 39))
    return Usage("profile store needs a name of 1 to 39 characters");

  Output out;
  out.json = options.json;
  out.terminal = isatty(fileno(stdout)) != 0;
  std::unique_ptr<Session> session = Session::Open(options);
  if (!session) return 1;
  int status = 1;
  try {
    if (name == "info") status = Info(*session, out);
    if (name == "status") status = Status(*session, out);
    if (name == "scan") status = Scan(*session, out);
    if (name == "join") status = Join(*session, join, out);
    if (name == "disconnect") status = Disconnect(*session, out);
    if (name == "get") status = Get(*session, parameterName, out);
    if (name == "set") status = Set(*session, parameterName, value, out);
    if (name == "stats") status = Stats(*session, reset, out);
    if (name == "events") status = Events(*session, trace, count, seconds, out);
    if (name == "profile") status = Profile(*session, profileAction, profileName, out);
    if (name == "registry") status = Registry(*session, registryAction, registryFile, out);
    if (name == "demo") status = Demo(*session, out);
  } catch (const std::exception& e) {
    Warn(e.what());
    status = 1;
  }
  if (!session->Close()) {
    Warn("the adapter's state could not be saved");
    status = 1;
  }
  Finish(out);
  return status;
}
