#include "tools/text.h"

#include <fmt/format.h>
#include <algorithm>
#include <cstring>
#include <span>

#include "platform/hex.h"

namespace halvexctl {
namespace {

uint32_t Word(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The authentication suites (AKM) of an RSN or WPA element body starting at
// its version field: true for pre-shared key, false for 802.1X.
std::optional<bool> UsesPsk(const unsigned char* body, size_t size, size_t afterVersion) {
  // version(2) group cipher(4) pairwise count(2) pairwise list, AKM count(2) AKM list
  size_t at = afterVersion + 4;
  if (at + 2 > size) return std::nullopt;
  const size_t pairwise = body[at] | body[at + 1] << 8;
  at += 2 + 4 * pairwise;
  if (at + 2 > size) return std::nullopt;
  const size_t suites = body[at] | body[at + 1] << 8;
  at += 2;
  if (suites == 0 || at + 4 > size) return std::nullopt;
  return body[at + 3] == 2;
}

// The length of the UTF-8 sequence starting at `at`, or 0 when the bytes
// there are not one (overlong forms, surrogates and code points past U+10FFFF
// included).
size_t Utf8Length(std::string_view bytes, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  uint32_t minimum = 0, point = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, point = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    point = point << 6 | (byte(at + i) & 0x3F);
  }
  if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  return length;
}

std::string EscapeWith(std::string_view bytes, bool terse) {
  std::string text;
  for (size_t at = 0; at < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[at]);
    const size_t length = Utf8Length(bytes, at);
    // C1 controls are U+0080..U+009F: C2 80..C2 9F in UTF-8.
    const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(bytes[at + 1]) < 0xA0;
    if (length == 0 || c < 0x20 || c == 0x7F || c1) {
      text += fmt::format("\\x{:02X}", c);
      ++at;
      continue;
    }
    if (terse && (c == '\\' || c == ':')) text += '\\';
    text.append(bytes.substr(at, length));
    at += length;
  }
  return text;
}

}  // namespace

std::string Escape(std::string_view bytes) {
  return EscapeWith(bytes, false);
}

std::string TerseField(std::string_view bytes) {
  return EscapeWith(bytes, true);
}

bool IsUtf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = Utf8Length(bytes, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

uint32_t FrequencyOf(uint32_t channel) {
  if (channel == 14) return 2484;
  if (channel >= 1 && channel <= 13) return 2407 + 5 * channel;
  if (channel >= 32 && channel <= 177) return 5000 + 5 * channel;
  return 0;
}

bool IsPskText(std::string_view text) {
  if (text.size() == 64) return hx::hex::Decode<std::string>(text).has_value();
  return text.size() >= 8 && text.size() <= 63 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

std::string MacText(const unsigned char* b) {
  return fmt::format("{:02X}:{:02X}:{:02X}:{:02X}:{:02X}:{:02X}", b[0], b[1], b[2], b[3], b[4], b[5]);
}

int Bars(int32_t dbm) {
  if (dbm >= -55) return 4;
  if (dbm >= -65) return 3;
  if (dbm >= -75) return 2;
  if (dbm >= -85) return 1;
  return 0;
}

std::string BarsText(int32_t dbm) {
  const int bars = Bars(dbm);
  return std::string(static_cast<size_t>(bars), '*') + std::string(static_cast<size_t>(4 - bars), '-');
}

uint32_t ChannelOf(uint32_t kHz) {
  const uint32_t mhz = kHz / 1000;
  if (mhz == 2484) return 14;
  if (mhz >= 2412 && mhz <= 2472) return (mhz - 2407) / 5;
  if (mhz >= 5000 && mhz <= 5900) return (mhz - 5000) / 5;
  if (mhz >= 4900 && mhz < 5000) return (mhz - 4000) / 5;
  return 0;
}

std::string SecurityOf(const unsigned char* elements, size_t size, bool privacy) {
  std::optional<bool> rsn, wpa;
  for (size_t at = 0; at + 2 <= size;) {
    const unsigned char id = elements[at];
    const size_t length = elements[at + 1];
    const unsigned char* body = elements + at + 2;
    if (at + 2 + length > size) break;
    if (id == 48 && length >= 2) rsn = UsesPsk(body, length, 2).value_or(false);
    static const unsigned char kWpaOui[] = {0x00, 0x50, 0xF2, 0x01};
    if (id == 221 && length >= 6 && std::memcmp(body, kWpaOui, 4) == 0)
      wpa = UsesPsk(body, length, 6).value_or(false);
    at += 2 + length;
  }
  if (rsn) return *rsn ? "WPA2-PSK" : "WPA2-EAP";
  if (wpa) return *wpa ? "WPA-PSK" : "WPA-EAP";
  return privacy ? "WEP" : "open";
}

std::vector<Network> ReadScanList(const unsigned char* list, size_t size) {
  std::vector<Network> networks;
  if (size < 4) return networks;
  const uint32_t count = Word(list);
  size_t at = 4;
  for (uint32_t i = 0; i < count; ++i) {
    // Fixed part up to the elements' length word; the entry's own Length
    // must cover it and stay inside the list.
    if (at + 116 > size) break;
    const unsigned char* entry = list + at;
    const uint32_t length = Word(entry);
    if (length < 116 || length > size - at) break;
    const uint32_t elementsLength = Word(entry + 112);
    if (elementsLength > length - 116) break;
    Network n;
    std::memcpy(n.bssid, entry + 4, 6);
    n.ssid.assign(reinterpret_cast<const char*>(entry + 16), std::min<uint32_t>(Word(entry + 12), 32));
    n.rssi = static_cast<int32_t>(Word(entry + 52));
    n.channel = ChannelOf(Word(entry + 72));
    const bool privacy = Word(entry + 48) != 0;
    // The first 12 element bytes are the fixed fields of the beacon.
    n.security = elementsLength > 12 ? SecurityOf(entry + 128, elementsLength - 12, privacy)
                                     : SecurityOf(nullptr, 0, privacy);
    networks.push_back(std::move(n));
    at += length;
  }
  std::stable_sort(networks.begin(), networks.end(),
                   [](const Network& a, const Network& b) { return a.rssi > b.rssi; });
  return networks;
}

namespace {
struct StateWord {
  int state;
  const char* text;
};
std::string Lookup(std::span<const StateWord> words, int state) {
  for (const StateWord& w : words) {
    if (w.state == state) return w.text;
  }
  return fmt::format("unknown ({})", state);
}
}  // namespace

std::string SupplicantStateText(int state) {
  // The last toolkit event the library handled.
  static constexpr StateWord kWords[] = {
      {0, "idle"},
      {1, "link state changed"},
      {2, "authentication state changed"},
      {3, "connected"},
      {4, "toolkit event 4"},
      {5, "setting the WEP key"},
      {6, "adding a key"},
      {7, "removing a key"},
      {8, "sending an EAPOL frame"},
      {14, "validating the server certificate"},
      {15, "starting authentication"},
      {16, "connection error"},
  };
  return Lookup(kWords, state);
}

std::string LinkStateText(int state) {
  static constexpr StateWord kWords[] = {{0, "none"},           {1, "idle"},
                                         {2, "authenticating"}, {3, "key wait"},
                                         {4, "connected"},      {5, "unauthenticated key wait"},
                                         {6, "connected"},      {7, "open or timed out"}};
  return Lookup(kWords, state);
}

std::string AuthStateText(int state) {
  static constexpr StateWord kWords[] = {{0, "none"},         {1, "logged off"}, {3, "failed"},
                                         {4, "connected"},    {5, "acquired"},   {6, "authenticating"},
                                         {7, "authenticated"}};
  return Lookup(kWords, state);
}

std::optional<std::string> WepKeyBytes(std::string_view text) {
  return hx::hex::WepKey<std::string>(text);
}

}  // namespace halvexctl
