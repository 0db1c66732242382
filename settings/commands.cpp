// Security and vendor commands: EAPOL frames, records passed through to the
// driver, and vendor commands carrying one value.
#include <cstring>

#include "frame/channel.h"
#include "frame/oids.h"
#include "platform/win32.h"
#include "platform/wipe.h"
#include "registry/store.h"
#include "settings/setting.h"

namespace hx {
namespace {

// ---- EAPOL transmission ------------------------------------------------------

constexpr ULONG kEthernetHeaderSize = 14;                    // destination, source, EtherType
constexpr ULONG kEapolHeaderSize = 4 + kEthernetHeaderSize;  // frame length, reserved
// The frame length travels in 16 bits; a longer frame cannot be described.
constexpr ULONG kLongestBody = 0xFFFF - kEthernetHeaderSize;

struct EtherType {
  unsigned char high, low;  // network byte order
};
constexpr EtherType kEapol{0x88, 0x8E};
constexpr EtherType kPreAuthentication{0x88, 0xC7};

int SendEapolFrame(void* adapter, EtherType type, const unsigned char* source,
                   const unsigned char* destination, const unsigned char* body, ULONG bodyLength) {
  if (bodyLength > kLongestBody) return kFailure;
  if (IsBadReadPtr(source, 6) || IsBadReadPtr(destination, 6) || IsBadReadPtr(body, bodyLength))
    return kBadBuffer;
  const ULONG size = kEapolHeaderSize + bodyLength;
  // The body may carry key material: the frame is wiped when released.
  WipedBlock block = AllocateWiped(size, false);
  if (!block) return kFailure;
  unsigned char* frame = block.get();
  const ULONG frameLength = bodyLength + kEthernetHeaderSize;
  frame[0] = static_cast<unsigned char>(frameLength & 0xFF);  // little-endian on every host
  frame[1] = static_cast<unsigned char>(frameLength >> 8);
  frame[2] = frame[3] = 0;  // reserved
  std::memcpy(&frame[4], destination, 6);
  std::memcpy(&frame[10], source, 6);
  frame[16] = type.high;
  frame[17] = type.low;
  if (bodyLength != 0) std::memcpy(&frame[kEapolHeaderSize], body, bodyLength);
  return SetOid(adapter, OID_HALVEX_EAPOL_TX, frame, size);
}

// ---- Records passed through --------------------------------------------------

struct RecordCommand {
  uint32_t oid;
  ULONG size = 0;  // fixed size; 0: the caller's length
};

// The caller's record is the payload: its first word comes back holding the
// request's status word. A record that cannot be read over the length sent,
// or whose status word cannot be written back, is refused with nothing sent;
// `asPassed`, when given, receives the record as it was before the request.
int SendRecord(const RecordCommand& c, void* adapter, void* record, ULONG length, void* asPassed = nullptr) {
  if (c.size != 0) length = c.size;
  if (!CanSendInPlace(record, length)) return kBadBuffer;
  if (asPassed != nullptr) std::memcpy(asPassed, record, length);
  return SetOid(adapter, c.oid, record, length);
}

constexpr RecordCommand kAddKey{OID_802_11_ADD_KEY};
constexpr RecordCommand kRemoveKey{OID_802_11_REMOVE_KEY};
constexpr RecordCommand kWpaWepKey{OID_802_11_ADD_WEP};
constexpr RecordCommand kPmkid{OID_802_11_PMKID};
constexpr RecordCommand kCcxRogueAp{OID_HALVEX_CCX_ROGUE_AP};
constexpr RecordCommand kCcxReportRogueAps{OID_HALVEX_CCX_REPORT_ROGUE_APS, 6};
constexpr RecordCommand kCcxNotifyAuthSuccess{OID_HALVEX_CCX_NOTIFY_AUTH_SUCCESS};
constexpr RecordCommand kCcxCckmRequest{OID_HALVEX_CCX_CCKM_REQUEST};
constexpr RecordCommand kCcxCckmResult{OID_HALVEX_CCX_CCKM_RESULT};
constexpr RecordCommand kQsSecurityInfo{OID_HALVEX_QS_SECURITY_INFO, sizeof(HALVEX_QUICKSETUP_SEC_INFO)};
constexpr RecordCommand kQsSetupRequest{OID_HALVEX_QS_SETUP_REQUEST, sizeof(HALVEX_QUICKSETUP_SETUP_REQ)};
constexpr RecordCommand kRegionCtrl{OID_HALVEX_REGION_CTRL, sizeof(HALVEX_REGION_CTRL)};

// ---- One value, nothing stored -----------------------------------------------

constexpr Setting kCcxConfiguration{.oid = OID_HALVEX_CCX_CONFIGURATION};
constexpr Setting kCcxNetworkEap{.oid = OID_HALVEX_CCX_NETWORK_EAP};
constexpr Setting kGuiMonitorMode{.oid = OID_HALVEX_GUI_MONITOR_MODE};
constexpr Setting kRadarDetected{.oid = OID_HALVEX_RADAR_DETECTED, .payload = Payload::kNone};

}  // namespace
}  // namespace hx

using hx::SendRecord;

int HalvexSetEAPOLTx(void* adapter, const unsigned char* source, const unsigned char* destination,
                     const unsigned char* body, ULONG bodyLength) {
  return hx::SendEapolFrame(adapter, hx::kEapol, source, destination, body, bodyLength);
}
int HalvexSetPreAuthEAPOLTx(void* adapter, const unsigned char* source, const unsigned char* destination,
                            const unsigned char* body, ULONG bodyLength) {
  return hx::SendEapolFrame(adapter, hx::kPreAuthentication, source, destination, body, bodyLength);
}

int HalvexSetAddKey(void* a, void* key, ULONG length) {
  return SendRecord(hx::kAddKey, a, key, length);
}
int HalvexSetRemoveKey(void* a, void* key, ULONG length) {
  return SendRecord(hx::kRemoveKey, a, key, length);
}
int HalvexSetWPAWepKey(void* a, NDIS_802_11_WEP* wep, unsigned int length) {
  return SendRecord(hx::kWpaWepKey, a, wep, length);
}
int HalvexSetPMKID(void* a, NDIS_802_11_PMKID* pmkid, ULONG length) {
  return SendRecord(hx::kPmkid, a, pmkid, length);
}
int HalvexSetFswCCXRogueAP(void* a, unsigned char* data, ULONG length) {
  return SendRecord(hx::kCcxRogueAp, a, data, length);
}
int HalvexSetFswCCXReportRogueAPs(void* a, unsigned char* data) {
  return SendRecord(hx::kCcxReportRogueAps, a, data, 0);
}
int HalvexSetFswCCXNotifyAuthSuccess(void* a, unsigned char* data, ULONG length) {
  return SendRecord(hx::kCcxNotifyAuthSuccess, a, data, length);
}
int HalvexSetFswCCXCCKMRequest(void* a, unsigned char* data, ULONG length) {
  return SendRecord(hx::kCcxCckmRequest, a, data, length);
}
int HalvexSetFswCCXCCKMResult(void* a, unsigned char* data, ULONG length) {
  return SendRecord(hx::kCcxCckmResult, a, data, length);
}
int HalvexSetQSSecurityInfo(void* a, HALVEX_QUICKSETUP_SEC_INFO* info) {
  return SendRecord(hx::kQsSecurityInfo, a, info, 0);
}
int HalvexSetQSSetupRequest(void* a, HALVEX_QUICKSETUP_SETUP_REQ* request) {
  return SendRecord(hx::kQsSetupRequest, a, request, 0);
}

int HalvexSetRegionCtrl(void* adapter, HALVEX_REGION_CTRL* ctrl) {
  // The request writes the status word over the record's first word; the
  // stored copy is the record as the caller passed it.
  HALVEX_REGION_CTRL asPassed;
  const int result = SendRecord(hx::kRegionCtrl, adapter, ctrl, 0, &asPassed);
  if (result == hx::kSuccess) hx::WriteAdapterString(adapter, "RegionCodeCtrl", &asPassed, sizeof asPassed);
  // A refusal is reported, not hidden behind success.
  return result;
}

int HalvexSetFswCCXConfiguration(void* a, ULONG config) {
  return hx::ApplySetting(hx::kCcxConfiguration, a, config);
}
int HalvexSetFswCCXNetworkEap(void* a, ULONG value) {
  return hx::ApplySetting(hx::kCcxNetworkEap, a, value);
}
int HalvexSetGUIMonitorMode(void* a, ULONG mode) {
  return hx::ApplySetting(hx::kGuiMonitorMode, a, mode);
}
int HalvexRadarDetected(void* a) {
  return hx::ApplySetting(hx::kRadarDetected, a, 0);
}
