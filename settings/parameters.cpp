// Parameter settings: one table row per member, one routine.
#include <cstddef>
#include <cstring>

#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "platform/win32.h"
#include "registry/store.h"
#include "settings/setting.h"

namespace hx {
namespace {

void Store(const Setting& s, void* adapter, ULONG value) {
  // The stored copy follows the caller; a failed write does not change the result.
  WriteAdapterNumber(adapter, s.name, value, s.form == Form::kHexadecimal ? 1 : 0);
}

constexpr Setting kAuthMode{.oid = OID_802_11_AUTHENTICATION_MODE,
                            .name = "AuthMode",
                            .persist = Persist::kOnSuccess,
                            .desired = &LibraryState::DesiredAuthMode};
constexpr Setting kNetworkMode{.oid = OID_802_11_INFRASTRUCTURE_MODE,
                               .name = "NetworkMode",
                               .persist = Persist::kOnSuccess,
                               .busy = &LibraryState::JoinInProgress};
constexpr Setting kWepStatus{.oid = OID_802_11_WEP_STATUS,
                             .name = "WepStatus",
                             .persist = Persist::kOnSuccess,
                             .desired = &LibraryState::DesiredWepStatus};
constexpr Setting kPreamble{.oid = OID_HALVEX_PREAMBLE, .name = "Preamble", .persist = Persist::kFirst};
constexpr Setting kTxAntenna{.oid = OID_802_11_TX_ANTENNA_SELECTED,
                             .name = "TxAntenna",
                             .form = Form::kHexadecimal,
                             .persist = Persist::kFirst};
constexpr Setting kRxAntenna{.oid = OID_802_11_RX_ANTENNA_SELECTED,
                             .name = "RxAntenna",
                             .form = Form::kHexadecimal,
                             .persist = Persist::kFirst};
constexpr Setting kFragThreshold{
    .oid = OID_802_11_FRAGMENTATION_THRESHOLD, .name = "FragThsd", .persist = Persist::kFirst};
constexpr Setting kRtsThreshold{
    .oid = OID_802_11_RTS_THRESHOLD, .name = "RTSThsd", .persist = Persist::kFirst};
constexpr Setting kChannel{.oid = OID_HALVEX_CHANNEL, .name = "Channel", .persist = Persist::kOnSuccess};
constexpr Setting kPowerMode{.oid = OID_802_11_POWER_MODE, .name = "PowerMode", .persist = Persist::kFirst};
constexpr Setting kDataRate{.oid = OID_802_11_DESIRED_RATES,
                            .name = "DataRate",
                            .form = Form::kHexadecimal,
                            .persist = Persist::kFirst,
                            .payload = Payload::kRateArray};
constexpr Setting kWlanMode{
    .oid = OID_HALVEX_WLAN_MODE, .name = "Wireless Mode", .persist = Persist::kOnSuccess};
constexpr Setting kRadioOn{
    .oid = OID_HALVEX_RADIO_ON, .name = "RadioOn", .persist = Persist::kOnSuccess, .payload = Payload::kNone};
constexpr Setting kRadioOff{.oid = OID_HALVEX_RADIO_OFF,
                            .name = "RadioOn",
                            .persist = Persist::kOnSuccess,
                            .payload = Payload::kNone};
constexpr Setting kBoostMode{.oid = OID_HALVEX_BOOST_MODE, .name = "BoostMode", .persist = Persist::kFirst};
constexpr Setting kInterOperabilityMode{
    .oid = OID_HALVEX_BOOST_MODE, .name = "BoostMode", .persist = Persist::kOnSuccess};
constexpr Setting kTxPower{.oid = OID_HALVEX_TX_POWER, .name = "TxPowerLvl", .persist = Persist::kFirst};
constexpr Setting kAdHocGMode{
    .oid = OID_HALVEX_ADHOC_G_MODE, .name = "AdhocGMode", .persist = Persist::kOnSuccess};
constexpr Setting kChannelRange{.oid = OID_HALVEX_CHANNEL_RANGE,
                                .name = "ChannelRange",
                                .form = Form::kHexadecimal,
                                .persist = Persist::kOnSuccess};
constexpr Setting kSignalThreshold{
    .oid = OID_HALVEX_SIGNAL_THRESHOLD, .name = "SignalThsds", .persist = Persist::kOnSuccess};
constexpr Setting kTxFailThreshold{
    .oid = OID_HALVEX_TX_FAIL_THRESHOLD, .name = "TxFailThsds", .persist = Persist::kOnSuccess};
constexpr Setting kWmmSupport{.oid = OID_HALVEX_WMM_SUPPORT, .name = "WMM", .persist = Persist::kFirst};
constexpr Setting kCcxOption{.oid = OID_HALVEX_CCX_OPTION};

constexpr ULONG kBeaconPeriodEnd = offsetof(NDIS_802_11_CONFIGURATION, BeaconPeriod) + sizeof(ULONG);

}  // namespace

int ApplySetting(const Setting& s, void* adapter, ULONG value) {
  LibraryState& state = State();
  if (s.desired != nullptr) (state.*s.desired).store(value);
  if (s.busy != nullptr) (state.*s.busy).fetch_add(1);
  if (s.persist == Persist::kFirst) Store(s, adapter, value);

  // The request gets its own copy: the channel writes the driver's status word
  // over the payload's first word, and `value` must stay the caller's.
  unsigned char payload[8] = {};
  ULONG length = 0;
  switch (s.payload) {
    case Payload::kWord:
      std::memcpy(payload, &value, sizeof value);
      length = sizeof value;
      break;
    case Payload::kRateArray:
      payload[0] = static_cast<unsigned char>(value & 0xFF);
      length = sizeof payload;
      break;
    case Payload::kNone:
      break;
  }
  const int result = SetOid(adapter, s.oid, length != 0 ? payload : nullptr, length);

  if (s.persist == Persist::kOnSuccess && result == kSuccess) Store(s, adapter, value);
  if (s.busy != nullptr) (state.*s.busy).fetch_sub(1);
  return result;
}

bool CanSendInPlace(void* record, ULONG length) {
  if (IsBadReadPtr(record, length)) return false;
  return length < 4 || !IsBadWritePtr(record, 4);
}

}  // namespace hx

using hx::ApplySetting;

int HalvexSetAuthMode(void* a, ULONG v) {
  return ApplySetting(hx::kAuthMode, a, v);
}
int HalvexSetNetworkMode(void* a, ULONG v) {
  return ApplySetting(hx::kNetworkMode, a, v);
}
int HalvexSetWepStatus(void* a, ULONG v) {
  return ApplySetting(hx::kWepStatus, a, v);
}
int HalvexSetPreamble(void* a, ULONG v) {
  return ApplySetting(hx::kPreamble, a, v);
}
int HalvexSetTxAntenna(void* a, ULONG v) {
  return ApplySetting(hx::kTxAntenna, a, v);
}
int HalvexSetRxAntenna(void* a, ULONG v) {
  return ApplySetting(hx::kRxAntenna, a, v);
}
int HalvexSetFragThreshold(void* a, ULONG v) {
  return ApplySetting(hx::kFragThreshold, a, v);
}
int HalvexSetRTSThreshold(void* a, ULONG v) {
  return ApplySetting(hx::kRtsThreshold, a, v);
}
int HalvexSetChannel(void* a, ULONG v) {
  return ApplySetting(hx::kChannel, a, v);
}
int HalvexSetPowerMode(void* a, ULONG v) {
  return ApplySetting(hx::kPowerMode, a, v);
}
int HalvexSetDataRate(void* a, ULONG v) {
  return ApplySetting(hx::kDataRate, a, v);
}
int HalvexSetWlanMode(void* a, ULONG v) {
  return ApplySetting(hx::kWlanMode, a, v);
}
int HalvexSetRadioControl(void* a, ULONG state) {
  // Only exactly 1 turns the radio on; the stored value is the caller's state.
  return ApplySetting(state == 1 ? hx::kRadioOn : hx::kRadioOff, a, state);
}
int HalvexSetBoostMode(void* a, ULONG v) {
  return ApplySetting(hx::kBoostMode, a, v);
}
int HalvexSetInterOperabilityMode(void* a, ULONG v) {
  return ApplySetting(hx::kInterOperabilityMode, a, v);
}
int HalvexSetTxPower(void* a, ULONG v) {
  return ApplySetting(hx::kTxPower, a, v);
}
int HalvexSetAdHocGMode(void* a, ULONG v) {
  return ApplySetting(hx::kAdHocGMode, a, v);
}
int HalvexSetAdHocWlanMode(void* a, ULONG v) {
  return ApplySetting(hx::kAdHocGMode, a, v);
}
int HalvexSetChannelRange(void* a, ULONG v) {
  return ApplySetting(hx::kChannelRange, a, v);
}
int HalvexSetSignalThreshold(void* a, ULONG v) {
  return ApplySetting(hx::kSignalThreshold, a, v);
}
int HalvexSetTxFailThreshold(void* a, ULONG v) {
  return ApplySetting(hx::kTxFailThreshold, a, v);
}
int HalvexSetWMMSupport(void* a, ULONG v) {
  return ApplySetting(hx::kWmmSupport, a, v);
}
int HalvexSetCCXOption(void* a, ULONG v) {
  return ApplySetting(hx::kCcxOption, a, v);
}

int HalvexSetConfiguration(void* adapter, NDIS_802_11_CONFIGURATION* config) {
  // The record's own Length says how much to send, but never more than the
  // record the caller can hand over, nor from memory it cannot read.
  if (IsBadReadPtr(config, sizeof config->Length)) return hx::kBadBuffer;
  const ULONG length = config->Length;
  if (length > sizeof *config || !hx::CanSendInPlace(config, length)) return hx::kBadBuffer;
  // A record too short to hold BeaconPeriod gave the driver none to store.
  const bool hasBeaconPeriod = length >= hx::kBeaconPeriodEnd;
  const ULONG beaconPeriod = hasBeaconPeriod ? config->BeaconPeriod : 0;
  const int result = hx::SetOid(adapter, OID_802_11_CONFIGURATION, config, length);
  if (result == hx::kSuccess && hasBeaconPeriod)
    hx::WriteAdapterNumber(adapter, "AdhocBeaconPeriod", beaconPeriod, 0);
  return result;
}
