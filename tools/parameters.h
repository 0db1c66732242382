// The radio parameters `get` and `set` know: names, units, ranges and the
// exports that read, change and store each.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "HalvexTypes.h"

namespace halvexctl {

struct Choice {
  const char* name;
  uint32_t value;
};

struct Parameter {
  const char* name;
  const char* description;
  const char* unit;  // "" for a plain number or a choice
  uint32_t minimum, maximum;
  std::span<const Choice> choices;  // names accepted besides the numbers
  int (*query)(void* adapter, ULONG& value);
  int (*set)(void* adapter, ULONG value);
  int (*stored)(void* adapter, ULONG& value);  // the registry's copy; null: none
  bool hex = false;                            // shown in hexadecimal
};

std::span<const Parameter> Parameters();
const Parameter* FindParameter(std::string_view name);

// A value as typed (decimal, 0x-hex or a choice's name), checked against the
// parameter's range; the reason when it is not acceptable.
std::optional<uint32_t> ParseValue(const Parameter& parameter, std::string_view text, std::string* why);
// The value as shown: the choice's name, or the number with its unit.
std::string ValueText(const Parameter& parameter, uint32_t value);
// One line per parameter for --help.
std::string ParameterHelp();

}  // namespace halvexctl
