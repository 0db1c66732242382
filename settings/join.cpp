// Joining a network, the one transactional setting: the SSID goes to the
// driver, and the outcome of the association either commits the stored
// settings (a new connection snapshot) or puts them back to the last one.
#include <cstring>

#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "frame/wait.h"
#include "platform/win32.h"
#include "registry/store.h"

namespace hx {
namespace {

constexpr DWORD kJoinTimeoutMs = 8000;
constexpr ULONG kMaxSsidLength = 32;
constexpr uint32_t kConnected = 1;
constexpr uint32_t kRoamed = 3;

// How the association ended, as the request's status word and the first
// connection event after it tell.
int Outcome(int requestResult, uint32_t status, const Deadline& deadline) {
  // Refused before the driver saw it (or STATUS_UNSUCCESSFUL): the status
  // word still holds the caller's length, which reads as 0 for an empty SSID.
  if (requestResult == kFailure) return kFailure;
  if (status == STATUS_SUCCESS_WORD) return kSuccess;
  if (status != STATUS_PENDING_WORD) return kFailure;
  LibraryState& s = State();
  const DWORD woke = WaitUntil(s.LinkChangeEvent.get(), deadline);
  if (woke == WAIT_TIMEOUT) return kJoinTimeout;
  // A failed wait saw no event: the word may be left from an earlier link.
  if (woke != WAIT_OBJECT_0) return kFailure;
  // An empty slot: the waking code was taken before the slot was cleared and
  // set the event after the reset, so it is the last one stored.
  const uint32_t waking = s.WakingLinkEvent.load(std::memory_order_acquire);
  const uint32_t code = (waking & kWakingCodeSet) != 0 ? waking & ~kWakingCodeSet
                                                       : s.LastLinkEvent.load(std::memory_order_acquire);
  return code == kConnected || code == kRoamed ? kSuccess : kFailure;
}

int Join(void* adapter, const char* ssid, ULONG length, uint32_t oid) {
  const Deadline deadline(kJoinTimeoutMs);
  LibraryState& s = State();
  // Joins share LinkChangeEvent and WakingLinkEvent: two at once would each
  // take the other's outcome and commit or roll back on it.
  WaitTurn turn(s.JoinTurnEvent.get(), deadline);
  if (!turn.held()) {
    HalvexRevertConnInfo(adapter);
    return turn.timedOut() ? kJoinTimeout : kFailure;
  }
  if (length > kMaxSsidLength || IsBadReadPtr(ssid, length)) {
    HalvexRevertConnInfo(adapter);
    return kBadBuffer;
  }
  NDIS_802_11_SSID record{};
  record.SsidLength = length;
  if (length != 0) std::memcpy(record.Ssid, ssid, length);

  // Both before the request, so an event right after it still counts; the
  // slot first, so an event whose set follows the reset finds it clear or
  // leaves its code as the last stored.
  s.WakingLinkEvent.store(0, std::memory_order_release);
  ResetEvent(s.LinkChangeEvent.get());
  // A count: a network-mode change on another thread ends its own part, not the join's.
  s.JoinInProgress.fetch_add(1);
  // The channel copies the driver's status word over SsidLength; the SSID
  // bytes behind it stay as sent.
  const int requestResult = SetOid(adapter, oid, &record, sizeof record);
  const int result = Outcome(requestResult, record.SsidLength, deadline);
  if (result == kSuccess) {
    WriteAdapterString(adapter, "DesiredSSID", record.Ssid, length);
    HalvexRegisterConnInfo(adapter);
  } else {
    HalvexRevertConnInfo(adapter);
  }
  s.JoinInProgress.fetch_sub(1);
  return result;
}

}  // namespace
}  // namespace hx

int HalvexSetSsid(void* adapter, char* ssid, ULONG length) {
  return hx::Join(adapter, ssid, length, OID_802_11_SSID);
}

int HalvexSetSsid(void* adapter, char* ssid, ULONG length, int selector) {
  return hx::Join(adapter, ssid, length, selector != 0 ? hx::OID_HALVEX_SSID : OID_802_11_SSID);
}

int HalvexSetDisassociate(void* adapter) {
  ResetEvent(hx::State().ScanDoneEvent.get());
  return hx::SetOid(adapter, OID_802_11_DISASSOCIATE, nullptr, 0) == hx::kFailure ? hx::kFailure
                                                                                  : hx::kSuccess;
}
