// The setting family as data: one row per command that hands the driver a
// single value, served by one routine that also keeps the adapter's stored
// copy of the value.
#pragma once

#include <atomic>
#include <cstdint>

#include "Halvex.h"
#include "frame/state.h"

namespace hx {

enum class Persist : uint8_t {
  kNever,
  kFirst,      // stored before the request, whatever its outcome
  kOnSuccess,  // stored only when the request's result is 0 (pending included)
};

enum class Form : uint8_t { kDecimal, kHexadecimal };

enum class Payload : uint8_t {
  kWord,       // the value, 4 bytes
  kRateArray,  // 8-byte rate array: the value's low byte, then zeros
  kNone,       // no payload: the OID alone is the command
};

using StateWord = std::atomic<uint32_t> LibraryState::*;

struct Setting {
  uint32_t oid;
  const char* name = nullptr;  // value name under the adapter's key
  Form form = Form::kDecimal;
  Persist persist = Persist::kNever;
  Payload payload = Payload::kWord;
  StateWord desired = nullptr;  // takes the value before the request, whatever follows
  StateWord busy = nullptr;     // counted up before the request, down after the registry step
};

// Sends `value` as the row says and returns the request's result; the stored
// copy is always the caller's value, never what the driver wrote back.
int ApplySetting(const Setting& setting, void* adapter, ULONG value);

// A caller's record about to be sent in place: readable over `length`, and
// its first word writable when the channel will copy the status word back.
bool CanSendInPlace(void* record, ULONG length);

}  // namespace hx
