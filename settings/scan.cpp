// Scans: start one in the driver and wait, bounded, for its scan-done event.
// The results are read afterwards with the scan-list queries.
#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "frame/wait.h"
#include "platform/win32.h"
#include "settings/setting.h"

namespace hx {
namespace {

constexpr DWORD kScanTimeoutMs = 5000;

struct ScanKind {
  uint32_t oid;
  ULONG recordSize;    // the caller's record sent in place; 0: no payload
  bool lateIsFailure;  // the wait running out is reported as a failure
};

constexpr ScanKind kGeneralScan{OID_802_11_BSSID_LIST_SCAN, 0, false};
constexpr ScanKind kSsidScan{OID_HALVEX_SSID_SCAN, sizeof(HALVEX_SSID_SCAN), true};
constexpr ScanKind kBssidScan{OID_HALVEX_BSSID_SCAN, sizeof(HALVEX_BSSID_SCAN), false};

// The record is sent in place and its first word receives the status word:
// it must be readable throughout and writable there.
bool RecordUsable(const ScanKind& kind, void* record) {
  return kind.recordSize == 0 || CanSendInPlace(record, kind.recordSize);
}

int StartAndWait(const ScanKind& kind, void* adapter, void* record, const Deadline& deadline) {
  HANDLE done = State().ScanDoneEvent.get();
  // Reset before the request: a completion that comes before the wait still ends it.
  ResetEvent(done);
  if (SetOid(adapter, kind.oid, record, kind.recordSize) == kFailure) return kFailure;
  // Only the event itself is a completion: a failed wait is not.
  if (WaitUntil(done, deadline) == WAIT_OBJECT_0) return kSuccess;
  return kind.lateIsFailure ? kFailure : kSuccess;
}

int Scan(const ScanKind& kind, void* adapter, void* record) {
  const Deadline deadline(kScanTimeoutMs);
  if (!RecordUsable(kind, record)) return kBadBuffer;
  return StartAndWait(kind, adapter, record, deadline);
}

// The adapter stays in `mode` afterwards; a refused mode change still scans.
int ScanInMode(const ScanKind& kind, void* adapter, void* record, ULONG mode) {
  const Deadline deadline(kScanTimeoutMs);
  if (!RecordUsable(kind, record)) return kBadBuffer;
  HalvexSetNetworkMode(adapter, mode);
  return StartAndWait(kind, adapter, record, deadline);
}

}  // namespace
}  // namespace hx

using hx::kBssidScan;
using hx::kGeneralScan;
using hx::kSsidScan;

int HalvexScan(void* adapter) {
  return hx::Scan(kGeneralScan, adapter, nullptr);
}
int HalvexScan(void* adapter, ULONG mode) {
  return hx::ScanInMode(kGeneralScan, adapter, nullptr, mode);
}
int HalvexSsidScan(void* adapter, HALVEX_SSID_SCAN* scan) {
  return hx::Scan(kSsidScan, adapter, scan);
}
int HalvexSsidScan(void* adapter, HALVEX_SSID_SCAN* scan, ULONG mode) {
  return hx::ScanInMode(kSsidScan, adapter, scan, mode);
}
int HalvexBssidScan(void* adapter, HALVEX_BSSID_SCAN* scan) {
  return hx::Scan(kBssidScan, adapter, scan);
}
int HalvexBssidScan(void* adapter, HALVEX_BSSID_SCAN* scan, ULONG mode) {
  return hx::ScanInMode(kBssidScan, adapter, scan, mode);
}
