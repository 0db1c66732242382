// The event monitor thread: fetch the driver's event records, dispatch them.
#include "monitor/monitor.h"

#include <cstring>
#include <memory>

#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "platform/win32.h"
#include "registry/store.h"
#include "supplicant/bridge.h"

namespace hx {
namespace {

constexpr uint32_t kRecordHeader = 8;  // NextOffset and Code
constexpr uint32_t kAuthRequestSize = 16;
constexpr uint32_t kPmkidCandidateSize = 12;  // BSSID, 2 bytes of padding, Flags

uint32_t ReadWord(const unsigned char* p) {
  uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

// The run of the monitor on this thread; none when a test dispatches itself.
thread_local MonitorRun* t_run = nullptr;

// Detach asked the monitor to stop: no record after the one in hand.
bool Stopping() {
  return t_run != nullptr && t_run->stop.load();
}

// Detach gave up waiting for the record in hand and has returned: its events
// are gone, so nothing more of the record is done.
bool Abandoned() {
  return t_run != nullptr && t_run->abandoned.load();
}

void SignalLinkChange(uint32_t code) {
  auto& s = State();
  // On a connect the toolkit learns the network before a join waiting for it
  // wakes, so its port is open by the time the join returns.
  if ((code == event::kConnected || code == event::kRoamed) && Bridge().WpaInfoPending.load() == 1) {
    RefreshNetworkInfo();
    OpenSupplicantPort();
    if (Abandoned()) return;
  }
  // The join that wakes on the event reads the code that woke it: the first
  // since it cleared the slot, which a later code must not replace.
  s.LastLinkEvent.store(code, std::memory_order_release);
  uint32_t none = 0;
  s.WakingLinkEvent.compare_exchange_strong(none, kWakingCodeSet | code, std::memory_order_acq_rel);
  SetEvent(s.LinkChangeEvent.get());
  Notify(code);
}

// The driver asks the library to look at security again: stand back while
// Windows' configuration service manages the adapter, otherwise put back the
// authentication mode and WEP status the utility asked for. A query that
// fails gives nothing to compare, so nothing is set then.
void RecheckSecurity() {
  LibraryState& s = State();
  void* adapter = s.AdapterHandle.load();
  if (HalvexGetConnectStatus(adapter) == 0) return;
  int managed = 0;
  if (HalvexQueryWZCStatusCheck(managed) == kSuccess && managed != 0) {
    HalvexWPAPortDown();
    HalvexSetDisassociate(s.AdapterHandle.load());
    return;
  }
  adapter = s.AdapterHandle.load();
  ULONG current = 0;
  const uint32_t authMode = s.DesiredAuthMode.load();
  if (HalvexQueryAuthMode(adapter, current) == kSuccess && current != authMode)
    HalvexSetAuthMode(adapter, authMode);
  const uint32_t wepStatus = s.DesiredWepStatus.load();
  if (HalvexQueryWepStatus(adapter, current) == kSuccess && current != wepStatus) {
    HalvexSetWepStatus(adapter, wepStatus);
  }
}

void CloseOpenAdapter() {
  void* adapter = State().AdapterHandle.load(std::memory_order_acquire);
  HalvexCloseAdapter(adapter);
}

void OnPendingReply(const EventRecord& r) {
  auto& s = State();
  for (uint32_t i = 0; i < kPendingReplyWords; ++i) {
    s.PendingReply[i].store(ReadWord(r.record + 8 + 4 * i), std::memory_order_relaxed);
  }
  SetEvent(s.PendingReplyEvent.get());
}

void OnEapolSent() {
  auto& s = State();
  // Cleared before the waiter is woken, so it never sees its own wait's state.
  if (s.EapolTxState.exchange(0) == 2) SetEvent(s.EapolSentEvent.get());
}

// An authentication indication for the current access point.
void OnAuthentication(const EventRecord& r) {
  NDIS_802_11_AUTHENTICATION_REQUEST request{};
  static_assert(sizeof request == kAuthRequestSize);
  request.Length = kAuthRequestSize;
  HalvexQueryBssid(State().AdapterHandle.load(), request.Bssid);
  request.Flags = ReadWord(r.record + 12);
  ToolkitUse use;
  if (const ToolkitEntries* tk = use.Toolkit())
    tk->ODSTK_LINK_ReceiveAuthenticationEvent(use.Link(), &request);
}

// The driver's own request entries: the toolkit reads the first, so it must
// lie within the record (a Length of 0 means there is none).
void OnAuthRequests(const EventRecord& r) {
  const uint32_t length = ReadWord(r.record + 12);
  if (length < kAuthRequestSize || length > r.size - 12) return;
  ToolkitUse use;
  if (const ToolkitEntries* tk = use.Toolkit())
    tk->ODSTK_LINK_ReceiveAuthenticationEvent(
        use.Link(), reinterpret_cast<const NDIS_802_11_AUTHENTICATION_REQUEST*>(r.record + 12));
}

// A candidate list whose entries run past the record is not handed over.
void OnPmkidCandidates(const EventRecord& r) {
  const uint32_t candidates = ReadWord(r.record + 20);
  if (candidates == 0 || uint64_t{candidates} * kPmkidCandidateSize + 8 > r.size - 16) return;
  ToolkitUse use;
  if (const ToolkitEntries* tk = use.Toolkit())
    tk->ODSTK_LINK_ReceivePMKIDCandidateListEvent(
        use.Link(), reinterpret_cast<const NDIS_802_11_PMKID_CANDIDATE_LIST*>(r.record + 16));
}

void OnCckmReassociation(const EventRecord& r) {
  ToolkitUse use;
  if (const ToolkitEntries* tk = use.Toolkit())
    tk->ODSTK_LINK_CCKM_StartReassociation(use.Link(), r.record + 12);
}

// Bytes a record must hold for its code's data to be read.
uint32_t MinimumRecordSize(uint32_t code) {
  switch (code) {
    case event::kPendingReply:
      return 8 + 4 * kPendingReplyWords;
    case event::kAuthentication:
    case event::kAuthRequests:
      return 16;
    case event::kEapolReceived:
    case event::kCckmReassociation:
      return 12;
    case event::kPmkidCandidates:
      return 24;
    default:
      return kRecordHeader;
  }
}

}  // namespace

uint32_t WalkEventRecords(const unsigned char* area, uint32_t areaSize,
                          const std::function<void(const EventRecord&)>& visit) {
  if (areaSize < 4) return 0;
  uint32_t offset = 4;
  uint32_t visited = 0;
  for (uint32_t i = 0; i < ReadWord(area); ++i) {
    if (offset > areaSize || areaSize - offset < kRecordHeader) break;
    const unsigned char* record = area + offset;
    const uint32_t next = ReadWord(record);
    const bool last = i + 1 == ReadWord(area);
    const uint32_t room = areaSize - offset;
    // A record ends where the next begins; the last one may run to the area's
    // end. A NextOffset of 0 before the last record would revisit this one.
    uint32_t size = room;
    if (!last || next != 0) {
      if (next < kRecordHeader || next > room) break;
      size = next;
    }
    const uint32_t code = ReadWord(record + 4);
    // Too short for its code's data: not read, but its size is sound, so the
    // records after it, handed over with it, are still dispatched.
    if (size >= MinimumRecordSize(code)) {
      visit(EventRecord{code, record, size});
      ++visited;
    }
    offset += next;
  }
  return visited;
}

void DispatchEventRecord(const EventRecord& r) {
  auto& s = State();
  switch (r.code) {
    case event::kDisconnected:
    case event::kLinkLost:
    case event::kConnected:
    case event::kRoamed:
      SignalLinkChange(r.code);
      return;
    case event::kAdapterGone:
      // Half a second for the adapter to go. A detach meanwhile lets this
      // record finish (it waits for it) and stops the walk after it.
      Sleep(500);
      if (Abandoned()) return;
      CloseOpenAdapter();
      Notify(r.code);
      return;
    case event::kMediaSpecific:
      if (s.JoinInProgress.load() == 0) Notify(r.code);
      return;
    case event::kRadioOn:
    case event::kRadioOff:
      // The driver switched the radio itself (a switch on the card): keep the
      // stored state in step, 1 for on and 2 for off.
      WriteAdapterNumber(s.AdapterHandle.load(), "RadioOn", r.code == event::kRadioOn ? 1 : 2, 0);
      Notify(r.code);
      return;
    case event::kSecurityCheck:
      RecheckSecurity();
      return;
    case event::kScanDone:
      SetEvent(s.ScanDoneEvent.get());
      return;
    case event::kPendingReply:
      OnPendingReply(r);
      return;
    case event::kEapolSent:
      OnEapolSent();
      return;
    case event::kAuthentication:
      OnAuthentication(r);
      return;
    case event::kEapolReceived:
      ReceiveDriverEapol(r.record + 8, r.size - 8);
      return;
    case event::kAuthRequests:
      OnAuthRequests(r);
      return;
    case event::kPmkidCandidates:
      OnPmkidCandidates(r);
      return;
    case event::kCckmReassociation:
      OnCckmReassociation(r);
      return;
    default:
      if ((r.code & event::kPassThroughMask) != 0) Notify(r.code);
      return;
  }
}

void FetchAndDispatch(void* adapter, EventFetchBlock& block) {
  if (QueryOidInPlace(adapter, OID_HALVEX_EVENT_RECORDS, block.request(), kEventBufferSize) != kSuccess)
    return;
  // A record's message may take long; a detach meanwhile ends the walk after
  // the record in hand. The driver has let go of what it handed over, so the
  // first record is in hand from the fetch on: a detach that comes between
  // the fetch and the walk does not drop it.
  bool first = true;
  WalkEventRecords(block.area(), kEventBufferSize, [&first](const EventRecord& r) {
    if (first || !Stopping()) DispatchEventRecord(r);
    first = false;
  });
}

DWORD WINAPI EventMonitorThread(LPVOID parameter) {
  // Entered for this thread before it was created; left last of all here.
  const LeaveLibraryCodeAtExit leave;
  const std::unique_ptr<std::shared_ptr<MonitorRun>> owned(
      static_cast<std::shared_ptr<MonitorRun>*>(parameter));
  const std::shared_ptr<MonitorRun> run = *owned;
  t_run = run.get();
  LibraryState& s = State();
  const uint32_t generation = s.Generation.load();
  HANDLE handles[3] = {s.ThreadExitEvent.get(), s.DriverExitEvent.get(), s.DriverNotifyEvent.get()};
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(3, handles, FALSE, INFINITE);
    // Stopped, left over from an earlier load, or our events are gone:
    // nothing more to do, and spinning on a failed wait would burn a core.
    if (run->stop.load() || s.Generation.load() != generation || woke == WAIT_FAILED) return 0;
    if (s.MonitorStarted.load() == 0) {
      ResetEvent(handles[1]);
      ResetEvent(handles[2]);
      s.MonitorStarted.store(1);
    }
    if (woke == WAIT_OBJECT_0) return 0;
    if (woke == WAIT_OBJECT_0 + 1) {
      ResetEvent(handles[1]);
      ResetEvent(handles[2]);
      CloseOpenAdapter();
      Notify(event::kAdapterGone);
      continue;
    }
    // Reset before the fetch, as every waiter does before its request: a
    // record queued while this fetch runs signals again instead of waiting,
    // unseen, for the driver's next one.
    ResetEvent(handles[2]);
    FetchAndDispatch(s.AdapterHandle.load(), run->fetch);
    if (run->stop.load()) return 0;
  }
}

int FetchEventRecords(void* adapter, unsigned char* buffer, ULONG length) {
  if (length != 0) std::memset(buffer, 0, length);
  // The driver drops what it hands over: it must not be told of room that is
  // not read back, or a record ending there would be lost.
  return QueryOidExactRoom(adapter, OID_HALVEX_EVENT_RECORDS, buffer, length);
}

}  // namespace hx

int HalvexGetEventCode(void* adapter, unsigned char* buffer, ULONG length) {
  if (IsBadWritePtr(buffer, length)) return hx::kBadBuffer;
  return hx::FetchEventRecords(adapter, buffer, length);
}
