#include "tools/parameters.h"

#include <fmt/format.h>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>

#include "Halvex.h"

namespace halvexctl {
namespace {

constexpr Choice kOnOff[] = {{"off", 0}, {"on", 1}};
constexpr Choice kPreamble[] = {{"long", 0}, {"short", 1}, {"auto", 2}};
constexpr Choice kPower[] = {{"cam", 0}, {"max-psp", 1}, {"fast-psp", 2}};
constexpr Choice kNetwork[] = {{"adhoc", 0}, {"infrastructure", 1}, {"auto", 2}};
constexpr Choice kAuth[] = {{"open", 0},    {"shared", 1},   {"auto", 2}, {"wpa", 3},
                            {"wpa-psk", 4}, {"wpa-none", 5}, {"wpa2", 6}, {"wpa2-psk", 7}};
constexpr Choice kEncryption[] = {{"wep", 0},  {"disabled", 1},   {"wep-nokey", 2}, {"wep-unsupported", 3},
                                  {"tkip", 4}, {"tkip-nokey", 5}, {"aes", 6},       {"aes-nokey", 7}};
constexpr Choice kAntenna[] = {{"main", 0}, {"aux", 1}, {"diversity", 2}};
constexpr Choice kWlan[] = {{"b", 0}, {"g", 1}, {"mixed", 2}};

constexpr Form kDec = Form::kDecimal, kHex = Form::kHexadecimal;

const Parameter kParameters[] = {
    {"channel",
     "the radio channel",
     "",
     1,
     14,
     {},
     HalvexQueryChannel,
     "HalvexQueryChannel",
     HalvexSetChannel,
     "HalvexSetChannel",
     "Channel"},
    {"tx-power",
     "transmit power",
     "%",
     0,
     100,
     {},
     HalvexQueryTxPower,
     "HalvexQueryTxPower",
     HalvexSetTxPower,
     "HalvexSetTxPower",
     "TxPowerLvl"},
    {"power-mode", "power saving", "", 0, 2, kPower, HalvexQueryPowerMode, "HalvexQueryPowerMode",
     HalvexSetPowerMode, "HalvexSetPowerMode", "PowerMode"},
    {"preamble", "802.11b preamble", "", 0, 2, kPreamble, HalvexQueryPreamble, "HalvexQueryPreamble",
     HalvexSetPreamble, "HalvexSetPreamble", "Preamble"},
    {"frag-threshold",
     "fragmentation threshold",
     "bytes",
     256,
     2346,
     {},
     HalvexQueryFragThreshold,
     "HalvexQueryFragThreshold",
     HalvexSetFragThreshold,
     "HalvexSetFragThreshold",
     "FragThsd"},
    {"rts-threshold",
     "RTS/CTS threshold",
     "bytes",
     0,
     2347,
     {},
     HalvexQueryRTSThreshold,
     "HalvexQueryRTSThreshold",
     HalvexSetRTSThreshold,
     "HalvexSetRTSThreshold",
     "RTSThsd"},
    {"data-rate",
     "transmit rate, 0 for automatic",
     "x 500 kbit/s",
     0,
     108,
     {},
     HalvexQueryDataRate,
     "HalvexQueryDataRate",
     HalvexSetDataRate,
     "HalvexSetDataRate",
     "DataRate",
     kHex},
    {"tx-antenna", "transmit antenna", "", 0, 2, kAntenna, HalvexQueryTxAntenna, "HalvexQueryTxAntenna",
     HalvexSetTxAntenna, "HalvexSetTxAntenna", "TxAntenna", kHex},
    {"rx-antenna", "receive antenna", "", 0, 2, kAntenna, HalvexQueryRxAntenna, "HalvexQueryRxAntenna",
     HalvexSetRxAntenna, "HalvexSetRxAntenna", "RxAntenna", kHex},
    {"radio", "the radio switched on or off", "", 0, 1, kOnOff, HalvexQueryRadioControl,
     "HalvexQueryRadioControl", HalvexSetRadioControl, "HalvexSetRadioControl", "RadioOn"},
    {"wlan-mode", "802.11 mode", "", 0, 2, kWlan, HalvexQueryWlanMode, "HalvexQueryWlanMode",
     HalvexSetWlanMode, "HalvexSetWlanMode", "Wireless Mode"},
    {"boost-mode", "throughput boost", "", 0, 1, kOnOff, HalvexQueryBoostMode, "HalvexQueryBoostMode",
     HalvexSetBoostMode, "HalvexSetBoostMode", "BoostMode"},
    {"wmm", "Wi-Fi multimedia", "", 0, 1, kOnOff, HalvexQueryWMMSupport, "HalvexQueryWMMSupport",
     HalvexSetWMMSupport, "HalvexSetWMMSupport", "WMM"},
    {"network-mode", "infrastructure or ad hoc", "", 0, 2, kNetwork, HalvexQueryNetworkMode,
     "HalvexQueryNetworkMode", HalvexSetNetworkMode, "HalvexSetNetworkMode", "NetworkMode"},
    {"auth-mode", "802.11 authentication", "", 0, 7, kAuth, HalvexQueryAuthMode, "HalvexQueryAuthMode",
     HalvexSetAuthMode, "HalvexSetAuthMode", "AuthMode"},
    {"encryption", "encryption status", "", 0, 7, kEncryption, HalvexQueryWepStatus, "HalvexQueryWepStatus",
     HalvexSetWepStatus, "HalvexSetWepStatus", "WepStatus"},
    {"channel-range",
     "channels allowed, one bit each",
     "",
     0,
     0x3FFF,
     {},
     HalvexQueryChannelRange,
     "HalvexQueryChannelRange",
     HalvexSetChannelRange,
     "HalvexSetChannelRange",
     "ChannelRange",
     kHex,
     true},
    {"signal-threshold",
     "signal thresholds (driver-defined word)",
     "",
     0,
     0xFFFFFFFF,
     {},
     HalvexQuerySignalThreshold,
     "HalvexQuerySignalThreshold",
     HalvexSetSignalThreshold,
     "HalvexSetSignalThreshold",
     "SignalThsds",
     kDec,
     true},
    {"tx-fail-threshold",
     "transmit failure thresholds (driver-defined word)",
     "",
     0,
     0xFFFFFFFF,
     {},
     HalvexQueryTxFailThreshold,
     "HalvexQueryTxFailThreshold",
     HalvexSetTxFailThreshold,
     "HalvexSetTxFailThreshold",
     "TxFailThsds",
     kDec,
     true},
};

// The library's other numbers under the adapter's key.
struct StoredNumberName {
  const char* name;
  Form form;
};
constexpr StoredNumberName kOtherNumbers[] = {
    {"TxWepKey", kDec},   {"WepKeySize", kDec},        {"WIFI", kDec},
    {"AdhocGMode", kDec}, {"AdhocBeaconPeriod", kDec},
};

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::span<const Parameter> Parameters() {
  return kParameters;
}

const Parameter* FindParameter(std::string_view name) {
  for (const Parameter& p : kParameters) {
    if (name == p.name) return &p;
  }
  return nullptr;
}

std::optional<uint32_t> ParseValue(const Parameter& parameter, std::string_view text, std::string* why) {
  for (const Choice& choice : parameter.choices) {
    if (text == choice.name) return choice.value;
  }
  const std::string_view typed = text;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  const bool whole = !text.empty() && end == text.data() + text.size();
  const std::string range = parameter.hex
                                ? fmt::format("0x{:X}..0x{:X}", parameter.minimum, parameter.maximum)
                                : fmt::format("{}..{}", parameter.minimum, parameter.maximum);
  if (whole && (error == std::errc::result_out_of_range || negative)) {
    // A number all the same: say where it falls, not that it is none.
    *why = fmt::format("{} is outside {}", typed, range);
    return std::nullopt;
  }
  if (!whole || error != std::errc()) {
    std::string names;
    for (const Choice& choice : parameter.choices)
      names += std::string(names.empty() ? "" : ", ") + choice.name;
    *why = names.empty() ? "not a number" : "not a number or one of " + names;
    return std::nullopt;
  }
  if (value < parameter.minimum || value > parameter.maximum) {
    *why = fmt::format("{} is outside {}", typed, range);
    return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::string ValueText(const Parameter& parameter, uint32_t value) {
  for (const Choice& choice : parameter.choices) {
    if (choice.value == value) return choice.name;
  }
  std::string text = parameter.hex ? fmt::format("0x{:X}", value) : fmt::format("{}", value);
  if (*parameter.unit != '\0') text += std::string(parameter.unit[0] == '%' ? "" : " ") + parameter.unit;
  return text;
}

std::string ParameterHelp() {
  std::string text = "Radio parameters (get NAME, set NAME VALUE):\n";
  for (const Parameter& p : kParameters) {
    std::string range = p.hex ? fmt::format("0x{:X}..0x{:X}", p.minimum, p.maximum)
                              : fmt::format("{}..{}", p.minimum, p.maximum);
    if (!p.choices.empty()) {
      range.clear();
      for (const Choice& c : p.choices)
        range += fmt::format("{}{}={}", range.empty() ? "" : " ", c.name, c.value);
    } else if (*p.unit != '\0') {
      range += std::string(" ") + p.unit;
    }
    text += fmt::format("  {:<18} {} ({})\n", p.name, p.description, range);
  }
  return text;
}

}  // namespace halvexctl

namespace halvexctl {

std::optional<uint32_t> StoredNumber(std::string_view text, Form form) {
  // The library stores no NUL, but a file imported by other tools may.
  while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  if (form == Form::kHexadecimal) {
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
  }
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (error != std::errc() || end != text.data() + text.size() || value < INT32_MIN || value > UINT32_MAX)
    return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::string StoredText(uint32_t value, Form form) {
  return form == Form::kHexadecimal ? fmt::format("{:X}", value)
                                    : fmt::format("{}", static_cast<int32_t>(value));
}

std::optional<Form> StoredFormOf(std::string_view name) {
  for (const Parameter& p : kParameters) {
    if (EqualNoCase(name, p.registryValue)) return p.form;
  }
  for (const StoredNumberName& n : kOtherNumbers) {
    if (EqualNoCase(name, n.name)) return n.form;
  }
  return std::nullopt;
}

}  // namespace halvexctl
