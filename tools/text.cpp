#include "tools/text.h"

#include <fmt/format.h>
#include <algorithm>
#include <cstring>

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

}  // namespace

std::string Escape(std::string_view bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c < 0x20 || c == 0x7F) {
      text += fmt::format("\\x{:02X}", c);
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
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

std::optional<std::string> WepKeyBytes(std::string_view text) {
  return hx::hex::WepKey<std::string>(text);
}

}  // namespace halvexctl
