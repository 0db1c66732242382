#include "tools/join.h"

#include <fmt/format.h>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "Halvex.h"
#include "HalvexSim.h"
#include "platform/hex.h"
#include "tools/files.h"
#include "tools/interrupt.h"
#include "tools/output.h"
#include "tools/stored.h"
#include "tools/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace halvexctl {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// The library's own bound on a join's outcome.
constexpr double kJoinBoundSeconds = 8.0;

std::string HexOf(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) text += fmt::format("{:02X}", c);
  return text;
}

std::string CurrentSsid(void* adapter) {
  unsigned char ssid[34] = {};
  if (HalvexGetConnectStatus(adapter) != 1 || HalvexQuerySsid(adapter, ssid, sizeof ssid - 1) != 0) return "";
  return std::string(reinterpret_cast<char*>(ssid), strnlen(reinterpret_cast<char*>(ssid), 32));
}

// What a join changes, recorded before it, and put back in reverse.
class Rollback {
 public:
  explicit Rollback(Session& session)
      : session_(session), adapter_(session.adapter()), from_(session.messages().Messages().size()) {
    key_ = AdapterKeyPath(adapter_);
    if (key_) stored_ = ReadStoredValues(*key_);
    HalvexQueryAuthMode(adapter_, authMode_);
    HalvexQueryWepStatus(adapter_, wepStatus_);
    ssid_ = CurrentSsid(adapter_);
  }

  void Applied(const Parameter& p, uint32_t previous) { settings_.emplace_back(&p, previous); }
  void RequestSent() { requestSent_ = true; }

  // Puts back what the join changed; what it did, in words.
  std::vector<std::string> Undo() {
    std::vector<std::string> done;
    HalvexWPAPortDown();
    const std::string now = CurrentSsid(adapter_);
    if (requestSent_ && !now.empty() && now != ssid_) {
      HalvexSetDisassociate(adapter_);
      done.push_back("left " + now);
    }
    for (auto it = settings_.rbegin(); it != settings_.rend(); ++it) {
      if (it->first->set(adapter_, it->second) == HALVEX_RESULT_SUCCESS)
        done.push_back(fmt::format("{} back to {}", it->first->name, ValueText(*it->first, it->second)));
    }
    ULONG auth = 0, wep = 0;
    if (HalvexQueryAuthMode(adapter_, auth) == 0 && auth != authMode_ &&
        HalvexSetAuthMode(adapter_, authMode_) == HALVEX_RESULT_SUCCESS)
      done.push_back("authentication mode back to " + ValueText(*FindParameter("auth-mode"), authMode_));
    if (HalvexQueryWepStatus(adapter_, wep) == 0 && wep != wepStatus_ &&
        HalvexSetWepStatus(adapter_, wepStatus_) == HALVEX_RESULT_SUCCESS)
      done.push_back("encryption back to " + ValueText(*FindParameter("encryption"), wepStatus_));
    if (requestSent_ && !ssid_.empty() && CurrentSsid(adapter_) != ssid_) {
      // Open and WEP networks need nothing this run lacks; WPA needs the
      // supplicant the earlier run gave its credentials to.
      if (authMode_ < 3) {
        AwaitDisconnection();
        std::vector<char> name(ssid_.begin(), ssid_.end());
        const int joined = HalvexSetSsid(adapter_, name.data(), static_cast<ULONG>(name.size()));
        done.push_back(
            joined == HALVEX_RESULT_SUCCESS
                ? "reconnected to " + ssid_
                : fmt::format("could not reconnect to {} (HalvexSetSsid result {})", ssid_, joined));
      } else {
        done.push_back("not reconnected to " + ssid_ + ": its credentials were given to an earlier run");
      }
    }
    // Last: the steps above write to the registry too.
    if (key_ && stored_) {
      std::vector<std::string> changed;
      std::string error;
      const bool ok = RestoreStoredValues(*key_, *stored_, &changed, &error);
      if (!changed.empty()) {
        std::string names;
        for (const std::string& n : changed) names += (names.empty() ? "" : ", ") + n;
        done.push_back("the adapter's registry values put back: " + names);
      }
      if (!ok) done.push_back(error);
    } else {
      done.push_back("the adapter's registry key could not be read before the join; not put back");
    }
    return done;
  }

 private:
  // The disconnection's event (message 0) must be behind us, whether we left
  // or the network sent us away, or the reconnection would take it for its
  // own outcome.
  void AwaitDisconnection() {
    const std::vector<hx::sim::Message> all = session_.messages().Messages();
    for (size_t i = all.size(); i > from_; --i) {
      if (all[i - 1].code == 0) return;
      if (all[i - 1].code == 1) break;
    }
    session_.WaitFor(
        all.size(), milliseconds(2000), [](const hx::sim::Message& m) { return m.code == 0; }, {}, true);
  }

  Session& session_;
  void* adapter_;
  size_t from_;  // the messages before the join
  std::optional<std::string> key_;
  std::optional<StoredValues> stored_;
  ULONG authMode_ = 0, wepStatus_ = 1;
  std::string ssid_;
  std::vector<Setting> settings_;
  bool requestSent_ = false;
};

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
  if (!r.psk.empty()) {
    if (announced == "WPA-PSK") return SecurityChoice{2, 2, 4, 4};  // WPA, TKIP
    return SecurityChoice{9, 3, 7, 6};                              // WPA2, AES
  }
  return std::nullopt;
}

// The stand-in toolkit's certificate stores and settings, found in the
// toolkit the library loaded; a real toolkit has none of them.
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

// The option a network's security asks for, and the one given; empty when
// they fit.
std::string Misfit(const JoinRequest& r, const std::string& announced) {
  const std::string given = !r.wepKey.empty() ? "--wep-key"
                            : !r.psk.empty()  ? "--psk"
                            : !r.eap.empty()  ? "--" + r.eap
                                              : "";
  std::string wanted;
  bool fits = false;
  if (announced == "open") {
    fits = given.empty();
    wanted = "no key";
  } else if (announced == "WEP") {
    fits = given == "--wep-key";
    wanted = "--wep-key";
  } else if (announced == "WPA-PSK" || announced == "WPA2-PSK") {
    fits = given == "--psk";
    wanted = "--psk (or --psk-file)";
  } else if (announced == "WPA-EAP" || announced == "WPA2-EAP") {
    fits = !r.eap.empty();
    wanted = "an 802.1X method: --peap, --ttls, --tls or --leap";
  } else {
    return "";  // not in range: the join says so
  }
  if (fits) return "";
  const std::string what = announced == "open" ? " is an open network" : " uses " + announced;
  return r.ssid + what + ": give " + wanted + (given.empty() ? "" : " (not " + given + ")");
}

enum class Outcome { kConnected, kRefused, kTimedOut, kInterrupted };

// What the supplicant's status texts and the driver's messages say about a
// join once the network took the association.
Outcome AwaitAuthentication(Session& session, size_t from, milliseconds bound, Output& out, json* texts,
                            json* traces, json* decided) {
  Outcome outcome = Outcome::kTimedOut;
  const bool settled = session.WaitFor(
      from, bound,
      [&](const hx::sim::Message& m) {
        if (m.code == HALVEX_MSG_SUPP_CONNECTED) {
          outcome = Outcome::kConnected;
          return true;
        }
        const bool failedText = m.hasText && m.text.find("failed") != std::string::npos;
        if (failedText || m.code == 0) {
          outcome = Outcome::kRefused;
          *decided = {{"code", m.code}, {"name", m.code == 0 ? "disconnected" : "status"}};
          if (m.hasText) (*decided)["text"] = m.text;
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
  if (!settled && interrupt::Requested()) return Outcome::kInterrupted;
  return outcome;
}

void SaveSnapshot(Session& session, Output& out);

}  // namespace

json BytesJson(const std::string& bytes) {
  if (IsUtf8(bytes) && bytes.find('\0') == std::string::npos) return bytes;
  return {{"hex", HexOf(bytes)}};
}

std::optional<std::string> BytesFromJson(const json& j) {
  if (j.is_string()) return j.get<std::string>();
  if (j.is_object() && j.contains("hex") && j["hex"].is_string())
    return hx::hex::Decode<std::string>(j["hex"].get<std::string>());
  return std::nullopt;
}

std::string SnapshotPath(const Options& options) {
  return (StateDirectory(options) / "connection-snapshot.json").string();
}

int RunJoin(Session& session, const JoinRequest& r, double wait, std::span<const Setting> settings,
            const std::string& profile, Output& out) {
  void* a = session.adapter();
  json& d = out.data;
  d["ssid"] = r.ssid;
  int scanned = 0;
  const char* call = "";
  std::string announced;
  for (const Network& n : ScanNetworks(session, out, r.ssid, &scanned, &call)) {
    if (n.ssid == r.ssid && announced.empty()) announced = n.security;
  }
  if (interrupt::Requested()) return Interrupted(out, "the join had not begun; nothing was changed");
  if (!announced.empty()) d["security"] = announced;
  // Say at once what cannot work, rather than after a time-out.
  if (const std::string misfit = Misfit(r, announced); !misfit.empty()) return Usage(out, misfit);

  Say(out, "Joining {}\n", Escape(r.ssid));
  Rollback rollback(session);
  const auto undo = [&](int status) {
    const std::vector<std::string> done = rollback.Undo();
    d["putBack"] = done;
    for (const std::string& line : done) Warn("put back: " + line);
    return status;
  };
  const auto failed = [&](const std::string& what, const char* call, int result) {
    Failed(out, what, call, result);
    return undo(kFailure);
  };
  const auto interrupted = [&](const std::string& when) {
    undo(0);
    return Interrupted(out, "the join was stopped " + when + "; what it had changed was put back");
  };
  if (!profile.empty()) {
    // The library's own record of the profile in use, part of its snapshot.
    std::vector<char> name(profile.begin(), profile.end());
    const int named = HalvexSetProfileInUse(a, name.data(), static_cast<ULONG>(name.size()));
    if (named != HALVEX_RESULT_SUCCESS)
      return failed("the profile's name was not stored", "HalvexSetProfileInUse", named);
  }
  for (const auto& [p, value] : settings) {
    ULONG previous = 0;
    const int asked = p->query(a, previous);
    const int result = p->set(a, value);
    if (asked == HALVEX_RESULT_SUCCESS) rollback.Applied(*p, previous);
    if (result != HALVEX_RESULT_SUCCESS)
      return failed(fmt::format("the adapter refused {}", p->name), p->setName, result);
    Say(out, "  {} set to {}\n", p->name, ValueText(*p, value));
    if (interrupt::Requested()) return interrupted("while applying the profile's settings");
  }
  const size_t from = session.messages().Messages().size();
  const std::optional<SecurityChoice> security = ChooseSecurity(r, announced);
  if (security) {
    unsigned char thumbprint[20] = {};
    if (const std::optional<std::string> refused = PrepareStandIn(session, r, thumbprint)) {
      Refused(out, *refused);
      return undo(kFailure);
    }
    // The supplicant's errors come as trace lines: they say why it refused.
    HalvexWPATrace(1);
    if (!r.eap.empty()) {
      const int identity = Identity(r, thumbprint);
      if (identity != 0)
        return failed("the supplicant did not take the identity", "HalvexWPACreateIdentity", identity);
    }
    std::vector<unsigned char> passphrase(r.psk.begin(), r.psk.end());
    passphrase.push_back('\0');
    std::vector<char> ssid(r.ssid.begin(), r.ssid.end());
    ssid.push_back('\0');
    const int info = HalvexSetWPAInformation(a, security->mode, security->cipher,
                                             r.psk.empty() ? nullptr : passphrase.data(), ssid.data());
    std::fill(passphrase.begin(), passphrase.end(), 0);
    if (info != 0)
      return failed("the supplicant did not take the network's security", "HalvexSetWPAInformation", info);
    HalvexSetAuthMode(a, security->authMode);
    HalvexSetWepStatus(a, security->encryption);
  } else if (!r.wepKey.empty()) {
    HalvexSetAuthMode(a, 0);
    HalvexSetWepStatus(a, 0);
    std::vector<unsigned char> key(r.wepKey.begin(), r.wepKey.end());
    const int keyed = HalvexSetWepKey(a, r.keyIndex, key.data(), static_cast<unsigned>(key.size()), 1);
    std::fill(key.begin(), key.end(), 0);
    if (keyed != 0) return failed("the adapter did not take the WEP key", "HalvexSetWepKey", keyed);
  } else {
    HalvexSetAuthMode(a, 0);
    HalvexSetWepStatus(a, 1);
  }
  interrupt::SignalAt("before-request");
  if (interrupt::Requested()) return interrupted("before the request");
  std::vector<char> ssid(r.ssid.begin(), r.ssid.end());
  rollback.RequestSent();
  // A signal from here on meets the association in progress: the call ends as
  // it will, and what it made is judged after it.
  interrupt::SignalAt("association");
  const int joined = WithProgress(
      out, "Associating", [&] { return HalvexSetSsid(a, ssid.data(), static_cast<ULONG>(ssid.size())); });
  d["joinResult"] = joined;
  if (interrupt::Requested()) {
    if (joined == HALVEX_RESULT_SUCCESS && !security) {
      SaveSnapshot(session, out);
      d["connected"] = true;
      Say(out, "Connected to {}\n", Escape(r.ssid));
      return Interrupted(out, "the join had completed; it stands");
    }
    return interrupted("during the association");
  }
  if (joined == HALVEX_RESULT_JOIN_TIMEOUT)
    return failed("no answer from " + r.ssid + " in time", "HalvexSetSsid", joined);
  if (joined != HALVEX_RESULT_SUCCESS) {
    const std::string why = announced.empty()   ? " is not in range"
                            : !r.wepKey.empty() ? " refused the station: check the WEP key"
                                                : " refused the station";
    return failed("the join failed: " + r.ssid + why, "HalvexSetSsid", joined);
  }
  if (security) {
    json texts = json::array(), traces = json::array(), decided;
    const double seconds = wait > 0 ? wait : kJoinBoundSeconds;
    const Outcome outcome = AwaitAuthentication(
        session, from, milliseconds(static_cast<int64_t>(seconds * 1000)), out, &texts, &traces, &decided);
    d["statusTexts"] = texts;
    if (outcome == Outcome::kInterrupted) return interrupted("during the authentication");
    if (outcome != Outcome::kConnected) {
      // No export failed: the association stood and the supplicant's
      // exchange did not end well. What ended it is reported instead.
      Refused(out, outcome == Outcome::kRefused
                       ? RefusalText(traces)
                       : fmt::format("authentication did not finish within {:g} s", seconds));
      d["event"] = decided;
      d["supplicant"] = {{"state", HalvexGetWPASuppStatus(0)},
                         {"link", HalvexGetWPASuppStatus(1)},
                         {"authentication", HalvexGetWPASuppStatus(2)}};
      return undo(kFailure);
    }
  }
  if (HalvexGetConnectStatus(a) != 1)
    return failed(!r.wepKey.empty() ? "the association was dropped: the WEP key is wrong"
                                    : "the association was dropped",
                  "HalvexGetConnectStatus", 0);
  SaveSnapshot(session, out);
  d["connected"] = true;
  if (session.simulated()) d["portOpen"] = HalvexSimPortOpen() == 1;
  Say(out, "Connected to {}\n", Escape(r.ssid));
  return 0;
}

int Join(Session* session, Invocation& in, Output& out) {
  return RunJoin(*session, in.join, in.wait, {}, "", out);
}

// ---- the connection snapshot -------------------------------------------------------------

namespace {

// The snapshot's fields as the library's record holds them and its revert
// writes them back.
enum class Kind { kText, kNumber, kKey };
struct SnapshotField {
  const char* key;    // in the JSON file
  const char* value;  // the registry value
  const char* label;  // as shown
  Kind kind;
  size_t offset, width;  // in CONNECTIONINFO
};
#define HX_FIELD(member) offsetof(CONNECTIONINFO, member), sizeof(CONNECTIONINFO::member)
const SnapshotField kSnapshotFields[] = {
    {"profileName", "ProfileName", "Profile name", Kind::kText, HX_FIELD(ProfileName)},
    {"ssid", "DesiredSSID", "SSID", Kind::kText, HX_FIELD(DesiredSSID)},
    {"wirelessMode", "Wireless Mode", "Wireless mode", Kind::kNumber, HX_FIELD(WirelessMode)},
    {"networkMode", "NetworkMode", "Network mode", Kind::kNumber, HX_FIELD(NetworkMode)},
    {"channel", "Channel", "Channel", Kind::kNumber, HX_FIELD(Channel)},
    {"authMode", "AuthMode", "Authentication mode", Kind::kNumber, HX_FIELD(AuthMode)},
    {"wepStatus", "WepStatus", "Encryption status", Kind::kNumber, HX_FIELD(WepStatus)},
    {"txWepKey", "TxWepKey", "Transmit key", Kind::kNumber, HX_FIELD(TxWepKey)},
    {"wepKeySize", nullptr, "WEP key size", Kind::kNumber, HX_FIELD(WepKeySize)},
    {"wepKey1", "WepKey1", "WEP key 1", Kind::kKey, HX_FIELD(WepKey1)},
    {"wepKey2", "WepKey2", "WEP key 2", Kind::kKey, HX_FIELD(WepKey2)},
    {"wepKey3", "WepKey3", "WEP key 3", Kind::kKey, HX_FIELD(WepKey3)},
    {"wepKey4", "WepKey4", "WEP key 4", Kind::kKey, HX_FIELD(WepKey4)},
};
#undef HX_FIELD

void SaveSnapshot(Session& session, Output& out) {
  // Right after the join's commit the library's snapshot and a fresh one are
  // the same: the registry has not changed since.
  CONNECTIONINFO info{};
  if (HalvexQueryLastConn(session.adapter(), &info) != HALVEX_RESULT_SUCCESS) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
  json snapshot = json::object();
  ULONG keySize = 0;
  std::memcpy(&keySize, bytes + offsetof(CONNECTIONINFO, WepKeySize), sizeof keySize);
  for (const SnapshotField& f : kSnapshotFields) {
    const auto* at = bytes + f.offset;
    if (f.kind == Kind::kNumber) {
      ULONG number = 0;
      std::memcpy(&number, at, sizeof number);
      snapshot[f.key] = number;
    } else if (f.kind == Kind::kText) {
      snapshot[f.key] = BytesJson(std::string(reinterpret_cast<const char*>(at),
                                              strnlen(reinterpret_cast<const char*>(at), f.width)));
    } else {
      snapshot[f.key] =
          HexOf(std::string(reinterpret_cast<const char*>(at), std::min<size_t>(keySize, f.width)));
    }
  }
  std::memset(&info, 0, sizeof info);
  std::string error;
  if (!WriteFileAtomically(SnapshotPath(session.options()), snapshot.dump(2) + "\n", Privacy::kPrivate,
                           &error))
    Warn("the connection snapshot was not kept: " + error);
  (void)out;
}

std::optional<json> LoadSnapshot(const Options& options, std::string* why) {
  bool missing = false;
  const auto text = ReadRegularFile(SnapshotPath(options), why, &missing);
  if (!text) {
    if (missing) *why = "no connection snapshot yet: it is taken at each successful join";
    return std::nullopt;
  }
  const json j = json::parse(*text, nullptr, false);
  if (!j.is_object()) {
    *why = SnapshotPath(options) + ": not a connection snapshot";
    return std::nullopt;
  }
  return j;
}

}  // namespace

int ProfileSnapshot(Session* session, Invocation& in, Output& out) {
  const Options& options = session != nullptr ? session->options() : in.global;
  std::string why;
  const auto snapshot = LoadSnapshot(options, &why);
  if (!snapshot) return Refused(out, why);
  json shown = json::object();
  std::vector<Field> fields;
  std::vector<std::optional<std::string>> values;
  for (const SnapshotField& f : kSnapshotFields) {
    const json& v = (*snapshot).value(f.key, json());
    std::string text;
    if (f.kind == Kind::kNumber) {
      text = v.is_number() ? std::to_string(v.get<uint32_t>()) : "";
      shown[f.key] = v;
    } else if (f.kind == Kind::kText) {
      text = BytesFromJson(v).value_or("");
      shown[f.key] = v;
    } else {
      const std::string hex = v.is_string() ? v.get<std::string>() : "";
      const bool show = in.showSecrets || hex.empty();
      text = show ? hex : "(hidden; --show-secrets shows it)";
      shown[f.key] = show ? json(hex) : json("(hidden)");
    }
    fields.push_back({f.key, f.label});
    values.push_back(text);
  }
  out.data["snapshot"] = shown;
  Say(out,
      "The connection snapshot: the stored settings of the last successful join.\n"
      "The library writes them back after a failed join; profile revert does so now.\n");
  PrintRecord(out, fields, values);
  return 0;
}

int ProfileRevert(Session* session, Invocation&, Output& out) {
  std::string why;
  const auto snapshot = LoadSnapshot(session->options(), &why);
  if (!snapshot) return Refused(out, why);
  const auto key = AdapterKeyPath(session->adapter());
  if (!key) return Refused(out, "the adapter's registry key is unknown");
  const json& s = *snapshot;
  const size_t keySize = std::min<size_t>(s.value("wepKeySize", 0u), 32);
  json written = json::array();
  for (const SnapshotField& f : kSnapshotFields) {
    if (f.value == nullptr) continue;
    std::string data;
    const json& v = s.value(f.key, json());
    if (f.kind == Kind::kNumber) {
      uint32_t number = v.is_number() ? v.get<uint32_t>() : 0;
      // As the library's revert: an infrastructure network chooses its own channel.
      if (std::strcmp(f.value, "Channel") == 0 && s.value("networkMode", 0u) == 1) number = 0;
      data = std::to_string(static_cast<int32_t>(number));
    } else if (f.kind == Kind::kText) {
      data = BytesFromJson(v).value_or("");
    } else {
      data = hx::hex::Decode<std::string>(v.is_string() ? v.get<std::string>() : "").value_or("");
      data.resize(keySize, '\0');
    }
    const int result =
        HalvexSetRegistry(key->c_str(), f.value, data.c_str(), static_cast<ULONG>(data.size()), 0);
    std::fill(data.begin(), data.end(), '\0');
    if (result != HALVEX_RESULT_SUCCESS)
      return Failed(out, std::string(f.value) + " was not written", "HalvexSetRegistry", result);
    written.push_back(f.value);
  }
  out.data["written"] = written;
  Say(out, "The adapter's registry key holds the connection snapshot again ({} values)\n", written.size());
  return 0;
}

}  // namespace halvexctl
