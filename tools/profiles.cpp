// Named profiles, kept by the utility in profiles.json in the state
// directory (readable by its owner only: it holds keys, pass phrases and
// passwords): a network, its credentials and the radio settings applied
// before joining it.
#include <fmt/format.h>
#include <algorithm>

#include "Halvex.h"
#include "tools/files.h"
#include "tools/join.h"
#include "tools/output.h"
#include "tools/parameters.h"
#include "tools/text.h"

namespace halvexctl {
namespace {

using nlohmann::json;

// The request's text fields in the profile, in the order shown.
struct RequestField {
  const char* key;
  std::string JoinRequest::*member;
  const char* label;
  bool secret;
};
const RequestField kRequestFields[] = {
    {"ssid", &JoinRequest::ssid, "SSID", false},
    {"wepKey", &JoinRequest::wepKey, "WEP key", true},
    {"psk", &JoinRequest::psk, "Pass phrase", true},
    {"eap", &JoinRequest::eap, "802.1X method", false},
    {"user", &JoinRequest::user, "User", false},
    {"domain", &JoinRequest::domain, "Domain", false},
    {"password", &JoinRequest::password, "Password", true},
    {"inner", &JoinRequest::inner, "Inner method", false},
    {"certificate", &JoinRequest::certificate, "Certificate", false},
    {"key", &JoinRequest::key, "Certificate key", false},
    {"ca", &JoinRequest::ca, "CA certificate", false},
    {"anonymous", &JoinRequest::anonymous, "Outer identity", false},
};

constexpr const char* kHidden = "(hidden; --show-secrets shows it)";

std::string ProfilesPath(const Options& options) {
  return (StateDirectory(options) / "profiles.json").string();
}

struct Profile {
  std::string name;
  JoinRequest request;
  std::vector<std::pair<std::string, uint32_t>> settings;  // parameter, value
};

std::string SecurityOf(const JoinRequest& r) {
  if (!r.wepKey.empty()) return "WEP";
  if (!r.psk.empty()) return "WPA-PSK";
  if (!r.eap.empty()) return "802.1X " + r.eap;
  return "open";
}

json ProfileJson(const Profile& p) {
  json request = json::object();
  for (const RequestField& f : kRequestFields) {
    const std::string& value = p.request.*f.member;
    if (!value.empty()) request[f.key] = BytesJson(value);
  }
  if (!p.request.wepKey.empty()) request["keyIndex"] = p.request.keyIndex;
  json settings = json::object();
  for (const auto& [name, value] : p.settings) settings[name] = value;
  return {{"name", p.name}, {"network", request}, {"settings", settings}};
}

std::optional<Profile> ProfileFrom(const json& j, std::string* why) {
  Profile p;
  if (!j.is_object() || !j.contains("name") || !j["name"].is_string() || !j.contains("network") ||
      !j["network"].is_object()) {
    *why = "a profile without a name or network";
    return std::nullopt;
  }
  p.name = j["name"].get<std::string>();
  const json& n = j["network"];
  for (const RequestField& f : kRequestFields) {
    if (!n.contains(f.key)) continue;
    const auto value = BytesFromJson(n[f.key]);
    if (!value) {
      *why = "profile " + p.name + ": " + f.key + " is not text";
      return std::nullopt;
    }
    p.request.*f.member = *value;
  }
  p.request.keyIndex = n.value("keyIndex", 1u);
  if (p.request.ssid.empty() || p.request.ssid.size() > 32 || p.request.keyIndex < 1 ||
      p.request.keyIndex > 4) {
    *why = "profile " + p.name + ": no usable SSID or key index";
    return std::nullopt;
  }
  const json settings = j.value("settings", json::object());
  for (const auto& [name, value] : settings.items()) {
    const Parameter* parameter = FindParameter(name);
    std::string reason;
    if (parameter == nullptr || !value.is_number_unsigned() ||
        !ParseValue(*parameter, std::to_string(value.get<uint64_t>()), &reason)) {
      *why = "profile " + p.name + ": setting " + name + " is not usable";
      return std::nullopt;
    }
    p.settings.emplace_back(name, value.get<uint32_t>());
  }
  return p;
}

std::optional<std::vector<Profile>> Load(const Options& options, std::string* why) {
  bool missing = false;
  const auto text = ReadRegularFile(ProfilesPath(options), why, &missing);
  if (!text) {
    if (missing) return std::vector<Profile>{};
    return std::nullopt;
  }
  const json j = json::parse(*text, nullptr, false);
  if (!j.is_object() || !j.contains("profiles") || !j["profiles"].is_array()) {
    *why = ProfilesPath(options) + ": not a profile list";
    return std::nullopt;
  }
  std::vector<Profile> profiles;
  for (const json& entry : j["profiles"]) {
    auto p = ProfileFrom(entry, why);
    if (!p) {
      *why = ProfilesPath(options) + ": " + *why;
      return std::nullopt;
    }
    profiles.push_back(std::move(*p));
  }
  return profiles;
}

bool Save(const Options& options, const std::vector<Profile>& profiles, std::string* why) {
  json list = json::array();
  for (const Profile& p : profiles) list.push_back(ProfileJson(p));
  std::error_code ec;
  std::filesystem::create_directories(StateDirectory(options), ec);
  return WriteFileAtomically(ProfilesPath(options), json{{"profiles", list}}.dump(2) + "\n",
                             Privacy::kPrivate, why);
}

std::vector<Profile>::iterator Find(std::vector<Profile>& profiles, const std::string& name) {
  return std::find_if(profiles.begin(), profiles.end(), [&](const Profile& p) { return p.name == name; });
}

const Options& OptionsOf(Session* session, const Invocation& in) {
  return session != nullptr ? session->options() : in.global;
}

std::string SettingsText(const Profile& p) {
  std::string text;
  for (const auto& [name, value] : p.settings)
    text += fmt::format("{}{}={}", text.empty() ? "" : ",", name, ValueText(*FindParameter(name), value));
  return text;
}

}  // namespace

int ProfileList(Session* session, Invocation& in, Output& out) {
  std::string why;
  const auto profiles = Load(OptionsOf(session, in), &why);
  if (!profiles) return Refused(out, why);
  json list = json::array();
  std::vector<std::vector<std::string>> rows;
  for (const Profile& p : *profiles) {
    list.push_back(
        {{"name", p.name}, {"ssid", BytesJson(p.request.ssid)}, {"security", SecurityOf(p.request)}});
    rows.push_back({p.name, p.request.ssid, SecurityOf(p.request), SettingsText(p)});
  }
  out.data["profiles"] = list;
  PrintListing(out, {{"name", "NAME"}, {"ssid", "SSID"}, {"security", "SECURITY"}, {"settings", "SETTINGS"}},
               rows);
  return 0;
}

int ProfileShow(Session* session, Invocation& in, Output& out) {
  std::string why;
  auto profiles = Load(OptionsOf(session, in), &why);
  if (!profiles) return Refused(out, why);
  const auto it = Find(*profiles, in.name);
  if (it == profiles->end()) return Refused(out, "no profile " + in.name);
  json shown = ProfileJson(*it);
  std::vector<Field> fields = {{"name", "Name"}};
  std::vector<std::optional<std::string>> values = {it->name};
  for (const RequestField& f : kRequestFields) {
    const std::string& value = it->request.*f.member;
    if (value.empty()) continue;
    const bool hide = f.secret && !in.showSecrets;
    if (hide) shown["network"][f.key] = "(hidden)";
    fields.push_back({f.key, f.label});
    values.push_back(hide ? std::string(kHidden) : value);
  }
  if (!it->request.wepKey.empty()) {
    fields.push_back({"key-index", "Key index"});
    values.push_back(std::to_string(it->request.keyIndex));
  }
  fields.push_back({"security", "Security"});
  values.push_back(SecurityOf(it->request));
  fields.push_back({"settings", "Settings"});
  values.push_back(SettingsText(*it));
  out.data["profile"] = shown;
  PrintRecord(out, fields, values);
  return 0;
}

int ProfileAdd(Session* session, Invocation& in, Output& out) {
  std::string why;
  auto profiles = Load(OptionsOf(session, in), &why);
  if (!profiles) return Refused(out, why);
  if (Find(*profiles, in.name) != profiles->end())
    return Refused(out, "a profile " + in.name + " exists already: delete it first");
  Profile p{in.name, in.join, in.parsedSettings};
  profiles->push_back(p);
  if (!Save(OptionsOf(session, in), *profiles, &why)) return Refused(out, why);
  out.data["profile"] = in.name;
  Say(out, "Added profile {} for {}\n", Escape(in.name), Escape(in.join.ssid));
  return 0;
}

int ProfileDelete(Session* session, Invocation& in, Output& out) {
  std::string why;
  auto profiles = Load(OptionsOf(session, in), &why);
  if (!profiles) return Refused(out, why);
  const auto it = Find(*profiles, in.name);
  if (it == profiles->end()) return Refused(out, "no profile " + in.name);
  profiles->erase(it);
  if (!Save(OptionsOf(session, in), *profiles, &why)) return Refused(out, why);
  out.data["deleted"] = in.name;
  Say(out, "Deleted profile {}\n", Escape(in.name));
  return 0;
}

int ProfileUp(Session* session, Invocation& in, Output& out) {
  std::string why;
  auto profiles = Load(session->options(), &why);
  if (!profiles) return Refused(out, why);
  const auto it = Find(*profiles, in.name);
  if (it == profiles->end()) return Refused(out, "no profile " + in.name);
  std::vector<Setting> settings;
  for (const auto& [parameter, value] : it->settings) settings.emplace_back(FindParameter(parameter), value);
  out.data["profile"] = it->name;
  Say(out, "Profile {}\n", Escape(it->name));
  return RunJoin(*session, it->request, in.wait, settings, it->name, out);
}

}  // namespace halvexctl
