// The driver request channel: every request to the adapter's driver.
#pragma once

#include <cstdint>

#include "Halvex.h"
#include "frame/state.h"
#include "platform/win32.h"

namespace hx {

// Result codes shared by the channel and the exports.
inline constexpr int kSuccess = HALVEX_RESULT_SUCCESS;
inline constexpr int kFailure = HALVEX_RESULT_FAILURE;
inline constexpr int kBadBuffer = HALVEX_RESULT_BAD_BUFFER;
inline constexpr int kJoinTimeout = HALVEX_RESULT_JOIN_TIMEOUT;
inline constexpr int kPending = HALVEX_STATUS_PENDING;

// Total size of an OidRequest carrying `length` payload bytes: the OID word,
// the payload rounded down to whole words, and one more word.
constexpr uint32_t RequestSize(uint32_t length) {
  return length + 8 - (length % 4);
}
// The longest payload whose request size still fits 32 bits.
inline constexpr uint32_t kMaxRequestPayload = 0xFFFFFFFFu - 8;

// True when `adapter` is the open adapter handle (never null or all bits set).
inline bool IsOpenAdapter(void* adapter) {
  return adapter != nullptr && adapter != INVALID_HANDLE_VALUE &&
         adapter == State().AdapterHandle.load(std::memory_order_acquire);
}

int QueryOid(void* adapter, uint32_t oid, void* buffer, ULONG length);
// As QueryOid; `returned` receives the payload bytes the driver reported when
// the control call succeeded, and is left alone otherwise.
int QueryOidWithLength(void* adapter, uint32_t oid, void* buffer, ULONG length, ULONG& returned);
// As QueryOidWithLength, and also counts the answer of a failed control call
// that still returned one (more than 4 bytes).
int QueryOidAnswerLength(void* adapter, uint32_t oid, void* buffer, ULONG length, ULONG& returned);
// As QueryOid, for answers the driver hands over for good (event records): the
// request is 4 + `length` rounded down to whole words, with no padding word,
// so the room the driver sees is exactly what is read back.
int QueryOidExactRoom(void* adapter, uint32_t oid, void* buffer, ULONG length);
// As QueryOidExactRoom, sent from the caller's own block: `request` holds the
// OID word and `length` bytes after it, which are cleared and receive the
// answer. Nothing is copied; for the monitor's fetches, which hand over a
// whole area each time.
int QueryOidInPlace(void* adapter, uint32_t oid, unsigned char* request, ULONG length);
// The first 4 bytes of `payload` (when length >= 4) are overwritten with the
// driver's status word.
int SetOid(void* adapter, uint32_t oid, void* payload, ULONG length);

}  // namespace hx
