#include "sim/world_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/hex.h"

namespace hx::sim {
namespace {

using nlohmann::json;

std::string Hex(const Bytes& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    text += pair;
  }
  return text;
}

std::optional<MacAddress> ParseMac(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c != ':' && c != '-') digits += c;
  }
  const auto bytes = hex::Decode<Bytes>(digits);
  if (!bytes || bytes->size() != 6 || text.size() != 17) return std::nullopt;
  MacAddress mac{};
  std::copy(bytes->begin(), bytes->end(), mac.begin());
  return mac;
}

// The line a byte offset of `text` falls on, counted from 1.
size_t LineOf(std::string_view text, size_t offset) {
  offset = std::min(offset, text.size());
  return 1 +
         static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<ptrdiff_t>(offset), '\n'));
}

// Nesting no state file needs; deeper is refused before it is parsed.
constexpr int kMaxDepth = 16;

// The offset where `text` first nests deeper than kMaxDepth, if it does.
std::optional<size_t> TooDeep(std::string_view text) {
  int depth = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return std::nullopt;
}

std::optional<json> ParseJson(std::string_view text, std::string* error) {
  if (const auto deep = TooDeep(text)) {
    *error = "line " + std::to_string(LineOf(text, *deep)) + ": nested more than " +
             std::to_string(kMaxDepth) + " deep";
    return std::nullopt;
  }
  // The parser's own text repeats the offset; the line is what people use.
  auto reason = [](const std::exception& e) {
    std::string text = e.what();
    if (const auto colon = text.find("]: "); colon != std::string::npos) text = text.substr(colon + 3);
    return text;
  };
  try {
    return json::parse(text);
  } catch (const json::parse_error& e) {
    *error = "line " + std::to_string(LineOf(text, e.byte == 0 ? 0 : e.byte - 1)) + ": " + reason(e);
  } catch (const json::exception& e) {
    // A number out of range names itself: its line is where it first stands.
    std::string line = "1";
    const std::string what = e.what();
    if (const auto open = what.find('\''), close = what.rfind('\'');
        open != std::string::npos && close > open) {
      if (const auto found = text.find(what.substr(open + 1, close - open - 1)); found != std::string::npos)
        line = std::to_string(LineOf(text, found));
    }
    *error = "line " + line + ": " + reason(e);
  }
  return std::nullopt;
}

// "a.b.c.d:port", as the access point's RADIUS client takes it.
bool IsServerAddress(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  int dots = 0, digits = 0;
  for (size_t i = 0; i < colon; ++i) {
    if (text[i] == '.') {
      if (digits == 0) return false;
      ++dots;
      digits = 0;
    } else if (std::isdigit(static_cast<unsigned char>(text[i])) && ++digits <= 3) {
      continue;
    } else {
      return false;
    }
  }
  const std::string port = text.substr(colon + 1);
  return dots == 3 && digits != 0 && !port.empty() && port.size() <= 5 &&
         std::all_of(port.begin(), port.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
         std::stoul(port) >= 1 && std::stoul(port) <= 65535;
}

// An 802.1X network's users: "users" (name and password each), or the older
// single "password", which any user name may use.
std::vector<NetworkUser> ReadUsers(const json& entry) {
  std::vector<NetworkUser> users;
  if (entry.contains("users")) {
    const json& list = entry["users"];
    if (!list.is_array()) throw std::runtime_error("\"users\" is not a list");
    for (size_t i = 0; i < list.size(); ++i) {
      const json& user = list[i];
      const std::string where = "user " + std::to_string(i + 1) + ": ";
      if (!user.is_object() || !user.contains("name") || !user["name"].is_string() ||
          user["name"].get<std::string>().empty())
        throw std::runtime_error(where + "\"name\" must be a text that is not empty");
      if (!user.contains("password") || !user["password"].is_string())
        throw std::runtime_error(where + "\"password\" must be a text");
      users.push_back({user["name"].get<std::string>(), user["password"].get<std::string>()});
    }
  }
  if (entry.contains("password")) {
    if (!entry["password"].is_string()) throw std::runtime_error("\"password\" is not a text");
    users.push_back({"*", entry["password"].get<std::string>()});
  }
  if (users.empty() && !entry.contains("radius"))
    throw std::runtime_error("\"users\" is missing (or \"radius\", a server of the network's own)");
  return users;
}

std::optional<RadiusServerConfig> ReadRadius(const json& entry) {
  if (!entry.contains("radius")) return std::nullopt;
  const json& radius = entry["radius"];
  if (!radius.is_object() || !radius.contains("server") || !radius["server"].is_string() ||
      !IsServerAddress(radius["server"].get<std::string>()))
    throw std::runtime_error("\"radius\": \"server\" must be an address and port such as 127.0.0.1:1812");
  if (!radius.contains("secret") || !radius["secret"].is_string() ||
      radius["secret"].get<std::string>().empty())
    throw std::runtime_error("\"radius\": \"secret\" must be a text that is not empty");
  return RadiusServerConfig{radius["server"].get<std::string>(), radius["secret"].get<std::string>()};
}

// One entry of the access-points file; throws std::runtime_error naming the fault.
AccessPoint ReadAccessPoint(const json& entry, size_t index) {
  if (!entry.is_object()) throw std::runtime_error("is not an object");
  const auto text = [&](const char* name) -> std::optional<std::string> {
    if (!entry.contains(name)) return std::nullopt;
    if (!entry[name].is_string()) throw std::runtime_error(std::string("\"") + name + "\" is not a text");
    return entry[name].get<std::string>();
  };
  const auto number = [&](const char* name, int64_t fallback, int64_t low, int64_t high) {
    if (!entry.contains(name)) return fallback;
    if (!entry[name].is_number_integer())
      throw std::runtime_error(std::string("\"") + name + "\" is not a whole number");
    const int64_t value = entry[name].get<int64_t>();
    if (value < low || value > high)
      throw std::runtime_error(std::string("\"") + name + "\" " + std::to_string(value) + " is outside " +
                               std::to_string(low) + ".." + std::to_string(high));
    return value;
  };
  const std::optional<std::string> ssid = text("ssid");
  if (!ssid || ssid->empty() || ssid->size() > 32) throw std::runtime_error("\"ssid\" must be 1 to 32 bytes");
  const auto channel = static_cast<uint32_t>(number("channel", 6, 1, 14));
  const auto rssi = static_cast<int32_t>(number("rssi", -50, -100, 0));
  const auto quality = static_cast<int32_t>(number("quality", 80, 0, 100));
  const auto lastByte = static_cast<uint8_t>(index + 1);
  const std::string security = text("security").value_or("open");

  AccessPoint ap;
  if (security == "open") {
    ap = MakeAccessPoint(*ssid, lastByte, channel, rssi, quality);
  } else if (security == "wep") {
    const auto key = text("key");
    const auto bytes = key ? ParseWepKey(*key) : std::nullopt;
    if (!bytes) throw std::runtime_error("\"key\" must be 5 or 13 characters, or 10 or 26 hex digits");
    ap = WepAccessPoint(*ssid, lastByte, channel, *bytes);
  } else if (security == "wpa-psk" || security == "wpa2-psk") {
    const auto passphrase = text("passphrase");
    if (!passphrase || passphrase->size() < 8 || passphrase->size() > 63)
      throw std::runtime_error("\"passphrase\" must be 8 to 63 characters");
    ap = PskAccessPoint(*ssid, lastByte, channel, *passphrase, security == "wpa-psk");
  } else if (security == "wpa2-eap") {
    ap = EnterpriseAccessPoint(*ssid, lastByte, channel, ReadUsers(entry), ReadRadius(entry));
  } else {
    throw std::runtime_error("\"security\" \"" + security +
                             "\" is not one of open, wep, wpa-psk, wpa2-psk, wpa2-eap");
  }
  ap.rssi = rssi;
  ap.quality = quality;
  if (const auto bssid = text("bssid")) {
    const auto mac = ParseMac(*bssid);
    if (!mac) throw std::runtime_error("\"bssid\" must be six hex pairs such as 00:11:22:33:44:01");
    ap.bssid = *mac;
  }
  if (entry.contains("hidden")) {
    if (!entry["hidden"].is_boolean()) throw std::runtime_error("\"hidden\" is not true or false");
    ap.hidden = entry["hidden"].get<bool>();
  }
  return ap;
}

}  // namespace

std::string DefaultAccessPointsText() {
  const json file = {
      {"accessPoints",
       json::array({
           {{"ssid", "HalvexOpen"}, {"channel", 6}, {"rssi", -45}, {"quality", 92}, {"security", "open"}},
           {{"ssid", "HalvexWPA"},
            {"channel", 1},
            {"rssi", -67},
            {"quality", 60},
            {"security", "wpa-psk"},
            {"passphrase", "halvex-wpa-pass"}},
           {{"ssid", "HalvexWPA2"},
            {"channel", 11},
            {"rssi", -72},
            {"quality", 48},
            {"security", "wpa2-psk"},
            {"passphrase", "halvex-wpa2-pass"}},
           {{"ssid", "HalvexWEP"},
            {"channel", 3},
            {"rssi", -55},
            {"quality", 75},
            {"security", "wep"},
            {"key", "Key!!"}},
           // The machine's built-in RADIUS server knows these users; each
           // has a client certificate for EAP-TLS beside its CA.
           {{"ssid", "HalvexCorp"},
            {"channel", 6},
            {"rssi", -60},
            {"quality", 70},
            {"security", "wpa2-eap"},
            {"users", json::array({{{"name", "alice"}, {"password", "s3cret"}},
                                   {{"name", "bob"}, {"password", "bob-pass-2"}}})}},
       })}};
  return file.dump(2) + "\n";
}

std::optional<std::vector<AccessPoint>> ParseAccessPoints(std::string_view text, std::string* error) {
  const auto parsed = ParseJson(text, error);
  if (!parsed) return std::nullopt;
  if (!parsed->is_object() || !parsed->contains("accessPoints") || !(*parsed)["accessPoints"].is_array()) {
    *error = "line 1: expected an object with an \"accessPoints\" list";
    return std::nullopt;
  }
  std::vector<AccessPoint> points;
  const json& list = (*parsed)["accessPoints"];
  for (size_t i = 0; i < list.size(); ++i) {
    try {
      points.push_back(ReadAccessPoint(list[i], i));
    } catch (const std::exception& e) {
      *error = "access point " + std::to_string(i + 1) + ": " + e.what();
      return std::nullopt;
    }
  }
  return points;
}

std::string WorldStateText(const WorldState& state) {
  json values = json::object();
  char oid[11];
  for (const auto& [code, bytes] : state.values) {
    std::snprintf(oid, sizeof oid, "0x%08X", static_cast<unsigned>(code));
    values[oid] = Hex(bytes);
  }
  json file = {{"associated", state.associated ? json(*state.associated) : json(nullptr)},
               {"radioOn", state.radioOn},
               {"values", values}};
  if (state.counters) file["counters"] = *state.counters;
  if (state.channel) file["channel"] = *state.channel;
  return file.dump(2) + "\n";
}

std::optional<WorldState> ParseWorldState(std::string_view text, std::string* error) {
  const auto parsed = ParseJson(text, error);
  if (!parsed) return std::nullopt;
  WorldState state;
  try {
    const json& file = *parsed;
    if (!file.is_object()) throw std::runtime_error("expected an object");
    if (file.contains("associated") && !file["associated"].is_null())
      state.associated = file["associated"].get<std::string>();
    if (file.contains("radioOn")) state.radioOn = file["radioOn"].get<bool>();
    if (file.contains("counters")) state.counters = file["counters"].get<std::array<uint64_t, 12>>();
    if (file.contains("channel")) state.channel = file["channel"].get<uint32_t>();
    if (file.contains("values")) {
      for (const auto& [name, value] : file["values"].items()) {
        size_t used = 0;
        const unsigned long code = std::stoul(name, &used, 16);
        const auto bytes = hex::Decode<Bytes>(value.get<std::string>());
        if (used != name.size() || code > 0xFFFFFFFFul || !bytes)
          throw std::runtime_error("value " + name + " is not an OID with hex bytes");
        state.values[static_cast<uint32_t>(code)] = *bytes;
      }
    }
  } catch (const std::exception& e) {
    *error = std::string("line 1: ") + e.what();
    return std::nullopt;
  }
  return state;
}

std::optional<Bytes> ParseWepKey(std::string_view text) {
  return hex::WepKey<Bytes>(text);
}

}  // namespace hx::sim
