// What halvexctl shows and how: escaped texts, signal bars, the networks of a
// scan list and what their elements say about their security.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvexctl {

// Bytes as a terminal can show them without obeying them: control bytes (C0,
// DEL, and C1 in UTF-8) and bytes that are not UTF-8 escaped as \xNN;
// everything else unchanged.
std::string Escape(std::string_view bytes);
// A field of terse (colon-separated) output: Escape's form, with backslash and
// colon escaped too (\\ and \:), so that a reader can split the line and
// take each field back.
std::string TerseField(std::string_view bytes);
// True when the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view bytes);
// The centre frequency of a 2.4 GHz or 5 GHz channel in MHz; 0 for none.
uint32_t FrequencyOf(uint32_t channel);
// A WPA pass phrase as given: 8 to 63 printable ASCII characters, or the
// pre-shared key itself as 64 hexadecimal digits.
bool IsPskText(std::string_view text);
std::string MacText(const unsigned char* mac);
// Four steps of signal: "****" at -55 dBm or better down to "----" below -85.
int Bars(int32_t dbm);
std::string BarsText(int32_t dbm);
// The 802.11 channel of a DSConfig frequency in kHz; 0 when it is none.
uint32_t ChannelOf(uint32_t kHz);

struct Network {
  std::string ssid;  // raw bytes
  unsigned char bssid[6] = {};
  uint32_t channel = 0;
  int32_t rssi = 0;
  std::string security;  // open, WEP, WPA-PSK, WPA-EAP, WPA2-PSK, WPA2-EAP
};

// The entries of an NDIS_802_11_BSSID_LIST_EX of `size` bytes, strongest
// first; the reading stops at the first entry that does not fit.
std::vector<Network> ReadScanList(const unsigned char* list, size_t size);
// What a network's variable elements (and its privacy flag) announce.
std::string SecurityOf(const unsigned char* elements, size_t size, bool privacy);

// The supplicant's three states (HalvexGetWPASuppStatus 0, 1, 2) in words.
std::string SupplicantStateText(int state);
std::string LinkStateText(int state);
std::string AuthStateText(int state);

// A WEP key as people type it: 5 or 13 characters, or 10 or 26 hex digits.
std::optional<std::string> WepKeyBytes(std::string_view text);

}  // namespace halvexctl
