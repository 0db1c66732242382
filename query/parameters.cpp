// Status and parameter queries: one table row per member, one routine.
#include <atomic>
#include <cstring>

#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "platform/win32.h"
#include "query/pending.h"
#include "query/query.h"
#include "registry/store.h"

namespace hx {
namespace {

enum class Rule {
  kWord,          // the answer word, written only on success
  kPending,       // may be answered later; 255 and result 1 on any failure
  kCached,        // kept in a LibraryState cache until the adapter closes
  kAlwaysStored,  // no probe; the local word is stored whatever the result
};

struct ValueQuery {
  uint32_t oid;
  ULONG payload;  // bytes sent; the answer is the first word
  Rule rule;
  bool lowByte = false;            // the answer is the first byte only
  const char* recordAs = nullptr;  // also stored under this adapter setting
  std::atomic<uint32_t> LibraryState::*cache = nullptr;
};

constexpr uint32_t kFailedValue = 255;

int RunValueQuery(const ValueQuery& q, void* adapter, ULONG& value) {
  if (q.rule != Rule::kAlwaysStored && IsBadWritePtr(&value, sizeof value)) return kBadBuffer;
  uint32_t payload[8] = {};  // large enough for every row's payload
  switch (q.rule) {
    case Rule::kWord: {
      const int result = QueryOid(adapter, q.oid, payload, q.payload);
      if (result == kSuccess) {
        value = payload[0];
        if (q.recordAs != nullptr) WriteAdapterNumber(adapter, q.recordAs, payload[0], 0);
      }
      return result;
    }
    case Rule::kPending: {
      const PendingAnswer a = QueryWithPendingReply(adapter, q.oid, payload, q.payload);
      if (!a.answered) {
        value = kFailedValue;
        return kFailure;
      }
      value = q.lowByte ? (a.value & 0xFF) : a.value;
      return kSuccess;
    }
    case Rule::kCached: {
      std::atomic<uint32_t>& cache = State().*q.cache;
      if (cache.load() == 0) {
        if (QueryOid(adapter, q.oid, payload, q.payload) != kSuccess) return kFailure;
        cache.store(payload[0]);
      }
      value = cache.load();
      return kSuccess;
    }
    case Rule::kAlwaysStored:
      QueryOid(adapter, q.oid, payload, q.payload);
      value = payload[0];
      return kSuccess;
  }
  return kFailure;
}

constexpr ValueQuery kAuthMode{OID_802_11_AUTHENTICATION_MODE, 4, Rule::kWord};
constexpr ValueQuery kNetworkMode{OID_802_11_INFRASTRUCTURE_MODE, 4, Rule::kWord};
constexpr ValueQuery kWepStatus{OID_802_11_WEP_STATUS, 4, Rule::kWord};
constexpr ValueQuery kRssi{OID_802_11_RSSI, 4, Rule::kWord};
constexpr ValueQuery kLinkSpeed{OID_GEN_LINK_SPEED, 4, Rule::kWord};
constexpr ValueQuery kPreamble{OID_HALVEX_PREAMBLE, 4, Rule::kWord};
constexpr ValueQuery kTxAntenna{OID_802_11_TX_ANTENNA_SELECTED, 4, Rule::kWord};
constexpr ValueQuery kRxAntenna{OID_802_11_RX_ANTENNA_SELECTED, 4, Rule::kWord};
constexpr ValueQuery kFragThreshold{OID_802_11_FRAGMENTATION_THRESHOLD, 4, Rule::kPending};
constexpr ValueQuery kRtsThreshold{OID_802_11_RTS_THRESHOLD, 4, Rule::kPending};
constexpr ValueQuery kPowerMode{OID_802_11_POWER_MODE, 4, Rule::kWord};
constexpr ValueQuery kDataRate{OID_802_11_DESIRED_RATES, 20, Rule::kPending, true};
constexpr ValueQuery kHardwareStatus{OID_GEN_HARDWARE_STATUS, 4, Rule::kWord};
constexpr ValueQuery kChipVersion{OID_HALVEX_CHIP_VERSION,         4, Rule::kCached, false, nullptr,
                                  &LibraryState::CachedChipVersion};
constexpr ValueQuery kFirmwareVersion{OID_GEN_VENDOR_DRIVER_VERSION,       4, Rule::kCached, false, nullptr,
                                      &LibraryState::CachedFirmwareVersion};
constexpr ValueQuery kRegionCode{OID_HALVEX_REGION_CODE, 4, Rule::kWord};
constexpr ValueQuery kWlanMode{OID_HALVEX_WLAN_MODE, 4, Rule::kWord};
constexpr ValueQuery kRadioControl{OID_HALVEX_RADIO_ON, 4, Rule::kWord, false, "RadioOn"};
constexpr ValueQuery kBoostMode{OID_HALVEX_BOOST_MODE, 4, Rule::kWord};
constexpr ValueQuery kInterOperabilityMode{OID_HALVEX_BOOST_MODE, 4, Rule::kWord, false, "BoostMode"};
constexpr ValueQuery kTxPower{OID_HALVEX_TX_POWER, 4, Rule::kWord};
constexpr ValueQuery kChannelRange{OID_HALVEX_CHANNEL_RANGE, 4, Rule::kAlwaysStored};
constexpr ValueQuery kSignalThreshold{OID_HALVEX_SIGNAL_THRESHOLD, 4, Rule::kWord};
constexpr ValueQuery kTxFailThreshold{OID_HALVEX_TX_FAIL_THRESHOLD, 4, Rule::kWord};
constexpr ValueQuery kCcxOption{OID_HALVEX_CCX_OPTION, 4, Rule::kWord};
constexpr ValueQuery kWmmSupport{OID_HALVEX_WMM_SUPPORT, 4, Rule::kWord};

// Records passed through whole: the caller's record is the payload.
int QueryRecord(void* adapter, uint32_t oid, void* record, ULONG size) {
  if (IsBadWritePtr(record, size)) return kBadBuffer;
  return QueryOid(adapter, oid, record, size);
}

// Channel number from a DS frequency in MHz; 0 outside the 2.4 GHz channels.
ULONG ChannelFromFrequency(uint32_t mhz) {
  if (mhz < 4000) {
    if (mhz == 2484) return 14;
    const uint32_t channel = (mhz - 2412) / 5 + 1;  // unsigned: below 2412 wraps out of range
    return channel >= 1 && channel <= 14 ? channel : 0;
  }
  if (mhz < 5000) return (mhz - 4000) / 5;
  return (mhz - 5000) / 5;
}

}  // namespace

ULONG ChannelFromDsConfig(ULONG kilohertz) {
  return ChannelFromFrequency(kilohertz / 1000);
}

}  // namespace hx

using hx::RunValueQuery;

int HalvexQueryAuthMode(void* a, ULONG& v) {
  return RunValueQuery(hx::kAuthMode, a, v);
}
int HalvexQueryNetworkMode(void* a, ULONG& v) {
  return RunValueQuery(hx::kNetworkMode, a, v);
}
int HalvexQueryWepStatus(void* a, ULONG& v) {
  return RunValueQuery(hx::kWepStatus, a, v);
}
int HalvexQueryRssi(void* a, ULONG& v) {
  return RunValueQuery(hx::kRssi, a, v);
}
int HalvexQueryLinkSpeed(void* a, ULONG& v) {
  return RunValueQuery(hx::kLinkSpeed, a, v);
}
int HalvexQueryPreamble(void* a, ULONG& v) {
  return RunValueQuery(hx::kPreamble, a, v);
}
int HalvexQueryTxAntenna(void* a, ULONG& v) {
  return RunValueQuery(hx::kTxAntenna, a, v);
}
int HalvexQueryRxAntenna(void* a, ULONG& v) {
  return RunValueQuery(hx::kRxAntenna, a, v);
}
int HalvexQueryFragThreshold(void* a, ULONG& v) {
  return RunValueQuery(hx::kFragThreshold, a, v);
}
int HalvexQueryRTSThreshold(void* a, ULONG& v) {
  return RunValueQuery(hx::kRtsThreshold, a, v);
}
int HalvexQueryPowerMode(void* a, ULONG& v) {
  return RunValueQuery(hx::kPowerMode, a, v);
}
int HalvexQueryDataRate(void* a, ULONG& v) {
  return RunValueQuery(hx::kDataRate, a, v);
}
int HalvexQueryHardwareStatus(void* a, ULONG& v) {
  return RunValueQuery(hx::kHardwareStatus, a, v);
}
int HalvexQueryChipVersion(void* a, ULONG& v) {
  return RunValueQuery(hx::kChipVersion, a, v);
}
int HalvexQueryFirmwareVersion(void* a, ULONG& v) {
  return RunValueQuery(hx::kFirmwareVersion, a, v);
}
int HalvexQueryRegionCode(void* a, ULONG& v) {
  return RunValueQuery(hx::kRegionCode, a, v);
}
int HalvexQueryWlanMode(void* a, ULONG& v) {
  return RunValueQuery(hx::kWlanMode, a, v);
}
int HalvexQueryRadioControl(void* a, ULONG& v) {
  return RunValueQuery(hx::kRadioControl, a, v);
}
int HalvexQueryBoostMode(void* a, ULONG& v) {
  return RunValueQuery(hx::kBoostMode, a, v);
}
int HalvexQueryInterOperabilityMode(void* a, ULONG& v) {
  return RunValueQuery(hx::kInterOperabilityMode, a, v);
}
int HalvexQueryTxPower(void* a, ULONG& v) {
  return RunValueQuery(hx::kTxPower, a, v);
}
int HalvexQueryChannelRange(void* a, ULONG& v) {
  return RunValueQuery(hx::kChannelRange, a, v);
}
int HalvexQuerySignalThreshold(void* a, ULONG& v) {
  return RunValueQuery(hx::kSignalThreshold, a, v);
}
int HalvexQueryTxFailThreshold(void* a, ULONG& v) {
  return RunValueQuery(hx::kTxFailThreshold, a, v);
}
int HalvexQueryCCXOption(void* a, ULONG& v) {
  return RunValueQuery(hx::kCcxOption, a, v);
}
int HalvexQueryWMMSupport(void* a, ULONG& v) {
  return RunValueQuery(hx::kWmmSupport, a, v);
}

int HalvexQueryRegionCtrl(void* a, HALVEX_REGION_CTRL* r) {
  return hx::QueryRecord(a, hx::OID_HALVEX_REGION_CTRL, r, sizeof *r);
}
int HalvexQueryQuickSetupAPInfo(void* a, HALVEX_QUICKSETUP_SSID_INFO* r) {
  return hx::QueryRecord(a, hx::OID_HALVEX_QS_AP_INFO, r, sizeof *r);
}
int HalvexQueryConfiguration(void* a, NDIS_802_11_CONFIGURATION* r) {
  return hx::QueryRecord(a, OID_802_11_CONFIGURATION, r, sizeof *r);
}

int HalvexQueryChannel(void* adapter, ULONG& value) {
  if (IsBadWritePtr(&value, sizeof value)) return hx::kBadBuffer;
  NDIS_802_11_CONFIGURATION config{};
  const int result = hx::QueryOid(adapter, OID_802_11_CONFIGURATION, &config, sizeof config);
  if (result != hx::kSuccess) return result;
  value = hx::ChannelFromDsConfig(config.DSConfig);
  return hx::kSuccess;
}

int HalvexQuerySsid(void* adapter, unsigned char* buffer, ULONG length) {
  if (IsBadWritePtr(buffer, length)) return hx::kBadBuffer;
  unsigned char answer[40] = {};
  const int result = hx::QueryOid(adapter, OID_802_11_SSID, answer, sizeof answer);
  if (result != hx::kSuccess) return result;
  uint32_t ssidLength;
  std::memcpy(&ssidLength, answer, 4);
  if (ssidLength > 32) return hx::kSuccess;
  // The SSID and its terminating zero must fit the caller's buffer; a shorter
  // buffer gets nothing rather than a write past its end.
  if (ssidLength + 1 > length) return hx::kBadBuffer;
  std::memcpy(buffer, answer + 4, ssidLength);
  buffer[ssidLength] = 0;
  return hx::kSuccess;
}

int HalvexQueryBssid(void* adapter, unsigned char* bssid) {
  if (IsBadWritePtr(bssid, 6)) return hx::kBadBuffer;
  std::memset(bssid, 0, 6);
  return hx::QueryOid(adapter, OID_802_11_BSSID, bssid, 6);
}

int HalvexQuerySignalInfo(void* adapter, ULONG& signal, ULONG& quality) {
  if (IsBadWritePtr(&signal, 4) || IsBadWritePtr(&quality, 4)) return hx::kBadBuffer;
  struct SignalInfoRecord {
    uint16_t kind;
    uint16_t length;
    uint32_t reserved;
    int32_t level;
    int32_t quality;
  } record{31, 16, 0, 0, 0};
  static_assert(sizeof(SignalInfoRecord) == 16);
  const int result = hx::QueryOid(adapter, hx::OID_HALVEX_SIGNAL_INFO, &record, sizeof record);
  if (result != hx::kSuccess) return result;
  signal = static_cast<ULONG>(record.level) + 96;
  quality = record.quality > 100 ? 100 : static_cast<ULONG>(record.quality);
  return hx::kSuccess;
}
