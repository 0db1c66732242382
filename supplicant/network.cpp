// The network information the toolkit's link runs on, and the frames it
// receives: security parameters from the utility, addresses and information
// elements from the adapter, EAPOL and pre-authentication frames from the
// driver's event records.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "Halvex.h"
#include "frame/channel.h"
#include "frame/state.h"
#include "supplicant/bridge.h"
#include "supplicant/wire.h"

namespace hx {
namespace {

constexpr ULONG kAssocInfoSize = 500;
constexpr ULONG kScanListSize = 24576;
constexpr size_t kMaxSsid = 32;
constexpr ULONG kCcxSecurityMode = 8;

// ---- Security mapping ------------------------------------------------------------

// The utility's security modes fall into four groups.
enum class ModeGroup { kWpa8021X, kRsn8021X, kRsnPsk, kOther };

ModeGroup GroupOf(ULONG mode) {
  switch (mode) {
    case 3:
    case 5:
    case 6:
    case 7:
    case 8:
    case 15:
    case 16:
    case 17:
      return ModeGroup::kWpa8021X;
    case 10:
    case 11:
    case 12:
    case 14:
      return ModeGroup::kRsn8021X;
    case 9:
      return ModeGroup::kRsnPsk;
    default:
      return ModeGroup::kOther;
  }
}

struct Security {
  ULONG protocol, use8021X, keyManagement, cipher;
  bool copyPassphrase;
};

constexpr ULONG kAnyCipher = 0xFFFFFFFF;
struct SecurityRow {
  ModeGroup group;
  ULONG cipherArgument;  // kAnyCipher: every value no earlier row of the group took
  Security security;
};

constexpr SecurityRow kSecurityTable[] = {
    {ModeGroup::kWpa8021X, 1, {1, 1, 2, 1, false}},
    {ModeGroup::kWpa8021X, 2, {3, 1, 2, 2, false}},
    {ModeGroup::kWpa8021X, 4, {3, 1, 2, 2, false}},
    {ModeGroup::kWpa8021X, 3, {3, 1, 2, 3, false}},
    {ModeGroup::kWpa8021X, kAnyCipher, {1, 1, 0, 0, false}},
    {ModeGroup::kRsn8021X, 1, {1, 1, 2, 1, false}},
    {ModeGroup::kRsn8021X, 2, {4, 1, 2, 2, false}},
    {ModeGroup::kRsn8021X, 3, {4, 1, 2, 3, false}},
    {ModeGroup::kRsn8021X, kAnyCipher, {1, 1, 0, 0, false}},
    {ModeGroup::kRsnPsk, 2, {4, 0, 1, 2, true}},
    {ModeGroup::kRsnPsk, 3, {4, 0, 1, 3, true}},
    {ModeGroup::kRsnPsk, kAnyCipher, {4, 0, 1, 0, true}},
    {ModeGroup::kOther, 1, {1, 0, 1, 1, false}},
    {ModeGroup::kOther, 2, {3, 0, 1, 2, true}},
    {ModeGroup::kOther, 3, {3, 0, 1, 3, true}},
    {ModeGroup::kOther, kAnyCipher, {0, 0, 0, 0, false}},
};

const Security& SecurityFor(ULONG mode, ULONG cipher) {
  const ModeGroup group = GroupOf(mode);
  for (const SecurityRow& row : kSecurityTable) {
    if (row.group == group && (row.cipherArgument == cipher || row.cipherArgument == kAnyCipher))
      return row.security;
  }
  return kSecurityTable[std::size(kSecurityTable) - 1].security;  // every group ends with a catch-all
}

// ---- The record ----------------------------------------------------------------------

const char* TextOrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

// True when the SSID text fits the 32 bytes an SSID has.
bool SsidFits(const char* ssid) {
  return ssid == nullptr || strnlen(ssid, kMaxSsid + 1) <= kMaxSsid;
}

// Points the record's byte fields at the holders' contents. The caller holds
// NetworkInfoLock.
void PointAtHolders(SupplicantBridge& b) {
  SUPP_NETWORK_INFO& info = b.NetworkInfo;
  auto point = [](const SuppBlob* blob, UCHAR*& data, ULONG& length) {
    data = blob != nullptr && blob->Length != 0 ? blob->Data.get() : nullptr;
    length = data != nullptr ? blob->Length : 0;
  };
  point(b.SsidBlob.get(), info.Ssid, info.SsidLength);
  point(b.RequestIeBlob.get(), info.RequestIes, info.RequestIesLength);
  point(b.BeaconIeBlob.get(), info.BeaconIes, info.BeaconIesLength);
  point(b.ResponseIeBlob.get(), info.ResponseIes, info.ResponseIesLength);
  info.Passphrase = b.PassphraseCopy.get();
}

// The security part both builders share: the previous contents released, the
// record zeroed, the mapping applied, the SSID and pass phrase copied. The
// caller holds NetworkInfoLock and has checked the SSID's length.
void BuildSecurity(SupplicantBridge& b, ULONG kind, ULONG mode, ULONG cipher, const unsigned char* passphrase,
                   const char* ssid) {
  ReleaseSuppObjects();
  SUPP_NETWORK_INFO& info = b.NetworkInfo;
  info = SUPP_NETWORK_INFO{};
  info.Size = sizeof(SUPP_NETWORK_INFO);
  info.NetworkKind = kind;
  b.CcxMode.store(mode == kCcxSecurityMode ? 1 : 0);
  const Security& security = SecurityFor(mode, cipher);
  info.Protocol = security.protocol;
  info.Use8021X = security.use8021X;
  info.KeyManagement = security.keyManagement;
  info.Cipher = security.cipher;
  if (security.copyPassphrase) b.PassphraseCopy = CopySecret(reinterpret_cast<const char*>(passphrase));
  if (b.SsidBlob) b.SsidBlob->Assign(TextOrEmpty(ssid), static_cast<ULONG>(std::strlen(TextOrEmpty(ssid))));
  PointAtHolders(b);
}

// ---- What the adapter reports ------------------------------------------------------

// The information elements of the current association and network, read
// before the record is touched so that no lock is held over driver requests.
struct AdapterIes {
  std::vector<unsigned char> request, response, beacon;
};

std::vector<unsigned char> Copy(ByteSpan span) {
  return std::vector<unsigned char>(span.data, span.data + span.size);
}

// One association query serves both blocks, so that both come from the same
// association.
void ReadAssociationIes(void* adapter, AdapterIes& ies) {
  auto area = std::make_unique<unsigned char[]>(kAssocInfoSize);
  ULONG returned = 0;
  if (HalvexQueryAssocInfo(adapter, area.get(), returned) != kSuccess || returned == 0) return;
  const AssociationIes found = FindAssociationIes(area.get(), std::min(returned, kAssocInfoSize));
  ies.request = Copy(found.request);
  ies.response = Copy(found.response);
}

void ReadBeaconIes(void* adapter, const unsigned char* bssid, const char* ssid, AdapterIes& ies) {
  unsigned char name[kMaxSsid] = {};
  const size_t n = strnlen(TextOrEmpty(ssid), kMaxSsid);
  std::memcpy(name, TextOrEmpty(ssid), n);
  std::vector<unsigned char> list(kScanListSize);
  ULONG returned = 0;
  if (HalvexQueryScanListLength(adapter, list.data(), kScanListSize, returned) != kSuccess) return;
  ies.beacon = Copy(
      FindBeaconIes(list.data(), std::min(returned, kScanListSize), bssid, name, static_cast<uint32_t>(n)));
}

void AssignIes(SupplicantBridge& b, const AdapterIes& ies) {
  auto assign = [](SuppBlob* blob, const std::vector<unsigned char>& bytes) {
    if (blob != nullptr) blob->Assign(bytes.data(), static_cast<ULONG>(bytes.size()));
  };
  assign(b.RequestIeBlob.get(), ies.request);
  assign(b.ResponseIeBlob.get(), ies.response);
  assign(b.BeaconIeBlob.get(), ies.beacon);
  PointAtHolders(b);
}

// Hands the record to the toolkit and opens the port when it is taken. The
// caller holds NetworkInfoLock, so the bytes behind the record stay put for
// the call (the toolkit copies what it keeps).
int HandOverLocked(SupplicantBridge& b) {
  ToolkitUse use;
  const ToolkitEntries* tk = use.Toolkit();
  if (tk == nullptr) return kFailure;
  const int result = tk->ODSTK_LINK_SetNetworkInfoA(use.Link(), &b.NetworkInfo);
  if (result != 0) return result;
  b.PortOpen.store(1);
  tk->ODSTK_LINK_PortUp(use.Link());
  return 0;
}

}  // namespace

void RefreshNetworkInfo() {
  SupplicantBridge& b = Bridge();
  void* adapter = State().AdapterHandle.load();
  unsigned char own[6] = {};
  unsigned char bssid[6] = {};
  HalvexGetMacAddress(adapter, own, sizeof own);
  HalvexQueryBssid(adapter, bssid);
  AdapterIes ies;
  ReadAssociationIes(adapter, ies);
  // The SSID and the zero behind it: a 32-byte SSID needs all 33 bytes.
  unsigned char ssid[36] = {};
  HalvexQuerySsid(adapter, ssid, kMaxSsid + 1);
  ReadBeaconIes(adapter, bssid, reinterpret_cast<const char*>(ssid), ies);

  std::lock_guard lock(b.NetworkInfoLock);
  std::memcpy(b.NetworkInfo.OwnAddress, own, 6);
  std::memcpy(b.NetworkInfo.Bssid, bssid, 6);
  AssignIes(b, ies);
}

int OpenSupplicantPort() {
  SupplicantBridge& b = Bridge();
  std::lock_guard lock(b.NetworkInfoLock);
  return HandOverLocked(b);
}

int ReceiveDriverEapol(const unsigned char* data, uint32_t available) {
  const std::optional<ReceivedFrame> frame = ParseReceivedFrame(data, available);
  if (!frame) return kFailure;
  void* adapter = State().AdapterHandle.load();
  unsigned char own[6];
  if (HalvexGetMacAddress(adapter, own, sizeof own) != kSuccess) return kFailure;
  if (std::memcmp(frame->destination, own, 6) != 0) return kFailure;
  const bool eapol = frame->etherType == kEtherTypeEapol;
  if (eapol) {
    unsigned char bssid[6];
    if (HalvexQueryBssid(adapter, bssid) != kSuccess || std::memcmp(frame->source, bssid, 6) != 0)
      return kFailure;
  }
  // The toolkit reads the body during the call only: the copy goes with it.
  std::vector<unsigned char> body(frame->body.data, frame->body.data + frame->body.size);
  ToolkitUse use;
  const ToolkitEntries* tk = use.Toolkit();
  if (tk == nullptr) return kFailure;
  if (eapol) return tk->ODSTK_LINK_ReceiveEapol(use.Link(), body.data(), frame->body.size);
  return tk->ODSTK_LINK_ReceivePreauthEapol(use.Link(), frame->source, body.data(), frame->body.size);
}

}  // namespace hx

int HalvexWPASetNetworkInfo(void* adapter, ULONG mode, ULONG cipher, unsigned char* passphrase, char* ssid,
                            unsigned char* ownAddress, unsigned char* bssid) {
  try {
    hx::SupplicantBridge& b = hx::Bridge();
    if (b.PortOpen.load() == 1) return hx::kFailure;
    if (!hx::SsidFits(ssid)) return hx::kFailure;
    if (IsBadReadPtr(ownAddress, 6) || IsBadReadPtr(bssid, 6)) return hx::kBadBuffer;
    if (!hx::ToolkitBound()) return hx::kFailure;
    hx::AdapterIes ies;
    hx::ReadAssociationIes(adapter, ies);
    hx::ReadBeaconIes(adapter, bssid, ssid, ies);

    std::lock_guard lock(b.NetworkInfoLock);
    // Opened by the monitor meanwhile: the information it runs on stays.
    if (b.PortOpen.load() == 1) return hx::kFailure;
    hx::BuildSecurity(b, 2, mode, cipher, passphrase, ssid);
    std::memcpy(b.NetworkInfo.OwnAddress, ownAddress, 6);
    std::memcpy(b.NetworkInfo.Bssid, bssid, 6);
    hx::AssignIes(b, ies);
    return hx::HandOverLocked(b);
  } catch (...) {
    return hx::kFailure;
  }
}

int HalvexSetWPAInformation(void* /*adapter*/, ULONG kind, ULONG mode, ULONG cipher,
                            unsigned char* passphrase, char* ssid) {
  try {
    // Modes 0, 1 and 4 use no supplicant: only the port goes down.
    const bool supplicant = mode != 0 && mode != 1 && mode != 4;
    if (supplicant && !hx::SsidFits(ssid)) return hx::kFailure;
    HalvexWPAPortDown();
    if (!supplicant) return hx::kSuccess;
    hx::SupplicantBridge& b = hx::Bridge();
    // Without the toolkit nothing would ever take these parameters.
    if (!hx::ToolkitBound()) return hx::kFailure;
    if (b.PortOpen.load() == 1) return hx::kFailure;
    std::lock_guard lock(b.NetworkInfoLock);
    hx::BuildSecurity(b, kind == 1 ? 2 : 1, mode, cipher, passphrase, ssid);
    b.WpaInfoPending.store(1);
    return hx::kSuccess;
  } catch (...) {
    return hx::kFailure;
  }
}

int HalvexSetWPAInformation(void* adapter, ULONG mode, ULONG cipher, unsigned char* passphrase, char* ssid) {
  return HalvexSetWPAInformation(adapter, 1, mode, cipher, passphrase, ssid);
}
