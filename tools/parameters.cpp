#include "tools/parameters.h"

#include <fmt/format.h>
#include <charconv>

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

const Parameter kParameters[] = {
    {"channel", "the radio channel", "", 1, 14, {}, HalvexQueryChannel, HalvexSetChannel, nullptr},
    {"tx-power",
     "transmit power",
     "%",
     0,
     100,
     {},
     HalvexQueryTxPower,
     HalvexSetTxPower,
     HalvexQueryRegTxPower},
    {"power-mode", "power saving", "", 0, 2, kPower, HalvexQueryPowerMode, HalvexSetPowerMode,
     HalvexQueryRegPowerMode},
    {"preamble", "802.11b preamble", "", 0, 2, kPreamble, HalvexQueryPreamble, HalvexSetPreamble,
     HalvexQueryRegPreamble},
    {"frag-threshold",
     "fragmentation threshold",
     "bytes",
     256,
     2346,
     {},
     HalvexQueryFragThreshold,
     HalvexSetFragThreshold,
     HalvexQueryRegFragThreshold},
    {"rts-threshold",
     "RTS/CTS threshold",
     "bytes",
     0,
     2347,
     {},
     HalvexQueryRTSThreshold,
     HalvexSetRTSThreshold,
     HalvexQueryRegRTSThreshold},
    {"data-rate",
     "transmit rate, 0 for automatic",
     "x 500 kbit/s",
     0,
     108,
     {},
     HalvexQueryDataRate,
     HalvexSetDataRate,
     HalvexQueryRegDataRate},
    {"tx-antenna", "transmit antenna", "", 0, 2, kAntenna, HalvexQueryTxAntenna, HalvexSetTxAntenna,
     HalvexQueryRegTxAntenna},
    {"rx-antenna", "receive antenna", "", 0, 2, kAntenna, HalvexQueryRxAntenna, HalvexSetRxAntenna,
     HalvexQueryRegRxAntenna},
    {"radio", "the radio switched on or off", "", 0, 1, kOnOff, HalvexQueryRadioControl,
     HalvexSetRadioControl, nullptr},
    {"wlan-mode", "802.11 mode", "", 0, 2, kWlan, HalvexQueryWlanMode, HalvexSetWlanMode, nullptr},
    {"boost-mode", "throughput boost", "", 0, 1, kOnOff, HalvexQueryBoostMode, HalvexSetBoostMode,
     HalvexQueryRegBoostMode},
    {"wmm", "Wi-Fi multimedia", "", 0, 1, kOnOff, HalvexQueryWMMSupport, HalvexSetWMMSupport,
     HalvexQueryRegWMMSupport},
    {"network-mode", "infrastructure or ad hoc", "", 0, 2, kNetwork, HalvexQueryNetworkMode,
     HalvexSetNetworkMode, nullptr},
    {"auth-mode", "802.11 authentication", "", 0, 7, kAuth, HalvexQueryAuthMode, HalvexSetAuthMode, nullptr},
    {"encryption", "encryption status", "", 0, 7, kEncryption, HalvexQueryWepStatus, HalvexSetWepStatus,
     nullptr},
    {"channel-range",
     "channels allowed, one bit each",
     "",
     0,
     0x3FFF,
     {},
     HalvexQueryChannelRange,
     HalvexSetChannelRange,
     nullptr,
     true},
    {"signal-threshold",
     "signal thresholds (driver-defined word)",
     "",
     0,
     0xFFFFFFFF,
     {},
     HalvexQuerySignalThreshold,
     HalvexSetSignalThreshold,
     nullptr,
     true},
    {"tx-fail-threshold",
     "transmit failure thresholds (driver-defined word)",
     "",
     0,
     0xFFFFFFFF,
     {},
     HalvexQueryTxFailThreshold,
     HalvexSetTxFailThreshold,
     nullptr,
     true},
};

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
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    std::string names;
    for (const Choice& choice : parameter.choices)
      names += std::string(names.empty() ? "" : ", ") + choice.name;
    *why = names.empty() ? "not a number" : "not a number or one of " + names;
    return std::nullopt;
  }
  if (value < parameter.minimum || value > parameter.maximum) {
    *why = fmt::format("{} is outside {}..{}", value, parameter.minimum, parameter.maximum);
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
