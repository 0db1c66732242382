// Queries whose answer the driver may deliver later, as a code-7 event record.
#pragma once

#include <cstdint>

#include "Halvex.h"
#include "platform/win32.h"

namespace hx {

inline constexpr DWORD kPendingReplyTimeoutMs = 8000;

struct PendingAnswer {
  int result;      // the channel's result of the request
  bool answered;   // a value came, at once or by event
  uint32_t value;  // the first payload word, or word 1 of the delivered reply
};

// Sends the query with `payload` (its first word is the input, e.g. a register
// number) and, when the driver answers STATUS_PENDING, waits for the monitor
// to hand the reply over. One pending query runs at a time (all of them share
// PendingReply and its event); the call returns within 8000 ms of its start,
// time spent waiting for its turn included, and unanswered without a turn.
PendingAnswer QueryWithPendingReply(void* adapter, uint32_t oid, void* payload, ULONG length);

}  // namespace hx
