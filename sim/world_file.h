// The simulated machine's two user-visible files: the access points in range
// (written by people, so every fault is reported with its line) and what the
// adapter was doing when the last run ended.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/radio_world.h"

namespace hx::sim {

// The access points a first run writes: open, WPA, WPA2, WEP and 802.1X.
std::string DefaultAccessPointsText();

// Reads an access-points file; on a fault returns nothing and says where
// ("line 7: ...") in *error.
std::optional<std::vector<AccessPoint>> ParseAccessPoints(std::string_view text, std::string* error);

// What the adapter was doing.
struct WorldState {
  std::optional<std::string> associated;  // SSID of the access point it was associated with
  bool radioOn = true;
  std::optional<uint32_t> channel;                   // where the station sits while not associated
  std::optional<std::array<uint64_t, 12>> counters;  // the statistics record's counters
  std::map<uint32_t, Bytes> values;                  // the driver's stored answers, by OID
};
std::string WorldStateText(const WorldState& state);
std::optional<WorldState> ParseWorldState(std::string_view text, std::string* error);

// A WEP key as people type it: 5 or 13 characters, or 10 or 26 hex digits.
std::optional<Bytes> ParseWepKey(std::string_view text);

}  // namespace hx::sim
