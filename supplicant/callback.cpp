// The link's event callback, run by the toolkit on the link thread: the
// toolkit's requests carried out on the adapter, its states kept and told to
// the window.
#include <cstdio>
#include <cstring>

#include "Halvex.h"
#include "frame/channel.h"
#include "frame/state.h"
#include "supplicant/bridge.h"

namespace hx {
namespace {

constexpr size_t kStatusTextSize = 100;
constexpr ULONG kSessionResumptionTimeout = 3600;
constexpr uint32_t kConnectedState = 3;  // the supplicant's "Connected" event
constexpr uint32_t kKeyWaitLimit = 5;

void SendStatusText(const char* text) {
  char line[kStatusTextSize];
  std::snprintf(line, sizeof line, "%s", text);
  Notify(HALVEX_MSG_STATUS_TEXT, reinterpret_cast<LPARAM>(line));
}

void* Adapter() {
  return State().AdapterHandle.load();
}

void TakeLinkDown() {
  HalvexWPAPortDown();
  HalvexSetDisassociate(Adapter());
}

// ---- Link and authentication states ------------------------------------------------

enum class StateAction { kNone, kConnected, kLinkTimeout, kKeyWait, kTakeLinkDown };

constexpr uint32_t kUnchanged = 0xFFFFFFFF;
struct StateRow {
  ULONG state;
  uint32_t stored;  // kUnchanged: the state word keeps its value
  StateAction action;
  const char* text;  // null: nothing is said
};

constexpr StateRow kLinkStates[] = {
    {1, 1, StateAction::kNone, "[Link]: Idle"},
    {2, 2, StateAction::kNone, "[Link]: Authenticating"},
    {3, 3, StateAction::kNone, "[Link]: Key wait"},
    {4, 4, StateAction::kConnected, "Connected"},
    {5, 5, StateAction::kKeyWait, "[Link]: Unauthenticated key wait"},
    {6, 6, StateAction::kConnected, "Connected"},
    {7, 7, StateAction::kLinkTimeout, "[Link]: Open/Timeout"},
};
constexpr StateRow kOtherLinkState = {0, kUnchanged, StateAction::kNone, "[Link]: Unknown"};

constexpr StateRow kAuthStates[] = {
    {1, 1, StateAction::kNone, "[Auth]: Logoff"},
    {2, kUnchanged, StateAction::kNone, nullptr},
    {3, 3, StateAction::kTakeLinkDown, "[Auth]: Authentication failed"},
    {4, 4, StateAction::kNone, "[Auth]: Connected"},
    {5, 5, StateAction::kNone, "[Auth]: Acquired"},
    {6, 6, StateAction::kNone, "[Auth]: Authenticating"},
    {7, 7, StateAction::kNone, "[Auth]: Authenticated"},
};
constexpr StateRow kOtherAuthState = {0, 0, StateAction::kNone, "[Auth]: Unknown"};

template <size_t N>
void Report(const StateRow (&rows)[N], const StateRow& other, std::atomic<uint32_t>& word, ULONG state) {
  const StateRow* row = &other;
  for (const StateRow& r : rows) {
    if (r.state == state) row = &r;
  }
  if (row->stored != kUnchanged) word.store(row->stored);
  SupplicantBridge& b = Bridge();
  switch (row->action) {
    case StateAction::kNone:
      break;
    case StateAction::kConnected:
      Notify(HALVEX_MSG_SUPP_CONNECTED);
      break;
    case StateAction::kLinkTimeout:
      Notify(HALVEX_MSG_SUPP_LINK_TIMEOUT);
      break;
    case StateAction::kKeyWait:
      // Keys that never come after five reports: give the link up.
      if (b.KeyWaitCount.fetch_add(1) + 1 >= kKeyWaitLimit) {
        TakeLinkDown();
        b.KeyWaitCount.store(0);
      }
      break;
    case StateAction::kTakeLinkDown:
      TakeLinkDown();
      break;
  }
  if (row->text != nullptr) SendStatusText(row->text);
}

// ---- Event types -----------------------------------------------------------------------

ULONG WordAt(const unsigned char* event, size_t offset) {
  ULONG word;
  std::memcpy(&word, event + offset, 4);
  return word;
}

// A record whose first word is its length, handed to an adapter request. A
// length the toolkit's memory does not back is not sent.
template <class Request>
void SendRecordAt(unsigned char* event, size_t offset, Request request) {
  unsigned char* record = event + offset;
  const ULONG length = WordAt(record, 0);
  if (IsBadReadPtr(record, length)) return;
  request(Adapter(), record, length);
}

void OnLinkState(unsigned char* e) {
  Report(kLinkStates, kOtherLinkState, Bridge().SupplicantLinkState,
         WordAt(e, ODSTK_EVENT_LINK_STATE_OFFSET));
}
void OnAuthState(unsigned char* e) {
  Report(kAuthStates, kOtherAuthState, Bridge().SupplicantAuthState, WordAt(e, ODSTK_EVENT_WORD_OFFSET));
}
void OnConnected(unsigned char*) {
  Bridge().KeyWaitCount.store(0);
}
void OnWepKey(unsigned char* e) {
  SendRecordAt(e, ODSTK_EVENT_RECORD_OFFSET, [](void* a, unsigned char* r, ULONG n) {
    HalvexSetWPAWepKey(a, reinterpret_cast<NDIS_802_11_WEP*>(r), n);
  });
}

// A key asked for right after an EAPOL frame waits (briefly) until the driver
// reports the frame sent, so that the frame does not go out under the new key.
void OnAddKey(unsigned char* e) {
  LibraryState& s = State();
  uint16_t sent = 1;
  if (s.EapolTxState.compare_exchange_strong(sent, 2))
    WaitForSingleObject(s.EapolSentEvent.get(), Bridge().EapolSentWait.load());
  SendRecordAt(e, ODSTK_EVENT_KEY_OFFSET, HalvexSetAddKey);
  SendStatusText("Connected");
  ResetEvent(s.EapolSentEvent.get());
}
void OnRemoveKey(unsigned char* e) {
  SendRecordAt(e, ODSTK_EVENT_RECORD_OFFSET, HalvexSetRemoveKey);
}
void OnPmkid(unsigned char* e) {
  SendRecordAt(e, ODSTK_EVENT_RECORD_OFFSET, [](void* a, unsigned char* r, ULONG n) {
    HalvexSetPMKID(a, reinterpret_cast<NDIS_802_11_PMKID*>(r), n);
  });
}

void OnSendEapol(unsigned char* e) {
  const auto* frame = reinterpret_cast<const ODSTK_EVENT_FRAME*>(e);
  if (IsBadReadPtr(frame->Body, frame->BodyLength)) return;
  void* adapter = Adapter();
  unsigned char own[6] = {};
  unsigned char bssid[6] = {};
  HalvexGetMacAddress(adapter, own, sizeof own);
  HalvexQueryBssid(adapter, bssid);
  // Marked before the frame goes out: a driver that reports it sent while the
  // request is still running must find the mark, or the next key would wait
  // out its bound for a report that already came.
  std::atomic<uint16_t>& sent = State().EapolTxState;
  sent.store(1);
  if (HalvexSetEAPOLTx(adapter, own, bssid, frame->Body, frame->BodyLength) != kSuccess) {
    uint16_t marked = 1;
    sent.compare_exchange_strong(marked, 0);  // nothing went out: nothing to wait for
  }
}
void OnSendPreauthentication(unsigned char* e) {
  const auto* frame = reinterpret_cast<const ODSTK_EVENT_FRAME*>(e);
  if (IsBadReadPtr(frame->Destination, 6) || IsBadReadPtr(frame->Body, frame->BodyLength)) return;
  void* adapter = Adapter();
  unsigned char own[6] = {};
  HalvexGetMacAddress(adapter, own, sizeof own);
  HalvexSetPreAuthEAPOLTx(adapter, own, frame->Destination, frame->Body, frame->BodyLength);
}

void OnRogueAp(unsigned char* e) {
  if (Bridge().CcxMode.load() == 1) HalvexSetFswCCXRogueAP(Adapter(), e + ODSTK_EVENT_DATA_OFFSET, 24);
}
void OnReportRogueAps(unsigned char* e) {
  if (Bridge().CcxMode.load() == 1) HalvexSetFswCCXReportRogueAPs(Adapter(), e + ODSTK_EVENT_DATA_OFFSET);
}
void OnNotifyAuthSuccess(unsigned char* e) {
  HalvexSetFswCCXNotifyAuthSuccess(Adapter(), e + ODSTK_EVENT_DATA_OFFSET, 44);
}
void OnCckmRequest(unsigned char* e) {
  // An 8-byte header, then as many bytes as its second word says.
  const uint64_t length = uint64_t{WordAt(e, ODSTK_EVENT_WORD_OFFSET)} + 8;
  unsigned char* request = e + ODSTK_EVENT_RECORD_OFFSET;
  if (length > 0xFFFFFFFF || IsBadReadPtr(request, static_cast<ULONG>(length))) return;
  HalvexSetFswCCXCCKMRequest(Adapter(), request, static_cast<ULONG>(length));
}
void OnCckmResult(unsigned char* e) {
  HalvexSetFswCCXCCKMResult(Adapter(), e + ODSTK_EVENT_RECORD_OFFSET, 4);
}

void OnGtcRequest(unsigned char* e) {
  SupplicantBridge& b = Bridge();
  std::lock_guard lock(b.GtcLock);
  if (b.GtcResponseDisabled.load() != 0) return;
  auto* answer = reinterpret_cast<ODSTK_EVENT_ANSWER*>(e);
  const char* response = b.StoredGtcResponse;
  if (const ToolkitEntries* tk = LinkThreadToolkit())
    tk->ODSTK_AllocBlob(&answer->Answer, response,
                        static_cast<ULONG>(strnlen(response, kGtcResponseSize - 1)));
}
void OnServerCertificate(unsigned char* e) {
  const ULONG accept = 0;
  std::memcpy(e + ODSTK_EVENT_WORD_OFFSET, &accept, 4);
}
void OnStartAuthentication(unsigned char*) {
  ToolkitUse use;
  const ToolkitEntries* tk = use.Toolkit();
  if (tk == nullptr) return;
  tk->ODSTK_LINK_SetIdentity(use.Link(), use.Identity());
  tk->ODSTK_LINK_SetSessionResumptionTimeout(use.Link(), kSessionResumptionTimeout);
}
void OnConnectionError(unsigned char*) {
  TakeLinkDown();
}

// One row per event type the library handles itself. In order: the text
// (key events 5 and 6: the state and the text, only until "Connected"), the
// state word, the action.
struct EventRow {
  ULONG type;
  const char* text;
  uint32_t state;  // 0: SupplicantState unchanged
  bool keyEvent;
  void (*action)(unsigned char* event);
};

constexpr EventRow kEvents[] = {
    {1, nullptr, 1, false, OnLinkState},
    {2, nullptr, 2, false, OnAuthState},
    {3, "Connected", 3, false, OnConnected},
    {4, nullptr, 4, false, nullptr},
    {5, "Setting WEP......", 5, true, OnWepKey},
    {6, "Adding key......", 6, true, OnAddKey},
    {7, "Removing key......", 7, false, OnRemoveKey},
    {8, nullptr, 8, false, OnSendEapol},
    {9, nullptr, 0, false, OnRogueAp},
    {10, nullptr, 0, false, OnReportRogueAps},
    {13, nullptr, 0, false, OnGtcRequest},
    {14, "Validate server certificate", 14, false, OnServerCertificate},
    {15, "Start Authentication", 15, false, OnStartAuthentication},
    {16, "Connection Error", 16, false, OnConnectionError},
    {17, nullptr, 0, false, OnNotifyAuthSuccess},
    {18, nullptr, 0, false, OnCckmRequest},
    {19, nullptr, 0, false, OnCckmResult},
    {20, nullptr, 0, false, OnPmkid},
    {25, nullptr, 0, false, OnSendPreauthentication},
    {30, "Validate server certificate", 14, false, OnServerCertificate},
};

void Dispatch(const EventRow& row, unsigned char* event) {
  std::atomic<uint32_t>& state = Bridge().SupplicantState;
  if (row.keyEvent) {
    if (state.load() != kConnectedState) {
      state.store(row.state);
      SendStatusText(row.text);
    }
  } else {
    if (row.text != nullptr) SendStatusText(row.text);
    if (row.state != 0) state.store(row.state);
  }
  if (row.action != nullptr) row.action(event);
}

}  // namespace

void ODSTK_CALL SupplicantCallback(ULONG /*value*/, void* event) {
  // The library may not be unmapped while the toolkit's thread is in here.
  const LibraryCodeScope inside;
  if (event == nullptr) return;
  try {
    auto* bytes = static_cast<unsigned char*>(event);
    const ULONG type = WordAt(bytes, ODSTK_EVENT_TYPE_OFFSET);
    for (const EventRow& row : kEvents) {
      if (row.type == type) return Dispatch(row, bytes);
    }
    if (const ToolkitEntries* tk = LinkThreadToolkit()) tk->ODSTK_ProcessCallbackA(event);
  } catch (...) {
  }
}

}  // namespace hx
