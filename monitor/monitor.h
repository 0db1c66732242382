// The event monitor: the library's background thread for driver events.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "frame/state.h"
#include "platform/win32.h"

namespace hx {

// Where the monitor fetches: the request's OID word lies right before the
// area, so the driver writes the records where they are walked, with no copy.
struct EventFetchBlock {
  unsigned char* request() { return bytes + 4; }
  unsigned char* area() { return bytes + 8; }
  alignas(8) unsigned char bytes[8 + kEventBufferSize] = {};  // 4 unused, the OID word, the area
};

// One load's monitor. Its own event area, so that a thread left over from an
// earlier load never walks this load's records; and its own stop, which only
// this load's detach sets and the thread looks at between records.
struct MonitorRun {
  std::atomic<bool> stop{false};
  std::atomic<bool> abandoned{false};  // detach stopped waiting for the record in hand
  EventFetchBlock fetch;
};

// The thread's parameter: a new std::shared_ptr<MonitorRun>, which it owns.
DWORD WINAPI EventMonitorThread(LPVOID parameter);

// Driver event codes the library itself acts on.
namespace event {
inline constexpr uint32_t kDisconnected = 0;
inline constexpr uint32_t kConnected = 1;
inline constexpr uint32_t kAdapterGone = 2;
inline constexpr uint32_t kRoamed = 3;
inline constexpr uint32_t kLinkLost = 4;
inline constexpr uint32_t kMediaSpecific = 5;
inline constexpr uint32_t kScanDone = 6;
inline constexpr uint32_t kPendingReply = 7;
inline constexpr uint32_t kRadioOn = 8;
inline constexpr uint32_t kRadioOff = 9;
inline constexpr uint32_t kAuthentication = 10;
inline constexpr uint32_t kEapolReceived = 132;
inline constexpr uint32_t kEapolSent = 133;
inline constexpr uint32_t kAuthRequests = 134;
inline constexpr uint32_t kPmkidCandidates = 135;
inline constexpr uint32_t kCckmReassociation = 136;
inline constexpr uint32_t kSecurityCheck = 137;
inline constexpr uint32_t kPassThroughMask = 0xF0000000;
}  // namespace event

// One well-formed record of a fetched event area.
struct EventRecord {
  uint32_t code;
  const unsigned char* record;  // start of the record (its NextOffset word)
  uint32_t size;                // bytes of the record inside the area
};

// Walks the records of an event area of `areaSize` bytes in order, calling
// `visit` for each. The walk ends at the first malformed record: one that
// starts or ends outside the area, or a NextOffset of 0 before the last
// record. A record too short for its code's data is passed over. Returns
// the number of records visited.
uint32_t WalkEventRecords(const unsigned char* area, uint32_t areaSize,
                          const std::function<void(const EventRecord&)>& visit);

// Dispatches one record as the monitor does.
void DispatchEventRecord(const EventRecord& record);

// HalvexGetEventCode for a buffer known to be writable: the monitor's own
// area is not probed on every fetch (a probe reads the process's memory map).
int FetchEventRecords(void* adapter, unsigned char* buffer, ULONG length);

// One turn of the monitor: fetches the driver's records into the block's
// area and dispatches them in order.
void FetchAndDispatch(void* adapter, EventFetchBlock& block);

}  // namespace hx
