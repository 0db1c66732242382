// Statistics, and single registers of the RF, baseband and MAC blocks.
#include "frame/channel.h"
#include "frame/oids.h"
#include "platform/win32.h"
#include "query/pending.h"

namespace {

int QueryStatisticsRecord(void* adapter, uint32_t oid, void* record, ULONG size) {
  if (IsBadWritePtr(record, size)) return hx::kBadBuffer;
  return hx::QueryOid(adapter, oid, record, size);
}

// A register read always succeeds; 255 stands for a failure or a time-out.
int ReadRegister(void* adapter, uint32_t oid, ULONG reg, ULONG& value) {
  if (IsBadWritePtr(&value, sizeof value)) return hx::kBadBuffer;
  uint32_t record[2] = {reg, 0};
  const hx::PendingAnswer a = hx::QueryWithPendingReply(adapter, oid, record, sizeof record);
  value = a.answered ? a.value : 255;
  return hx::kSuccess;
}

int WriteRegister(void* adapter, uint32_t oid, ULONG reg, ULONG value) {
  uint32_t record[2] = {reg, value};
  return hx::SetOid(adapter, oid, record, sizeof record);
}

}  // namespace

int HalvexQueryStatistics(void* a, NDIS_802_11_STATISTICS* r) {
  return QueryStatisticsRecord(a, OID_802_11_STATISTICS, r, HALVEX_STATISTICS_SIZE);
}
int HalvexQueryRssiStat(void* a, RSSI_STATS* r) {
  return QueryStatisticsRecord(a, hx::OID_HALVEX_RSSI_STATS, r, sizeof *r);
}
int HalvexQueryBeaconStatistics(void* a, BEACON_STATS* r) {
  return QueryStatisticsRecord(a, hx::OID_HALVEX_BEACON_STATS, r, sizeof *r);
}
int HalvexResetStatistics(void* a) {
  return hx::SetOid(a, hx::OID_HALVEX_RESET_STATISTICS, nullptr, 0);
}

int HalvexQueryRfRegister(void* a, ULONG reg, ULONG& v) {
  return ReadRegister(a, hx::OID_HALVEX_RF_REGISTER, reg, v);
}
int HalvexQueryBbRegister(void* a, ULONG reg, ULONG& v) {
  return ReadRegister(a, hx::OID_HALVEX_BB_REGISTER, reg, v);
}
int HalvexQueryMacRegister(void* a, ULONG reg, ULONG& v) {
  return ReadRegister(a, hx::OID_HALVEX_MAC_REGISTER, reg, v);
}
int HalvexSetRfRegister(void* a, ULONG reg, ULONG v) {
  return WriteRegister(a, hx::OID_HALVEX_RF_REGISTER, reg, v);
}
int HalvexSetBbRegister(void* a, ULONG reg, ULONG v) {
  return WriteRegister(a, hx::OID_HALVEX_BB_REGISTER, reg, v);
}
int HalvexSetMacRegister(void* a, ULONG reg, ULONG v) {
  return WriteRegister(a, hx::OID_HALVEX_MAC_REGISTER, reg, v);
}
