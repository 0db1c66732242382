#include "frame/channel.h"

#include <cstring>

#include "frame/oids.h"
#include "frame/state.h"
#include "platform/win32.h"
#include "platform/wipe.h"

namespace hx {
namespace {

// Every request buffer is wiped when done: sets carry keys, PMKIDs and
// EAPOL bodies. RequestSize(length) bytes, not cleared: the caller writes the
// OID, the payload and zeros after it. A length whose request size would not
// fit the control call's 32-bit size gets none (as if out of memory): the
// size would wrap and the payload copy run past the buffer.
class RequestBuffer : public WipedScratch<256> {
 public:
  explicit RequestBuffer(ULONG length) : WipedScratch(RequestSize(length), length <= kMaxRequestPayload) {}
};

uint32_t ReadWord(const unsigned char* p) {
  uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

int MapStatus(uint32_t status) {
  return status == STATUS_UNSUCCESSFUL_WORD ? kFailure : static_cast<int>(status);
}

// A failed control call that still wrote an answer (more than the OID word)
// counts as answered; otherwise the status word left in the request says why.
int QueryResult(bool succeeded, DWORD bytesReturned, const unsigned char* request) {
  if (succeeded || bytesReturned > 4) return kSuccess;
  return MapStatus(ReadWord(request));
}

int Query(void* adapter, uint32_t oid, void* buffer, ULONG length, ULONG* returned, bool countFailedAnswer,
          bool exactRoom = false) {
  if (!IsOpenAdapter(adapter)) return kFailure;
  RequestBuffer request(length);
  // Without memory nothing can be sent; report it as a failure of the request.
  if (!request) return kFailure;
  // The driver may fill the whole request after the OID word. An exact
  // request has no padding word: every byte it may write is read back.
  if (exactRoom) length &= ~3u;
  const DWORD size = exactRoom ? 4 + length : RequestSize(length);
  std::memcpy(request.get(), &oid, 4);
  if (length != 0) std::memcpy(request.get() + 4, buffer, length);
  std::memset(request.get() + 4 + length, 0, size - 4 - length);

  DWORD bytesReturned = 0;
  const bool succeeded = platform::DeviceControl(adapter, IOCTL_OID_QUERY, request.get(), size, request.get(),
                                                 size, &bytesReturned);
  const int result = QueryResult(succeeded, bytesReturned, request.get());
  if (result != kSuccess) return result;
  if (length != 0) std::memcpy(buffer, request.get() + 4, length);
  // A driver that reports fewer than the 4 bytes of its own OID word has
  // returned no payload.
  if (returned != nullptr && (succeeded || countFailedAnswer))
    *returned = bytesReturned >= 4 ? bytesReturned - 4 : 0;
  return kSuccess;
}

}  // namespace

int QueryOid(void* adapter, uint32_t oid, void* buffer, ULONG length) {
  return Query(adapter, oid, buffer, length, nullptr, false);
}

int QueryOidWithLength(void* adapter, uint32_t oid, void* buffer, ULONG length, ULONG& returned) {
  return Query(adapter, oid, buffer, length, &returned, false);
}

int QueryOidAnswerLength(void* adapter, uint32_t oid, void* buffer, ULONG length, ULONG& returned) {
  return Query(adapter, oid, buffer, length, &returned, true);
}

int QueryOidExactRoom(void* adapter, uint32_t oid, void* buffer, ULONG length) {
  return Query(adapter, oid, buffer, length, nullptr, false, true);
}

int QueryOidInPlace(void* adapter, uint32_t oid, unsigned char* request, ULONG length) {
  if (!IsOpenAdapter(adapter)) return kFailure;
  length &= ~3u;
  std::memcpy(request, &oid, 4);
  std::memset(request + 4, 0, length);
  DWORD bytesReturned = 0;
  const bool succeeded = platform::DeviceControl(adapter, IOCTL_OID_QUERY, request, 4 + length, request,
                                                 4 + length, &bytesReturned);
  return QueryResult(succeeded, bytesReturned, request);
}

int SetOid(void* adapter, uint32_t oid, void* payload, ULONG length) {
  if (!IsOpenAdapter(adapter)) return kFailure;
  RequestBuffer request(length);
  if (!request) return kFailure;
  const DWORD size = RequestSize(length);
  std::memcpy(request.get(), &oid, 4);
  if (length != 0) std::memcpy(request.get() + 4, payload, length);
  // The padding is not part of the request's meaning, but keep it defined.
  std::memset(request.get() + 4 + length, 0, size - 4 - length);

  DWORD bytesReturned = 0;
  int result = kSuccess;
  if (!platform::DeviceControl(adapter, IOCTL_OID_SET, request.get(), size, request.get(), 0,
                               &bytesReturned)) {
    const uint32_t status = ReadWord(request.get());
    result = status == STATUS_PENDING_WORD ? kSuccess : MapStatus(status);
  }
  // Callers learn the driver's own status word from the payload's first word.
  if (length >= 4) std::memcpy(payload, request.get(), 4);
  return result;
}

}  // namespace hx
