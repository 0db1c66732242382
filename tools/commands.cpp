#include "tools/commands.h"

#include <fmt/format.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "Halvex.h"
#include "HalvexSim.h"
#include "tools/parameters.h"
#include "tools/text.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace halvexctl {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// Text for people, only when the output is not JSON.
template <typename... Args>
void Say(const Output& out, fmt::format_string<Args...> format, Args&&... args) {
  if (out.json) return;
  fmt::print(format, std::forward<Args>(args)...);
  std::fflush(stdout);
}

// Runs `call` on this thread while a spinner turns on a terminal; nothing is
// drawn in JSON output or when stdout is not a terminal. The library is only
// ever called from the utility's own thread.
template <typename Call>
auto WithProgress(const Output& out, const std::string& label, Call call) {
  if (out.json || !out.terminal) return call();
  std::mutex lock;
  std::condition_variable changed;
  bool done = false;
  std::thread spinner([&] {
    static const char kTurns[] = "|/-\\";
    unsigned turn = 0;
    std::unique_lock held(lock);
    do {
      fmt::print("\r{} {}", label, kTurns[turn++ % 4]);
      std::fflush(stdout);
    } while (!changed.wait_for(held, milliseconds(120), [&] { return done; }));
    fmt::print("\r{}\r", std::string(label.size() + 2, ' '));
    std::fflush(stdout);
  });
  auto result = call();
  {
    std::lock_guard held(lock);
    done = true;
  }
  changed.notify_one();
  spinner.join();
  return result;
}

std::string TextOf(int (*query)(void*, char*, ULONG), void* adapter, int* result) {
  char text[260] = {};
  *result = query(adapter, text, sizeof text - 1);
  return *result == HALVEX_RESULT_SUCCESS ? std::string(text) : std::string();
}

// The library's result where an operation failed, for text and JSON.
int Failed(Output& out, const std::string& what, std::optional<int> result) {
  out.data["error"] = what;
  if (result) out.data["result"] = *result;
  if (!out.json) {
    fmt::print(stderr, "halvexctl: {}{}\n", what, result ? fmt::format(" (result {})", *result) : "");
  }
  return 1;
}

// A refusal of halvexctl's own, before the library was asked.
constexpr std::nullopt_t kOwnRefusal = std::nullopt;

const char* MessageName(uint64_t code) {
  switch (code) {
    case 0:
      return "disconnected";
    case 1:
      return "connected";
    case 2:
      return "adapter removed";
    case 3:
      return "roamed";
    case 4:
      return "link lost";
    case 5:
      return "media specific";
    case 6:
      return "scan done";
    case 8:
      return "radio on";
    case 9:
      return "radio off";
    case HALVEX_MSG_TRACE_TEXT:
      return "trace";
    case HALVEX_MSG_SUPP_CONNECTED:
      return "supplicant connected";
    case HALVEX_MSG_STATUS_TEXT:
      return "status";
    case HALVEX_MSG_SUPP_LINK_TIMEOUT:
      return "supplicant link time-out";
    default:
      return "";
  }
}

json MessageJson(const hx::sim::Message& m) {
  json j = {{"code", m.code}, {"name", MessageName(m.code)}};
  if (m.hasText) j["text"] = m.text;
  return j;
}

std::vector<Network> ScanNetworks(Session& session, const Output& out, int* result) {
  *result = WithProgress(out, "Scanning", [&] { return HalvexScan(session.adapter()); });
  std::vector<unsigned char> list(24576);
  ULONG returned = 0;
  const int listed =
      HalvexQueryScanListLength(session.adapter(), list.data(), static_cast<ULONG>(list.size()), returned);
  if (*result == HALVEX_RESULT_SUCCESS) *result = listed;
  if (listed != HALVEX_RESULT_SUCCESS) return {};
  return ReadScanList(list.data(), std::min<size_t>(returned, list.size()));
}

json NetworkJson(const Network& n) {
  return {{"ssid", n.ssid},      {"bssid", MacText(n.bssid)}, {"channel", n.channel},
          {"signalDbm", n.rssi}, {"bars", Bars(n.rssi)},      {"security", n.security}};
}

// What the supplicant's status texts and the driver's messages say about a
// join once the network took the association.
enum class Outcome { kConnected, kRefused, kTimedOut };

Outcome AwaitAuthentication(Session& session, size_t from, Output& out, json* texts, json* traces) {
  Outcome outcome = Outcome::kTimedOut;
  session.WaitFor(
      from, milliseconds(20000),
      [&](const hx::sim::Message& m) {
        if (m.code == HALVEX_MSG_SUPP_CONNECTED) {
          outcome = Outcome::kConnected;
          return true;
        }
        const bool failedText = m.hasText && m.text.find("failed") != std::string::npos;
        if (failedText || m.code == 0) {
          outcome = Outcome::kRefused;
          return true;
        }
        return false;
      },
      [&](const hx::sim::Message& m) {
        if (m.code == HALVEX_MSG_STATUS_TEXT && m.hasText) {
          texts->push_back(m.text);
          Say(out, "  {}\n", Escape(m.text));
        }
        if (m.code == HALVEX_MSG_TRACE_TEXT && m.hasText) traces->push_back(m.text);
      });
  return outcome;
}

// The stand-in toolkit's certificate stores and settings (odsim.h), found in
// the toolkit the library loaded; a real toolkit has none of them.
struct StandIn {
  int (*trust)(const char* path) = nullptr;
  int (*addCertificate)(const char*, const char*, unsigned char*, char*, ULONG) = nullptr;
  void (*ttlsInner)(ULONG) = nullptr;
  explicit operator bool() const { return trust && addCertificate && ttlsInner; }
};

StandIn FindStandIn() {
  StandIn s;
#ifdef _WIN32
  HMODULE toolkit = GetModuleHandleA("odSupp_M.dll");
  const auto find = [&](const char* name) {
    return toolkit ? reinterpret_cast<void*>(GetProcAddress(toolkit, name)) : nullptr;
  };
#else
  const auto find = [](const char* name) { return dlsym(RTLD_DEFAULT, name); };
#endif
  s.trust = reinterpret_cast<decltype(s.trust)>(find("ODSIM_TrustCertificateFile"));
  s.addCertificate = reinterpret_cast<decltype(s.addCertificate)>(find("ODSIM_AddCertificate"));
  s.ttlsInner = reinterpret_cast<decltype(s.ttlsInner)>(find("ODSIM_SetTtlsInnerProtocol"));
  return s;
}

// Tells the stand-in what to trust and present; an error text, or nothing.
std::optional<std::string> PrepareStandIn(Session& session, const JoinRequest& r,
                                          unsigned char thumbprint[20]) {
  const bool tlsBased = r.eap == "peap" || r.eap == "ttls" || r.eap == "tls";
  if (!tlsBased) return std::nullopt;
  const StandIn standIn = FindStandIn();
  if (!standIn) {
    if (r.eap == "tls" || !r.ca.empty()) return "--cert, --key and --ca need the stand-in supplicant toolkit";
    return std::nullopt;  // a real toolkit trusts what its system trusts
  }
  std::string ca = r.ca;
  if (ca.empty() && session.simulated()) {
    char address[64] = {}, secret[128] = {}, file[1024] = {};
    if (HalvexSimRadiusServer(address, sizeof address, secret, sizeof secret, file, sizeof file) ==
        HALVEXSIM_OK)
      ca = file;
  }
  if (!ca.empty() && standIn.trust(ca.c_str()) != 0) return ca + ": not a CA certificate (PEM)";
  standIn.ttlsInner(r.eap == "ttls" && r.inner == "pap" ? 1 : 0);
  if (r.eap == "tls") {
    char why[512] = {};
    if (standIn.addCertificate(r.certificate.c_str(), r.key.c_str(), thumbprint, why, sizeof why) != 0)
      return std::string(why);
  }
  return std::nullopt;
}

int Identity(const JoinRequest& r, const unsigned char thumbprint[20]) {
  std::vector<char> user(r.user.begin(), r.user.end()), domain(r.domain.begin(), r.domain.end()),
      password(r.password.begin(), r.password.end()), anonymous(r.anonymous.begin(), r.anonymous.end());
  for (auto* text : {&user, &domain, &password, &anonymous}) text->push_back('\0');
  unsigned char certificate[20];
  std::copy_n(thumbprint, 20, certificate);
  int result = 1;
  if (r.eap == "peap" && r.inner.empty())
    result = HalvexWPACreateIdentityPEAP(user.data(), domain.data(), password.data());
  if (r.eap == "peap" && !r.inner.empty()) {
    // 1 is MS-CHAP-V2, 2 is GTC; GTC answers with the password.
    ULONG methods[] = {r.inner == "gtc" ? ULONG{2} : ULONG{1}};
    char none[] = "";
    result = HalvexWPACreateIdentityPEAP(user.data(), domain.data(), password.data(), methods, 1, 1, none);
  }
  if (r.eap == "tls") result = HalvexWPACreateIdentityTLS(user.data(), certificate);
  if (r.eap == "ttls")
    result = HalvexWPACreateIdentityTtls(user.data(), domain.data(), password.data(), anonymous.data());
  if (r.eap == "leap") result = HalvexWPACreateIdentityLEAP(user.data(), domain.data(), password.data());
  std::fill(password.begin(), password.end(), '\0');
  return result;
}

// Why the supplicant refused, from its trace lines (errors only are asked for).
std::string RefusalText(const json& traces) {
  for (const json& line : traces) {
    const std::string text = line.get<std::string>();
    for (const char* words : {"certificate", "unavailable", "RC4", "no RADIUS server"}) {
      if (text.find(words) == std::string::npos) continue;
      // "[ERR] EAP failed: why" or "[ERR] why": the why.
      size_t said = text.find("failed: ");
      said = said != std::string::npos              ? said + 8
             : text.find("] ") != std::string::npos ? text.find("] ") + 2
                                                    : 0;
      return "authentication failed: " + text.substr(said);
    }
  }
  return "authentication failed (check the credentials)";
}

// The library's security mode for each kind of network; 802.1X methods each
// have their own mode in the WPA2 group.
struct SecurityChoice {
  ULONG mode, cipher, authMode, encryption;
};

std::optional<SecurityChoice> ChooseSecurity(const JoinRequest& r, const std::string& announced) {
  if (!r.eap.empty()) {
    const ULONG mode = r.eap == "peap" ? 10 : r.eap == "tls" ? 11 : r.eap == "ttls" ? 12 : 14;
    return SecurityChoice{mode, 3, 6, 6};  // WPA2, AES
  }
  if (r.psk) {
    if (announced == "WPA-PSK") return SecurityChoice{2, 2, 4, 4};  // WPA, TKIP
    return SecurityChoice{9, 3, 7, 6};                              // WPA2, AES
  }
  return std::nullopt;
}

}  // namespace

void Finish(const Output& out) {
  if (out.json) std::cout << out.data.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

int Info(Session& session, Output& out) {
  void* a = session.adapter();
  json& d = out.data;
  int result = 0;
  const std::pair<const char*, int (*)(void*, char*, ULONG)> texts[] = {
      {"description", HalvexQueryDeviceDesc},   {"driverVersion", HalvexQueryDriverVersion},
      {"driverDate", HalvexQueryDriverDate},    {"adapterName", HalvexQueryAdapterName},
      {"registryKey", HalvexQueryRegistryPath}, {"profile", HalvexQueryProfileInUse}};
  for (const auto& [name, query] : texts) {
    const std::string text = TextOf(query, a, &result);
    d[name] = result == 0 ? json(text) : json(nullptr);
  }
  unsigned char mac[6] = {};
  d["mac"] = HalvexGetMacAddress(a, mac, sizeof mac) == 0 ? json(MacText(mac)) : json(nullptr);
  ULONG chip = 0, firmware = 0;
  d["chipVersion"] =
      HalvexQueryChipVersion(a, chip) == 0 ? json(fmt::format("0x{:08X}", chip)) : json(nullptr);
  d["firmwareVersion"] =
      HalvexQueryFirmwareVersion(a, firmware) == 0 ? json(fmt::format("0x{:08X}", firmware)) : json(nullptr);
  int managed = 0;
  const int check = HalvexQueryWZCStatusCheck(managed);
  d["windowsWirelessService"] = check != 0     ? "not running"
                                : managed != 0 ? "manages the adapter"
                                               : "leaves it alone";
  d["simulated"] = session.simulated();
  const auto show = [&](const char* label, const char* key) {
    Say(out, "{:<18}{}\n", label,
        d[key].is_null() ? std::string("unavailable") : Escape(d[key].get<std::string>()));
  };
  show("Description:", "description");
  show("Driver version:", "driverVersion");
  show("Driver date:", "driverDate");
  show("MAC address:", "mac");
  show("Adapter name:", "adapterName");
  show("Registry key:", "registryKey");
  show("Profile:", "profile");
  show("Chip version:", "chipVersion");
  show("Firmware:", "firmwareVersion");
  Say(out, "{:<18}{}\n", "Windows wireless:", d["windowsWirelessService"].get<std::string>());
  return 0;
}

int Status(Session& session, Output& out) {
  void* a = session.adapter();
  json& d = out.data;
  const bool connected = HalvexGetConnectStatus(a) == 1;
  d["connected"] = connected;
  if (connected) {
    unsigned char ssid[33] = {};
    unsigned char bssid[6] = {};
    ULONG channel = 0, rssi = 0, speed = 0;
    d["ssid"] =
        HalvexQuerySsid(a, ssid, sizeof ssid - 1) == 0 ? json(reinterpret_cast<char*>(ssid)) : json(nullptr);
    d["bssid"] = HalvexQueryBssid(a, bssid) == 0 ? json(MacText(bssid)) : json(nullptr);
    d["channel"] = HalvexQueryChannel(a, channel) == 0 ? json(channel) : json(nullptr);
    if (HalvexQueryRssi(a, rssi) == 0) {
      d["signalDbm"] = static_cast<int32_t>(rssi);
      d["bars"] = Bars(static_cast<int32_t>(rssi));
    }
    d["linkSpeedMbps"] = HalvexQueryLinkSpeed(a, speed) == 0 ? json(speed / 10000.0) : json(nullptr);
  }
  d["supplicant"] = {{"state", HalvexGetWPASuppStatus(0)},
                     {"link", HalvexGetWPASuppStatus(1)},
                     {"authentication", HalvexGetWPASuppStatus(2)}};
  if (session.simulated()) d["portOpen"] = HalvexSimPortOpen() == 1;
  Say(out, "{:<14}{}\n", "Connection:", connected ? "connected" : "not connected");
  if (connected) {
    const auto text = [&](const char* key) {
      return d[key].is_null() ? std::string("unavailable") : Escape(d[key].get<std::string>());
    };
    Say(out, "{:<14}{}\n{:<14}{}\n", "SSID:", text("ssid"), "BSSID:", text("bssid"));
    if (!d["channel"].is_null()) Say(out, "{:<14}{}\n", "Channel:", d["channel"].get<uint32_t>());
    if (d.contains("signalDbm"))
      Say(out, "{:<14}{} dBm  {}\n", "Signal:", d["signalDbm"].get<int32_t>(),
          BarsText(d["signalDbm"].get<int32_t>()));
    if (!d["linkSpeedMbps"].is_null())
      Say(out, "{:<14}{:g} Mbit/s\n", "Link speed:", d["linkSpeedMbps"].get<double>());
  }
  Say(out, "{:<14}state {}, link {}, authentication {}\n", "Supplicant:", HalvexGetWPASuppStatus(0),
      HalvexGetWPASuppStatus(1), HalvexGetWPASuppStatus(2));
  return 0;
}

int Scan(Session& session, Output& out) {
  int result = 0;
  const std::vector<Network> networks = ScanNetworks(session, out, &result);
  if (result != HALVEX_RESULT_SUCCESS) return Failed(out, "the scan failed", result);
  json list = json::array();
  for (const Network& n : networks) list.push_back(NetworkJson(n));
  out.data["networks"] = list;
  Say(out, "{:<32}  {:<17}  {:>2}  {:>6}  {:<4}  {}\n", "SSID", "BSSID", "CH", "SIGNAL", "BARS", "SECURITY");
  for (const Network& n : networks) {
    Say(out, "{:<32}  {:<17}  {:>2}  {:>6}  {:<4}  {}\n", Escape(n.ssid), MacText(n.bssid), n.channel,
        fmt::format("{} dBm", n.rssi), BarsText(n.rssi), n.security);
  }
  return 0;
}

int Join(Session& session, const JoinRequest& r, Output& out) {
  void* a = session.adapter();
  json& d = out.data;
  d["ssid"] = r.ssid;
  int scanned = 0;
  std::string announced;
  for (const Network& n : ScanNetworks(session, out, &scanned)) {
    if (n.ssid == r.ssid && announced.empty()) announced = n.security;
  }
  if (!announced.empty()) d["security"] = announced;
  // Say at once what cannot work, rather than after a time-out.
  const bool wantsKey = r.wepKey || r.psk || !r.eap.empty();
  if (announced == "open" && wantsKey)
    return Failed(out, r.ssid + " is an open network: give no key", kOwnRefusal);
  if (!announced.empty() && announced != "open" && !wantsKey)
    return Failed(out, r.ssid + " uses " + announced + ": give --wep-key, --psk or an 802.1X method",
                  kOwnRefusal);

  Say(out, "Joining {}\n", Escape(r.ssid));
  const size_t from = session.messages().Messages().size();
  const std::optional<SecurityChoice> security = ChooseSecurity(r, announced);
  if (security) {
    unsigned char thumbprint[20] = {};
    if (const std::optional<std::string> refused = PrepareStandIn(session, r, thumbprint))
      return Failed(out, *refused, kOwnRefusal);
    // The supplicant's errors come as trace lines: they say why it refused.
    HalvexWPATrace(1);
    if (!r.eap.empty() && Identity(r, thumbprint) != 0)
      return Failed(out, "the supplicant did not take the identity", 1);
    std::vector<unsigned char> passphrase;
    if (r.psk) passphrase.assign(r.psk->begin(), r.psk->end());
    passphrase.push_back('\0');
    std::vector<char> ssid(r.ssid.begin(), r.ssid.end());
    ssid.push_back('\0');
    const int info = HalvexSetWPAInformation(a, security->mode, security->cipher,
                                             r.psk ? passphrase.data() : nullptr, ssid.data());
    std::fill(passphrase.begin(), passphrase.end(), 0);
    if (info != 0) return Failed(out, "the supplicant did not take the network's security", info);
    HalvexSetAuthMode(a, security->authMode);
    HalvexSetWepStatus(a, security->encryption);
  } else if (r.wepKey) {
    HalvexSetAuthMode(a, 0);
    HalvexSetWepStatus(a, 0);
    std::vector<unsigned char> key(r.wepKey->begin(), r.wepKey->end());
    const int keyed = HalvexSetWepKey(a, r.keyIndex, key.data(), static_cast<unsigned>(key.size()), 1);
    std::fill(key.begin(), key.end(), 0);
    if (keyed != 0) return Failed(out, "the adapter did not take the WEP key", keyed);
  } else {
    HalvexSetAuthMode(a, 0);
    HalvexSetWepStatus(a, 1);
  }
  std::vector<char> ssid(r.ssid.begin(), r.ssid.end());
  const int joined = WithProgress(
      out, "Associating", [&] { return HalvexSetSsid(a, ssid.data(), static_cast<ULONG>(ssid.size())); });
  d["result"] = joined;
  if (joined == HALVEX_RESULT_JOIN_TIMEOUT)
    return Failed(out, "no answer from " + r.ssid + " in time", joined);
  if (joined != HALVEX_RESULT_SUCCESS) {
    const std::string why = announced.empty() ? " is not in range"
                            : r.wepKey        ? " refused the station: check the WEP key"
                                              : " refused the station";
    return Failed(out, "the join failed: " + r.ssid + why, joined);
  }
  json texts = json::array(), traces = json::array();
  if (security) {
    const Outcome outcome = AwaitAuthentication(session, from, out, &texts, &traces);
    d["statusTexts"] = texts;
    if (outcome == Outcome::kRefused) return Failed(out, RefusalText(traces), kOwnRefusal);
    if (outcome == Outcome::kTimedOut)
      return Failed(out, "authentication did not finish in time", kOwnRefusal);
  }
  if (HalvexGetConnectStatus(a) != 1)
    return Failed(
        out, r.wepKey ? "the association was dropped: the WEP key is wrong" : "the association was dropped",
        1);
  d["connected"] = true;
  if (session.simulated()) d["portOpen"] = HalvexSimPortOpen() == 1;
  Say(out, "Connected to {}\n", Escape(r.ssid));
  return 0;
}

int Disconnect(Session& session, Output& out) {
  HalvexWPAPortDown();
  const int result = HalvexSetDisassociate(session.adapter());
  out.data["result"] = result;
  if (result != HALVEX_RESULT_SUCCESS) return Failed(out, "the disassociation failed", result);
  Say(out, "Disconnected\n");
  return 0;
}

int Get(Session& session, const std::string& name, Output& out) {
  const Parameter* p = FindParameter(name);
  ULONG value = 0;
  const int result = p->query(session.adapter(), value);
  out.data["name"] = name;
  if (result != HALVEX_RESULT_SUCCESS) return Failed(out, "the adapter did not report " + name, result);
  out.data["value"] = value;
  out.data["text"] = ValueText(*p, value);
  ULONG stored = 0;
  if (p->stored != nullptr && p->stored(session.adapter(), stored) == 0) out.data["stored"] = stored;
  Say(out, "{} = {}", name, ValueText(*p, value));
  if (out.data.contains("stored")) Say(out, "  (stored: {})", ValueText(*p, stored));
  Say(out, "\n");
  return 0;
}

int Set(Session& session, const std::string& name, uint32_t value, Output& out) {
  const Parameter* p = FindParameter(name);
  const int result = p->set(session.adapter(), value);
  out.data["name"] = name;
  out.data["value"] = value;
  out.data["result"] = result;
  if (result != HALVEX_RESULT_SUCCESS) return Failed(out, "the adapter refused " + name, result);
  Say(out, "{} set to {}\n", name, ValueText(*p, value));
  return 0;
}

int Stats(Session& session, bool reset, Output& out) {
  void* a = session.adapter();
  if (reset) {
    const int result = HalvexResetStatistics(a);
    if (result != 0) return Failed(out, "the counters were not reset", result);
    out.data["reset"] = true;
  }
  NDIS_802_11_STATISTICS s{};
  s.Length = sizeof s;
  const int result = HalvexQueryStatistics(a, &s);
  if (result != 0) return Failed(out, "the adapter did not report its counters", result);
  const std::pair<const char*, const LARGE_INTEGER*> counters[] = {
      {"transmittedFragments", &s.TransmittedFragmentCount},
      {"multicastTransmitted", &s.MulticastTransmittedFrameCount},
      {"failed", &s.FailedCount},
      {"retries", &s.RetryCount},
      {"multipleRetries", &s.MultipleRetryCount},
      {"rtsSuccesses", &s.RTSSuccessCount},
      {"rtsFailures", &s.RTSFailureCount},
      {"ackFailures", &s.ACKFailureCount},
      {"duplicates", &s.FrameDuplicateCount},
      {"receivedFragments", &s.ReceivedFragmentCount},
      {"multicastReceived", &s.MulticastReceivedFrameCount},
      {"fcsErrors", &s.FCSErrorCount}};
  json& c = out.data["counters"] = json::object();
  for (const auto& [name, value] : counters) {
    c[name] = value->QuadPart;
    Say(out, "{:<22}{}\n", name, value->QuadPart);
  }
  RSSI_STATS rssi{};
  if (HalvexQueryRssiStat(a, &rssi) == 0) {
    out.data["rssi"] = {{"current", rssi.Current},
                        {"average", rssi.Average},
                        {"minimum", rssi.Minimum},
                        {"maximum", rssi.Maximum}};
    Say(out, "{:<22}current {} dBm, average {}, minimum {}, maximum {}\n", "rssi", rssi.Current, rssi.Average,
        rssi.Minimum, rssi.Maximum);
  }
  BEACON_STATS beacons{};
  if (HalvexQueryBeaconStatistics(a, &beacons) == 0) {
    out.data["beacons"] = {{"received", beacons.Received}, {"missed", beacons.Missed}};
    Say(out, "{:<22}received {}, missed {}\n", "beacons", beacons.Received, beacons.Missed);
  }
  return 0;
}

namespace {
std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) {
  g_interrupted.store(true);
}
}  // namespace

int Events(Session& session, unsigned trace, unsigned count, unsigned seconds, Output& out) {
  std::signal(SIGINT, OnInterrupt);
  if (trace != 0) HalvexWPATrace(trace);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  size_t next = session.messages().Messages().size(), shown = 0;
  while (!g_interrupted.load() && (count == 0 || shown < count) &&
         (seconds == 0 || std::chrono::steady_clock::now() < deadline)) {
    // Short waits, so that Ctrl-C and the time limit are noticed.
    session.messages().WaitForCount(next + 1, milliseconds(200));
    const std::vector<hx::sim::Message> all = session.messages().Messages();
    for (; next < all.size() && (count == 0 || shown < count); ++next, ++shown) {
      const hx::sim::Message& m = all[next];
      if (out.json) {
        // One document per line, as the messages come.
        std::cout << MessageJson(m).dump(-1, ' ', false, json::error_handler_t::replace) << std::endl;
      } else {
        fmt::print("WM_APP {:>10}  {}{}\n", m.code, MessageName(m.code),
                   m.hasText ? "  " + Escape(m.text) : "");
        std::fflush(stdout);
      }
    }
  }
  std::signal(SIGINT, SIG_DFL);
  out.json = false;  // already printed, line by line
  return 0;
}

int Profile(Session& session, const std::string& action, const std::string& name, Output& out) {
  void* a = session.adapter();
  if (action == "store") {
    std::vector<char> text(name.begin(), name.end());
    const int named = HalvexSetProfileInUse(a, text.data(), static_cast<ULONG>(text.size()));
    if (named != 0) return Failed(out, "the profile name was not stored", named);
    HalvexRegisterConnInfo(a);
    Say(out, "Stored the connection as profile {}\n", Escape(name));
  } else if (action == "revert") {
    const int result = HalvexRevertConnInfo(a);
    if (result != 0) return Failed(out, "no stored connection to revert to", result);
    Say(out, "Reverted to the stored connection\n");
  }
  int result = 0;
  const std::string profile = TextOf(HalvexQueryProfileInUse, a, &result);
  out.data["profile"] = result == 0 ? json(profile) : json(nullptr);
  CONNECTIONINFO info{};
  if (HalvexQueryLastConn(a, &info) == 0) {
    const std::string ssid(reinterpret_cast<const char*>(info.DesiredSSID),
                           strnlen(reinterpret_cast<const char*>(info.DesiredSSID), sizeof info.DesiredSSID));
    out.data["connection"] = {{"profile", std::string(info.ProfileName, strnlen(info.ProfileName, 40))},
                              {"ssid", ssid},
                              {"networkMode", info.NetworkMode},
                              {"channel", info.Channel},
                              {"authMode", info.AuthMode},
                              {"encryption", info.WepStatus}};
    const json& c = out.data["connection"];
    Say(out, "Profile {}: SSID {}, channel {}, network mode {}, auth {}, encryption {}\n",
        Escape(c["profile"].get<std::string>()), Escape(ssid), info.Channel, info.NetworkMode, info.AuthMode,
        info.WepStatus);
  }
  return 0;
}

int Registry(Session& session, const std::string& action, const std::string& file, Output& out) {
  char messages[4096] = {};
  int result = HALVEXSIM_FAILED;
  if (action == "export") {
    int found = 0;
    std::string key = TextOf(HalvexQueryRegistryPath, session.adapter(), &found);
    if (found != 0 || key.empty()) return Failed(out, "the adapter's registry key is unknown", found);
    if (key.rfind("HKEY_", 0) != 0) key = "HKEY_LOCAL_MACHINE\\" + key;
    result = HalvexSimExportRegistry(key.c_str(), file.c_str(), messages, sizeof messages);
    out.data["key"] = key;
  } else {
    result = HalvexSimImportRegistry(file.c_str(), messages, sizeof messages);
  }
  out.data["file"] = file;
  if (result != HALVEXSIM_OK) return Failed(out, std::string(messages).empty() ? "failed" : messages, result);
  Say(out, "{} {}\n", action == "export" ? "Exported to" : "Imported", file);
  return 0;
}

int Demo(Session& session, Output& out) {
  json steps = json::array();
  int failures = 0;
  const auto step = [&](const char* title, auto run) {
    Say(out, "\n== {} ==\n", title);
    Output inner{out.json, out.terminal};
    failures += run(inner) != 0 ? 1 : 0;
    steps.push_back({{"step", title}, {"report", inner.data}});
  };
  step("Adapter", [&](Output& o) { return Info(session, o); });
  step("Scan", [&](Output& o) { return Scan(session, o); });
  JoinRequest open, wep, corp;
  open.ssid = "HalvexOpen";
  wep.ssid = "HalvexWEP";
  wep.wepKey = "Key!!";
  corp.ssid = "HalvexCorp";
  corp.eap = "peap";
  corp.user = "alice";
  corp.domain = "CORP";
  corp.password = "s3cret";
  step("Open network", [&](Output& o) { return Join(session, open, o); });
  step("WEP network", [&](Output& o) { return Join(session, wep, o); });
  step("802.1X network (PEAP)", [&](Output& o) { return Join(session, corp, o); });
  step("Status", [&](Output& o) { return Status(session, o); });
  step("Disconnect", [&](Output& o) { return Disconnect(session, o); });
  step("Profile", [&](Output& o) { return Profile(session, "show", "", o); });
  Say(out, "\n== Window messages ==\n");
  json messages = json::array();
  for (const hx::sim::Message& m : session.messages().Messages()) {
    messages.push_back(MessageJson(m));
    Say(out, "WM_APP {:>10}  {}{}\n", m.code, MessageName(m.code), m.hasText ? "  " + Escape(m.text) : "");
  }
  out.data = {{"steps", steps}, {"messages", messages}};
  return failures == 0 ? 0 : 1;
}

std::optional<std::string> ReadSecret(const std::string& prompt, const std::string& file, std::string* why) {
  std::string secret;
  if (!file.empty()) {
    std::ifstream in(file, std::ios::binary);
    if (!in || !std::getline(in, secret)) {
      *why = file + ": cannot be read";
      return std::nullopt;
    }
  } else {
#ifdef _WIN32
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(input, &mode) != 0;
    if (console) {
      std::fprintf(stderr, "%s", prompt.c_str());
      SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    const bool read = static_cast<bool>(std::getline(std::cin, secret));
    if (console) {
      SetConsoleMode(input, mode);
      std::fprintf(stderr, "\n");
    }
#else
    termios saved{};
    const bool console = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (console) {
      std::fprintf(stderr, "%s", prompt.c_str());
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, secret));
    if (console) {
      tcsetattr(STDIN_FILENO, TCSANOW, &saved);
      std::fprintf(stderr, "\n");
    }
#endif
    if (!read) {
      *why = "no password given";
      return std::nullopt;
    }
  }
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return secret;
}

}  // namespace halvexctl
