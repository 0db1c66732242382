// The radio parameters `get` and `set` know: names, units, ranges, the
// exports that read and change each, and the registry value the library
// stores it under, in the form it writes there.
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

// How the library writes a number under the adapter's key: as decimal or as
// hexadecimal text (no prefix). It reads every one back as decimal.
enum class Form { kDecimal, kHexadecimal };

struct Parameter {
  const char* name;
  const char* description;
  const char* unit;  // "" for a plain number or a choice
  uint32_t minimum, maximum;
  std::span<const Choice> choices;  // names accepted besides the numbers
  int (*query)(void* adapter, ULONG& value);
  const char* queryName;  // the export, as failures name it
  int (*set)(void* adapter, ULONG value);
  const char* setName;
  const char* registryValue;  // the value name under the adapter's key
  Form form = Form::kDecimal;
  bool hex = false;  // shown in hexadecimal
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

// The number a stored text stands for in `form` (decimal may be signed, as
// the library writes words of 0x80000000 and above); nothing when the text
// is not such a number.
std::optional<uint32_t> StoredNumber(std::string_view text, Form form);
// The text the library stores for `value` in `form`.
std::string StoredText(uint32_t value, Form form);
// The form of a number the library stores under `name` in the adapter's key:
// the parameters' and the other numbers the library writes; nothing for
// texts, keys and values the library does not write.
std::optional<Form> StoredFormOf(std::string_view name);

}  // namespace halvexctl
