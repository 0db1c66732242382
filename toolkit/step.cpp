#include "toolkit/step.h"

#include <cstring>
#include <vector>

namespace odstk_sim {
namespace {

struct StateEvent {
  ULONG Reserved;
  ULONG Type;
  ULONG Reserved2[2];
  ULONG LinkState;  // type 1
  ULONG AuthState;  // type 2
};
static_assert(offsetof(StateEvent, LinkState) == ODSTK_EVENT_LINK_STATE_OFFSET);
static_assert(offsetof(StateEvent, AuthState) == ODSTK_EVENT_WORD_OFFSET);

// The key record: Length, KeyIndex, KeyLength, BSSID, padding to the 64-bit
// KeyRSC at 24, the material at 32.
constexpr size_t kKeyHeader = 32;
constexpr size_t kKeyRscOffset = 24;

}  // namespace

bool LinkStep::Raise(void* event) {
  ODSTK_LINK_CALLBACK callback;
  ULONG value;
  {
    Lock lock(Toolkit().mu);
    if (!LiveLocked()) return false;
    callback = link_->callback;
    value = link_->callbackValue;
  }
  if (callback) callback(value, event);
  return true;
}

bool LinkStep::RaiseLinkState(ULONG state) {
  StateEvent event{0, kEventLinkState, {}, state, 0};
  return Raise(&event);
}

bool LinkStep::RaiseAuthState(ULONG state) {
  StateEvent event{0, kEventAuthState, {}, 0, state};
  return Raise(&event);
}

bool LinkStep::RaiseKey(ULONG index, const UCHAR* bssid, const UCHAR* rsc, hx::crypto::ByteView material) {
  const auto keyLength = static_cast<ULONG>(material.size());
  const ULONG recordLength = kKeyHeader + keyLength;
  // 64-bit words: the record's KeyRSC lands on an 8-byte boundary.
  std::vector<uint64_t, hx::crypto::WipingAllocator<uint64_t>> words(
      (ODSTK_EVENT_KEY_OFFSET + recordLength + 7) / 8, 0);
  auto* event = reinterpret_cast<UCHAR*>(words.data());
  UCHAR* record = event + ODSTK_EVENT_KEY_OFFSET;
  const ULONG type = kEventKey;
  std::memcpy(event + ODSTK_EVENT_TYPE_OFFSET, &type, 4);
  std::memcpy(record, &recordLength, 4);
  std::memcpy(record + 4, &index, 4);
  std::memcpy(record + 8, &keyLength, 4);
  std::memcpy(record + 12, bssid, 6);
  std::memcpy(record + kKeyRscOffset, rsc, 8);
  std::memcpy(record + kKeyHeader, material.data(), keyLength);
  return Raise(event);
}

void LinkStep::Send(hx::crypto::ByteView body) {
  Trace(3, "EAPOL sent", body.data(), body.size());
  ODSTK_EVENT_FRAME frame{};
  frame.Type = kEventEapol;
  frame.Body = body.data();
  frame.BodyLength = static_cast<ULONG>(body.size());
  Raise(&frame);
}

void LinkStep::Trace(ULONG level, const std::string& text, const void* data, size_t length) {
  ODSTK_TRACE_CALLBACK trace;
  ULONG wanted;
  {
    Lock lock(Toolkit().mu);
    trace = Toolkit().trace;
    wanted = Toolkit().traceLevel;
  }
  if (trace && wanted >= level) trace(level, 0, text.c_str(), data, static_cast<ULONG>(length));
}

}  // namespace odstk_sim
