#include "sim/radio_world.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "Halvex.h"
#include "crypto/crypto.h"
#include "frame/oids.h"

namespace hx::sim {
namespace {

constexpr uint32_t kFixedElements = 12;  // timestamp, beacon interval, capabilities
constexpr uint32_t kEntryFixed = offsetof(NDIS_WLAN_BSSID_EX, IEs);
constexpr uint32_t kAssocFixed = sizeof(NDIS_802_11_ASSOCIATION_INFORMATION);
static_assert(kEntryFixed == 116);
static_assert(kAssocFixed == 40);

const uint8_t kRates[16] = {0x82, 0x84, 0x8B, 0x96, 0x0C, 0x12, 0x18, 0x24, 0x30, 0x48, 0x60, 0x6C};

void Put32(Bytes& b, size_t at, uint32_t value) {
  std::memcpy(b.data() + at, &value, 4);
}
void Put16(Bytes& b, size_t at, uint16_t value) {
  std::memcpy(b.data() + at, &value, 2);
}
void Append(Bytes& to, const Bytes& from) {
  to.insert(to.end(), from.begin(), from.end());
}
uint32_t ChannelOf(uint32_t kilohertz) {
  const uint32_t mhz = kilohertz / 1000;
  return mhz == 2484 ? 14 : (mhz - 2407) / 5;
}

bool IsRegisterOid(uint32_t oid) {
  return oid == OID_HALVEX_RF_REGISTER || oid == OID_HALVEX_BB_REGISTER || oid == OID_HALVEX_MAC_REGISTER;
}

uint32_t WordAt(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

bool HasElement(const Bytes& ies, const Bytes& element) {
  return std::search(ies.begin(), ies.end(), element.begin(), element.end()) != ies.end();
}

constexpr uint16_t kEtherTypeEapol = 0x888E;
constexpr size_t kEthernetHeader = 14;  // destination, source, EtherType
constexpr size_t kEapolHeader = 4;      // version, packet type, 16-bit body length
constexpr size_t kEapHeader = 4;        // code, identifier, 16-bit length
constexpr uint8_t kEapolPacket = 0;
constexpr uint8_t kEapolStart = 1;
constexpr uint8_t kEapolKey = 3;
constexpr uint8_t kEapRequest = 1;
constexpr uint8_t kEapResponse = 2;
constexpr uint8_t kEapFailure = 4;
constexpr uint8_t kEapIdentity = 1;

uint16_t BigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// An Ethernet frame from `ap` to the station carrying an EAPOL frame.
Bytes EthernetFrame(const AccessPoint& ap, const MacAddress& self, const Bytes& eapol) {
  // Sized up front: GCC 12 misreads an insert after a braced list (-Warray-bounds, i686).
  Bytes frame(kEthernetHeader + eapol.size());
  std::copy(self.begin(), self.end(), frame.begin());
  std::copy(ap.bssid.begin(), ap.bssid.end(), frame.begin() + 6);
  frame[12] = kEtherTypeEapol >> 8;
  frame[13] = kEtherTypeEapol & 0xFF;
  std::copy(eapol.begin(), eapol.end(), frame.begin() + kEthernetHeader);
  return frame;
}

// An Ethernet frame from `ap` to the station carrying one EAP packet.
Bytes EapolFrame(const AccessPoint& ap, const MacAddress& self, const Bytes& eap) {
  const size_t length = eap.size();
  Bytes eapol(kEapolHeader + length);
  const uint8_t header[4] = {1, kEapolPacket, static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length)};
  std::copy(header, header + sizeof header, eapol.begin());
  std::copy(eap.begin(), eap.end(), eapol.begin() + kEapolHeader);
  return EthernetFrame(ap, self, eapol);
}

// The security element the station sends in its association request.
Bytes StationSecurityElement(const AccessPoint& ap) {
  if (ap.enterprise) return RsnEnterpriseElement();
  if (ap.privacy && ap.wepKey.empty()) return HasElement(ap.ies, RsnElement()) ? RsnElement() : WpaElement();
  return {};
}

// A BSS's first group key: the BSS has been running for a while, so its
// group frames have reached some packet number.
constexpr uint8_t kFirstGroupKeyId = 1;
constexpr uint64_t kFirstGroupPacketNumber = 0x2A;
constexpr uint32_t kPairwiseKeyBit = 0x40000000;

// Tickets of RADIUS exchanges, unique in the process: an answer for an
// association (or a world) that has gone never matches a later one.
uint64_t NextRadiusTicket() {
  static std::atomic<uint64_t> next{0};
  return ++next;
}

// A MAC address as RFC 3580 writes it in station ids: "00-1A-2B-3C-4D-5E".
std::string StationId(const MacAddress& mac) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < mac.size(); ++i) {
    if (i != 0) text += '-';
    text += kDigits[mac[i] >> 4];
    text += kDigits[mac[i] & 0x0F];
  }
  return text;
}

size_t KeyLengthOf(const AccessPoint& ap) {
  return ap.tkip ? rsn::kTkipKeyLength : rsn::kCcmpKeyLength;
}

Bytes Words(std::initializer_list<uint32_t> words) {
  Bytes b(4 * words.size());
  size_t at = 0;
  for (uint32_t w : words) Put32(b, (at++) * 4, w);
  return b;
}

}  // namespace

Bytes SsidElement(const std::string& ssid) {
  // Sized up front: GCC 12 misreads an insert after a braced list (-Warray-bounds, i686).
  Bytes e(2 + ssid.size());
  e[1] = static_cast<uint8_t>(ssid.size());
  std::copy(ssid.begin(), ssid.end(), e.begin() + 2);
  return e;
}

Bytes RatesElement() {
  return {0x01, 0x08, 0x82, 0x84, 0x8B, 0x96, 0x0C, 0x12, 0x18, 0x24};
}

Bytes DsElement(uint32_t channel) {
  return {0x03, 0x01, static_cast<uint8_t>(channel)};
}

Bytes RsnElement() {
  return {0x30, 20,   0x01, 0x00,              // version 1
          0x00, 0x0F, 0xAC, 0x04,              // group: CCMP
          0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04,  // pairwise: CCMP
          0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02,  // key management: PSK
          0x00, 0x00};                         // capabilities
}

Bytes WpaElement() {
  return {0xDD, 22,   0x00, 0x50, 0xF2, 0x01, 0x01, 0x00,  // vendor type 1, version 1
          0x00, 0x50, 0xF2, 0x02,                          // group: TKIP
          0x01, 0x00, 0x00, 0x50, 0xF2, 0x02,              // pairwise: TKIP
          0x01, 0x00, 0x00, 0x50, 0xF2, 0x02};             // key management: PSK
}

Bytes RsnEnterpriseElement() {
  return {0x30, 20,   0x01, 0x00,              // version 1
          0x00, 0x0F, 0xAC, 0x04,              // group: CCMP
          0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04,  // pairwise: CCMP
          0x01, 0x00, 0x00, 0x0F, 0xAC, 0x01,  // key management: 802.1X
          0x00, 0x00};                         // capabilities
}

Bytes BssidEntry(const AccessPoint& ap) {
  const uint32_t ieLength = kFixedElements + static_cast<uint32_t>(ap.ies.size());
  const uint32_t length = (kEntryFixed + ieLength + 3) & ~3u;
  Bytes e(length, 0);
  Put32(e, offsetof(NDIS_WLAN_BSSID_EX, Length), length);
  std::memcpy(e.data() + offsetof(NDIS_WLAN_BSSID_EX, MacAddress), ap.bssid.data(), 6);
  const size_t ssidLength = std::min<size_t>(ap.ssid.size(), 32);
  Put32(e, offsetof(NDIS_WLAN_BSSID_EX, Ssid), static_cast<uint32_t>(ssidLength));
  std::memcpy(e.data() + offsetof(NDIS_WLAN_BSSID_EX, Ssid) + 4, ap.ssid.data(), ssidLength);
  Put32(e, offsetof(NDIS_WLAN_BSSID_EX, Privacy), ap.privacy);
  Put32(e, offsetof(NDIS_WLAN_BSSID_EX, Rssi), static_cast<uint32_t>(ap.rssi));
  Put32(e, offsetof(NDIS_WLAN_BSSID_EX, NetworkTypeInUse), Ndis802_11OFDM24);
  const size_t config = offsetof(NDIS_WLAN_BSSID_EX, Configuration);
  Put32(e, config + offsetof(NDIS_802_11_CONFIGURATION, Length), sizeof(NDIS_802_11_CONFIGURATION));
  Put32(e, config + offsetof(NDIS_802_11_CONFIGURATION, BeaconPeriod), ap.beaconInterval);
  Put32(e, config + offsetof(NDIS_802_11_CONFIGURATION, DSConfig), ap.dsConfig);
  Put32(e, offsetof(NDIS_WLAN_BSSID_EX, InfrastructureMode), ap.infrastructure);
  std::memcpy(e.data() + offsetof(NDIS_WLAN_BSSID_EX, SupportedRates), kRates, sizeof kRates);
  Put32(e, offsetof(NDIS_WLAN_BSSID_EX, IELength), ieLength);
  // Fixed fields: a timestamp, the beacon interval and the capabilities.
  const uint64_t timestamp = 0x0000001234567890ull + ap.bssid[5];
  std::memcpy(e.data() + kEntryFixed, &timestamp, 8);
  Put16(e, kEntryFixed + 8, ap.beaconInterval);
  Put16(e, kEntryFixed + 10, ap.capabilities);
  if (!ap.ies.empty()) std::memcpy(e.data() + kEntryFixed + kFixedElements, ap.ies.data(), ap.ies.size());
  return e;
}

AccessPoint MakeAccessPoint(std::string ssid, uint8_t lastByte, uint32_t channel, int32_t rssi,
                            int32_t quality, Bytes security) {
  AccessPoint ap;
  ap.ssid = std::move(ssid);
  ap.bssid = {0x00, 0x11, 0x22, 0x33, 0x44, lastByte};
  ap.dsConfig = (2407 + 5 * channel) * 1000;
  ap.rssi = rssi;
  ap.quality = quality;
  ap.privacy = security.empty() ? 0 : 1;
  ap.capabilities = static_cast<uint16_t>(0x0401 | (ap.privacy ? 0x0010 : 0));
  ap.ies = SsidElement(ap.ssid);
  Append(ap.ies, RatesElement());
  Append(ap.ies, DsElement(channel));
  Append(ap.ies, security);
  return ap;
}

AccessPoint WepAccessPoint(std::string ssid, uint8_t lastByte, uint32_t channel, Bytes key) {
  AccessPoint ap = MakeAccessPoint(std::move(ssid), lastByte, channel, -55, 75);
  // Static WEP announces privacy without any RSN or WPA element.
  ap.privacy = 1;
  ap.capabilities |= 0x0010;
  ap.wepKey.assign(key.begin(), key.end());
  WipeSecret(key.data(), key.size());
  return ap;
}

AccessPoint PskAccessPoint(std::string ssid, uint8_t lastByte, uint32_t channel, std::string_view passphrase,
                           bool tkip) {
  AccessPoint ap =
      MakeAccessPoint(std::move(ssid), lastByte, channel, -58, 72, tkip ? WpaElement() : RsnElement());
  ap.passphrase = crypto::SecretText(passphrase);
  ap.tkip = tkip;
  return ap;
}

AccessPoint EnterpriseAccessPoint(std::string ssid, uint8_t lastByte, uint32_t channel,
                                  std::vector<NetworkUser> users, std::optional<RadiusServerConfig> radius) {
  AccessPoint ap = MakeAccessPoint(std::move(ssid), lastByte, channel, -60, 70, RsnEnterpriseElement());
  ap.enterprise = true;
  ap.users = std::move(users);
  ap.radius = std::move(radius);
  return ap;
}

uint32_t LinkCode(JoinOutcome outcome) {
  switch (outcome) {
    case JoinOutcome::kConnected:
      return 1;
    case JoinOutcome::kWrongKey:
      return 4;
    default:
      return 0;
  }
}

std::vector<ListedNetwork> ReadScanList(const uint8_t* list, size_t size) {
  std::vector<ListedNetwork> networks;
  if (size < 4) return networks;
  const uint32_t count = WordAt(list);
  size_t at = 4;
  for (uint32_t i = 0; i < count && size - at >= kEntryFixed; ++i) {
    const uint8_t* entry = list + at;
    const uint32_t length = WordAt(entry + offsetof(NDIS_WLAN_BSSID_EX, Length));
    if (length < kEntryFixed || length > size - at) break;
    ListedNetwork network;
    const size_t ssid = offsetof(NDIS_WLAN_BSSID_EX, Ssid);
    const size_t ssidLength = std::min<size_t>(WordAt(entry + ssid), 32);
    network.ssid.assign(reinterpret_cast<const char*>(entry + ssid + 4), ssidLength);
    std::memcpy(network.bssid.data(), entry + offsetof(NDIS_WLAN_BSSID_EX, MacAddress), 6);
    const size_t config = offsetof(NDIS_WLAN_BSSID_EX, Configuration);
    network.channel = ChannelOf(WordAt(entry + config + offsetof(NDIS_802_11_CONFIGURATION, DSConfig)));
    network.privacy = WordAt(entry + offsetof(NDIS_WLAN_BSSID_EX, Privacy));
    networks.push_back(std::move(network));
    at += length;
  }
  return networks;
}

RadioWorld RadioWorld::Default() {
  RadioWorld world;
  world.accessPoints.push_back(MakeAccessPoint("HalvexOpen", 0x01, 6, -45, 92));
  world.accessPoints.push_back(MakeAccessPoint("HalvexWPA", 0x02, 1, -67, 60, WpaElement()));
  Bytes both = RsnElement();
  Append(both, WpaElement());
  world.accessPoints.push_back(MakeAccessPoint("HalvexWPA2", 0x03, 11, -72, 48, both));
  world.current = 2;
  world.counters = {1200, 40, 3, 25, 5, 10, 1, 2, 4, 1500, 60, 7};
  world.beaconsReceived = 980;
  world.beaconsMissed = 20;
  return world;
}

const AccessPoint* RadioWorld::Current() const {
  return current && *current < accessPoints.size() ? &accessPoints[*current] : nullptr;
}

bool RadioWorld::Listed(size_t index) const {
  if (!station.radioOn) return false;
  return !accessPoints[index].hidden || (index < revealed_.size() && revealed_[index]);
}

Bytes RadioWorld::ScanList(uint32_t room) const {
  Bytes list(4, 0);
  uint32_t count = 0;
  for (size_t i = 0; i < accessPoints.size(); ++i) {
    if (!Listed(i)) continue;
    const Bytes entry = BssidEntry(accessPoints[i]);
    if (list.size() + entry.size() > room) break;
    Append(list, entry);
    ++count;
  }
  Put32(list, 0, count);
  return list;
}

void RadioWorld::Scan(uint32_t oid, const uint8_t* payload, uint32_t size) {
  if (!station.radioOn) return;
  revealed_.resize(accessPoints.size(), false);
  auto reveal = [&](auto names) {
    for (size_t i = 0; i < accessPoints.size(); ++i) {
      if (names(accessPoints[i])) revealed_[i] = true;
    }
  };
  if (oid == OID_HALVEX_SSID_SCAN && size >= offsetof(HALVEX_SSID_SCAN, Ssid) + 32) {
    const size_t length = std::min<size_t>(payload[offsetof(HALVEX_SSID_SCAN, SsidLength)], 32);
    const auto* name = reinterpret_cast<const char*>(payload + offsetof(HALVEX_SSID_SCAN, Ssid));
    const std::string ssid(name, length);
    reveal([&](const AccessPoint& ap) { return ap.ssid == ssid; });
  } else if (oid == OID_HALVEX_BSSID_SCAN && size >= offsetof(HALVEX_BSSID_SCAN, Bssid) + 6) {
    const uint8_t* bssid = payload + offsetof(HALVEX_BSSID_SCAN, Bssid);
    reveal([&](const AccessPoint& ap) { return std::equal(ap.bssid.begin(), ap.bssid.end(), bssid); });
  }
}

JoinOutcome RadioWorld::Judge(const AccessPoint& ap, uint32_t authMode, uint32_t wepStatus) const {
  // 802.1X is its only key management: a pre-shared-key station is turned away.
  if (ap.enterprise) return authMode == ndis::kAuthWpa2 ? JoinOutcome::kConnected : JoinOutcome::kAuthRefused;
  // And a pass phrase the only one here: an 802.1X station is turned away.
  if (ap.passphrase) {
    const uint32_t wanted = ap.tkip ? ndis::kAuthWpaPsk : ndis::kAuthWpa2Psk;
    return authMode == wanted ? JoinOutcome::kConnected : JoinOutcome::kAuthRefused;
  }
  const bool rsn = HasElement(ap.ies, RsnElement());
  const bool wpa = HasElement(ap.ies, WpaElement());
  if (rsn || wpa) {
    // Keys are the supplicant's business: association needs the right mode only.
    const bool takes = (rsn && (authMode == ndis::kAuthWpa2 || authMode == ndis::kAuthWpa2Psk)) ||
                       (wpa && (authMode == ndis::kAuthWpa || authMode == ndis::kAuthWpaPsk));
    return takes ? JoinOutcome::kConnected : JoinOutcome::kAuthRefused;
  }
  if (ap.wepKey.empty()) {
    const bool takes =
        (authMode == ndis::kAuthOpen || authMode == ndis::kAuthAutoSwitch) && wepStatus == ndis::kWepDisabled;
    return takes ? JoinOutcome::kConnected : JoinOutcome::kAuthRefused;
  }
  const bool takes =
      (authMode == ndis::kAuthOpen || authMode == ndis::kAuthShared || authMode == ndis::kAuthAutoSwitch) &&
      wepStatus == ndis::kWepEnabled;
  if (!takes) return JoinOutcome::kAuthRefused;
  return station.wepKeys[station.transmitKey % 4] == ap.wepKey ? JoinOutcome::kConnected
                                                               : JoinOutcome::kWrongKey;
}

bool RadioWorld::ReplaceAccessPoints(std::vector<AccessPoint> points) {
  std::optional<size_t> kept;
  if (current && *current < accessPoints.size()) {
    for (size_t i = 0; i < points.size(); ++i) {
      if (points[i].ssid == accessPoints[*current].ssid) kept = i;
    }
  }
  const bool dropped = current.has_value() && !kept;
  accessPoints = std::move(points);
  current = kept;
  revealed_.clear();
  if (dropped) ResetAuthenticator();
  return dropped;
}

JoinOutcome RadioWorld::Join(const std::string& ssid, uint32_t authMode, uint32_t wepStatus) {
  ResetAuthenticator();
  JoinOutcome outcome = JoinOutcome::kNoNetwork;
  std::optional<size_t> chosen;
  for (size_t i = 0; station.radioOn && i < accessPoints.size(); ++i) {
    const AccessPoint& ap = accessPoints[i];
    // A named join probes for its network, hidden or not; an empty name takes
    // only what the station can see.
    if (ssid.empty() ? !Listed(i) : ap.ssid != ssid) continue;
    const JoinOutcome judged = Judge(ap, authMode, wepStatus);
    if (judged == JoinOutcome::kConnected) {
      if (!chosen || ap.rssi > accessPoints[*chosen].rssi) chosen = i;
      outcome = judged;
    } else if (outcome == JoinOutcome::kNoNetwork) {
      outcome = judged;
    }
  }
  current = chosen;
  return outcome;
}

bool RadioWorld::Disassociate() {
  const bool associated = current.has_value();
  current.reset();
  ResetAuthenticator();
  return associated;
}

void RadioWorld::SetRadio(bool on) {
  station.radioOn = on;
  if (!on) {
    current.reset();
    ResetAuthenticator();
  }
}

void RadioWorld::ResetAuthenticator() {
  eapIdentifier_ = 0;
  radiusState_.clear();
  radiusOut_.reset();
  radiusAwaiting_ = 0;
  station.eapIdentity.clear();
  station.eapAuthorized = false;
  station.eapPmk.clear();
  rsn_ = RsnAuthenticator{};
}

BssGroupKey& RadioWorld::GroupKeyOf(const AccessPoint& ap) {
  auto it = groupKeys_.find(ap.bssid);
  if (it == groupKeys_.end()) {
    BssGroupKey group;
    group.gtk.keyId = kFirstGroupKeyId;
    group.gtk.key.assign(KeyLengthOf(ap), 0);
    crypto::RandomBytes(group.gtk.key);
    group.packetNumber = kFirstGroupPacketNumber;
    it = groupKeys_.emplace(ap.bssid, std::move(group)).first;
  }
  return it->second;
}

std::optional<BssGroupKey> RadioWorld::GroupKey() const {
  const AccessPoint* ap = Current();
  if (ap == nullptr || (!ap->passphrase && !ap->enterprise)) return std::nullopt;
  auto it = groupKeys_.find(ap->bssid);
  return it == groupKeys_.end() ? std::nullopt : std::optional<BssGroupKey>(it->second);
}

std::vector<Bytes> RadioWorld::ToStation(const AccessPoint& ap, const MacAddress& self,
                                         const RsnAuthenticator::Result& result) {
  if (result.micFailure) ++station.pskMicFailures;
  if (result.dropStation) {
    current.reset();
    ResetAuthenticator();
    return {};
  }
  std::vector<Bytes> frames;
  for (const Bytes& eapol : result.frames) frames.push_back(EthernetFrame(ap, self, eapol));
  return frames;
}

std::optional<uint64_t> RadioWorld::AuthenticatorTimer() const {
  return rsn_.Timer();
}

std::vector<Bytes> RadioWorld::AuthenticatorTimedOut(uint64_t ticket, const MacAddress& self) {
  const AccessPoint* ap = Current();
  if (ap == nullptr || (!ap->passphrase && !ap->enterprise)) return {};
  const AccessPoint copy = *ap;  // a dropped association takes Current() along
  return ToStation(copy, self, rsn_.TimedOut(ticket));
}

std::vector<Bytes> RadioWorld::RekeyGroup(const MacAddress& self) {
  const AccessPoint* ap = Current();
  if (ap == nullptr || (!ap->passphrase && !ap->enterprise) || !rsn_.Completed()) return {};
  BssGroupKey& group = GroupKeyOf(*ap);
  group.gtk.keyId = group.gtk.keyId == 1 ? 2 : 1;
  crypto::RandomBytes(group.gtk.key);
  group.packetNumber = 0;
  return ToStation(*ap, self, rsn_.Rekey(group));
}

bool RadioWorld::PortOpen() const {
  const AccessPoint* ap = Current();
  if (ap == nullptr || (!ap->passphrase && !ap->enterprise) || !rsn_.Completed()) return false;
  constexpr size_t kMaterial = offsetof(NDIS_802_11_KEY, KeyMaterial);
  // The driver's pairwise key for this BSSID: the last one added counts.
  for (auto key = station.keys.rbegin(); key != station.keys.rend(); ++key) {
    if (key->size() < kMaterial ||
        (WordAt(key->data() + offsetof(NDIS_802_11_KEY, KeyIndex)) & kPairwiseKeyBit) == 0 ||
        !std::equal(ap->bssid.begin(), ap->bssid.end(), key->data() + offsetof(NDIS_802_11_KEY, BSSID)))
      continue;
    const size_t length =
        std::min<size_t>(WordAt(key->data() + offsetof(NDIS_802_11_KEY, KeyLength)), key->size() - kMaterial);
    const rsn::ByteView tk = rsn_.TemporalKey();
    return std::equal(key->begin() + kMaterial, key->begin() + kMaterial + length, tk.begin(), tk.end());
  }
  return false;
}

Bytes RadioWorld::EapRequest(const AccessPoint& ap, const MacAddress& self, uint8_t type,
                             const std::string& data) {
  ++eapIdentifier_;
  const size_t length = kEapHeader + 1 + data.size();
  Bytes eap(length);
  const uint8_t header[5] = {kEapRequest, eapIdentifier_, static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length), type};
  std::copy(header, header + sizeof header, eap.begin());
  std::copy(data.begin(), data.end(), eap.begin() + sizeof header);
  return EapolFrame(ap, self, eap);
}

std::vector<Bytes> RadioWorld::StartKeyHandshake(const AccessPoint& ap, const MacAddress& self,
                                                 rsn::ByteView pmk) {
  const Bytes none;
  const std::optional<rsn::ByteView> beacon = rsn::FindSecurityElement(ap.ies);
  const Bytes stationRsn = StationSecurityElement(ap);
  const auto suite = ap.tkip ? RsnAuthenticator::Suite::kWpaTkip : RsnAuthenticator::Suite::kWpa2Ccmp;
  return ToStation(ap, self,
                   rsn_.Start(ap.bssid, self, pmk, beacon.value_or(rsn::ByteView(none)), stationRsn,
                              GroupKeyOf(ap), suite));
}

std::vector<Bytes> RadioWorld::StartAuthenticator(const MacAddress& self) {
  const AccessPoint* ap = Current();
  if (ap == nullptr) return {};
  ResetAuthenticator();
  if (ap->enterprise) return {EapRequest(*ap, self, kEapIdentity, "")};
  if (!ap->passphrase) return {};
  const crypto::SecretText name =
      crypto::SecretText::Joined({ap->ssid, std::string_view("\0", 1), ap->passphrase->view()});
  auto pmk = pmks_.find(name);
  if (pmk == pmks_.end()) {
    const Bytes ssid(ap->ssid.begin(), ap->ssid.end());
    std::optional<rsn::SecretBytes> derived = rsn::PassphraseToPmk(ap->passphrase->view(), ssid);
    if (!derived) return {};  // a pass phrase no station could use
    pmk = pmks_.emplace(name, std::move(*derived)).first;
  }
  return StartKeyHandshake(*ap, self, pmk->second);
}

std::vector<Bytes> RadioWorld::RelayToServer(const AccessPoint& ap, const MacAddress& self,
                                             const uint8_t* eap, size_t length) {
  // One exchange with the server at a time: what the station sends while an
  // answer is awaited is dropped, as a retransmission would be.
  if (radiusAwaiting_ != 0) return {};
  if (length >= kEapHeader + 1 && eap[0] == kEapResponse && eap[4] == kEapIdentity) {
    station.eapIdentity.assign(reinterpret_cast<const char*>(eap + kEapHeader + 1), length - kEapHeader - 1);
    radiusState_.clear();  // a new identity starts the exchange afresh
  }
  // Made in place: GCC 12 takes a moved optional member for uninitialized (-O2, TSan).
  RadiusRequest& request = radiusOut_.emplace();
  request.ticket = NextRadiusTicket();
  if (ap.radius) request.server.emplace(*ap.radius);
  request.userName = station.eapIdentity;
  request.eap.assign(eap, eap + length);
  request.state = radiusState_;
  request.calledStationId = StationId(ap.bssid) + ":" + ap.ssid;
  request.callingStationId = StationId(self);
  radiusAwaiting_ = request.ticket;
  ++station.radiusRequests;
  return {};
}

std::optional<RadiusRequest> RadioWorld::TakeRadiusRequest() {
  std::optional<RadiusRequest> request = std::move(radiusOut_);
  radiusOut_.reset();
  return request;
}

std::vector<Bytes> RadioWorld::RadiusAnswered(const RadiusAnswer& answer, const MacAddress& self) {
  const AccessPoint* ap = Current();
  if (ap == nullptr || !ap->enterprise || answer.ticket == 0 || answer.ticket != radiusAwaiting_) return {};
  radiusAwaiting_ = 0;
  const AccessPoint copy = *ap;
  const auto eapFrame = [&](const Bytes& eap) { return EapolFrame(copy, self, eap); };
  // The server's own EAP packet when it sent one, else a Failure of ours.
  const auto failure = [&] {
    ++station.eapFailures;
    radiusState_.clear();
    const Bytes eap = answer.eap.size() >= kEapHeader && answer.eap[0] == kEapFailure
                          ? answer.eap
                          : Bytes{kEapFailure, eapIdentifier_, 0x00, 0x04};
    return std::vector<Bytes>{eapFrame(eap)};
  };
  switch (answer.kind) {
    case RadiusAnswer::Kind::kChallenge:
      radiusState_ = answer.state;
      if (answer.eap.empty()) return {};
      return {eapFrame(answer.eap)};
    case RadiusAnswer::Kind::kReject:
    case RadiusAnswer::Kind::kNoAnswer:
      return failure();
    case RadiusAnswer::Kind::kAccept:
      break;
  }
  // Without keys the station could never get traffic through: that is a refusal.
  if (answer.recvKey.empty()) return failure();
  station.eapAuthorized = true;
  station.eapPmk = answer.recvKey;
  radiusState_.clear();
  std::vector<Bytes> frames;
  if (!answer.eap.empty()) frames.push_back(eapFrame(answer.eap));
  // The PMK is the MSK's first 32 bytes, which the server sent as
  // MS-MPPE-Recv-Key (LEAP's key has only 16).
  rsn::SecretBytes pmk(
      answer.recvKey.begin(),
      answer.recvKey.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(32, answer.recvKey.size())));
  for (Bytes& frame : StartKeyHandshake(copy, self, pmk)) frames.push_back(std::move(frame));
  return frames;
}

std::vector<Bytes> RadioWorld::AuthenticatorReceive(const uint8_t* frame, size_t size,
                                                    const MacAddress& self) {
  const AccessPoint* ap = Current();
  if (ap == nullptr || (!ap->enterprise && !ap->passphrase) || size < kEthernetHeader + kEapolHeader)
    return {};
  if (!std::equal(ap->bssid.begin(), ap->bssid.end(), frame) || BigEndian16(frame + 12) != kEtherTypeEapol)
    return {};
  const uint8_t* eapol = frame + kEthernetHeader;
  const size_t bodyLength = BigEndian16(eapol + 2);
  // The body length must account for exactly the bytes that follow.
  if ((eapol[0] != 1 && eapol[0] != 2) || bodyLength != size - kEthernetHeader - kEapolHeader) return {};
  const AccessPoint copy = *ap;  // a dropped association takes Current() along
  if (eapol[1] == kEapolKey)
    return ToStation(copy, self, rsn_.Receive(rsn::ByteView(eapol, kEapolHeader + bodyLength)));
  if (!ap->enterprise) return {};
  if (eapol[1] == kEapolStart) {
    // The exchange starts over, its identifiers counting on.
    const uint8_t identifier = eapIdentifier_;
    ResetAuthenticator();
    eapIdentifier_ = identifier;
    return {EapRequest(copy, self, kEapIdentity, "")};
  }
  if (eapol[1] != kEapolPacket || bodyLength < kEapHeader) return {};
  const uint8_t* eap = eapol + kEapolHeader;
  const size_t eapLength = BigEndian16(eap + 2);
  if (eapLength < kEapHeader || eapLength > bodyLength) return {};
  return RelayToServer(copy, self, eap, eapLength);
}

Bytes RadioWorld::AssociationInfo() const {
  const AccessPoint* ap = Current();
  if (ap == nullptr) return {};
  // What the station asked with: its SSID, rates and the security element it chose.
  Bytes request = SsidElement(ap->ssid);
  Append(request, RatesElement());
  Append(request, StationSecurityElement(*ap));
  const Bytes response = RatesElement();

  Bytes info(kAssocFixed, 0);
  Put32(info, offsetof(NDIS_802_11_ASSOCIATION_INFORMATION, Length), kAssocFixed);
  Put16(info, offsetof(NDIS_802_11_ASSOCIATION_INFORMATION, AvailableRequestFixedIEs), 0x7);
  const size_t reqFixed = offsetof(NDIS_802_11_ASSOCIATION_INFORMATION, RequestFixedIEs);
  Put16(info, reqFixed, ap->capabilities);
  Put16(info, reqFixed + 2, 10);  // listen interval
  std::memcpy(info.data() + reqFixed + 4, ap->bssid.data(), 6);
  Put32(info, offsetof(NDIS_802_11_ASSOCIATION_INFORMATION, RequestIELength),
        static_cast<uint32_t>(request.size()));
  Put32(info, offsetof(NDIS_802_11_ASSOCIATION_INFORMATION, OffsetRequestIEs), kAssocFixed);
  Put16(info, offsetof(NDIS_802_11_ASSOCIATION_INFORMATION, AvailableResponseFixedIEs), 0x7);
  const size_t resFixed = offsetof(NDIS_802_11_ASSOCIATION_INFORMATION, ResponseFixedIEs);
  Put16(info, resFixed, ap->capabilities);
  Put16(info, resFixed + 2, 0);       // status: success
  Put16(info, resFixed + 4, 0xC001);  // association id 1
  Put32(info, offsetof(NDIS_802_11_ASSOCIATION_INFORMATION, ResponseIELength),
        static_cast<uint32_t>(response.size()));
  Put32(info, offsetof(NDIS_802_11_ASSOCIATION_INFORMATION, OffsetResponseIEs),
        static_cast<uint32_t>(kAssocFixed + request.size()));
  Append(info, request);
  Append(info, response);
  return info;
}

std::optional<Bytes> RadioWorld::Answer(uint32_t oid, const uint8_t* request, uint32_t size) const {
  if (IsRegisterOid(oid)) {
    if (size < 8) return std::nullopt;
    uint32_t words[2];
    std::memcpy(words, request, 8);
    // The content lands on the register number; the second word stays as sent.
    return Words({Register(oid, words[0]), words[1]});
  }
  switch (oid) {
    case OID_802_11_STATISTICS: {
      Bytes record(HALVEX_STATISTICS_SIZE, 0);
      Put32(record, 0, HALVEX_STATISTICS_SIZE);
      std::memcpy(record.data() + 8, counters.data(), 8 * counters.size());
      return record;
    }
    case OID_HALVEX_RSSI_STATS: {
      const AccessPoint* ap = Current();
      const int32_t now = ap ? ap->rssi : -96;
      return Words({static_cast<uint32_t>(now), static_cast<uint32_t>(rssiAverage),
                    static_cast<uint32_t>(rssiMinimum), static_cast<uint32_t>(rssiMaximum)});
    }
    case OID_HALVEX_BEACON_STATS:
      return Words({beaconsReceived, beaconsMissed});
    case OID_HALVEX_RADIO_ON:
      return Words({station.radioOn ? 1u : 0u});
    case OID_802_11_BSSID_LIST:
    case OID_HALVEX_SCAN_LIST:
      return ScanList(size);
    default:
      break;
  }
  const AccessPoint* ap = Current();
  if (ap == nullptr) {
    // Not associated: the station sits on its own channel.
    const uint32_t kilohertz = (station.channel == 14 ? 2484 : 2407 + 5 * station.channel) * 1000;
    if (oid == OID_802_11_CONFIGURATION)
      return Words({uint32_t{sizeof(NDIS_802_11_CONFIGURATION)}, 100, 0, kilohertz, 0, 0, 0, 0});
    if (oid == OID_HALVEX_CHANNEL) return Words({station.channel});
    return std::nullopt;
  }
  switch (oid) {
    case OID_802_11_BSSID:
      return Bytes(ap->bssid.begin(), ap->bssid.end());
    case OID_802_11_SSID: {
      Bytes ssid(sizeof(NDIS_802_11_SSID), 0);
      const size_t n = std::min<size_t>(ap->ssid.size(), 32);
      Put32(ssid, 0, static_cast<uint32_t>(n));
      std::memcpy(ssid.data() + 4, ap->ssid.data(), n);
      return ssid;
    }
    case OID_802_11_CONFIGURATION:
      return Words(
          {uint32_t{sizeof(NDIS_802_11_CONFIGURATION)}, ap->beaconInterval, 0, ap->dsConfig, 0, 0, 0, 0});
    case OID_HALVEX_CHANNEL:
      return Words({ChannelOf(ap->dsConfig)});
    case OID_HALVEX_SIGNAL_INFO: {
      // The request's kind and length come back as sent.
      Bytes info(16, 0);
      if (size >= 8) std::memcpy(info.data(), request, 8);
      Put32(info, 8, static_cast<uint32_t>(ap->rssi));
      Put32(info, 12, static_cast<uint32_t>(ap->quality));
      return info;
    }
    case OID_802_11_RSSI:
      return Words({static_cast<uint32_t>(ap->rssi)});
    case OID_GEN_LINK_SPEED:
      return Words({ap->linkSpeed});
    case OID_802_11_ASSOCIATION_INFORMATION:
      return AssociationInfo();
    default:
      return std::nullopt;
  }
}

bool RadioWorld::Apply(uint32_t oid, const uint8_t* payload, uint32_t size) {
  if (IsRegisterOid(oid)) {
    if (size < 8) return false;
    uint32_t words[2];
    std::memcpy(words, payload, 8);
    registers_[oid][words[0]] = words[1];
    return true;
  }
  switch (oid) {
    case OID_HALVEX_RESET_STATISTICS:
      ResetCounters();
      return true;
    case OID_HALVEX_RADIO_ON:
    case OID_HALVEX_RADIO_OFF:
      SetRadio(oid == OID_HALVEX_RADIO_ON);
      return true;
    default:
      // The rest is also kept as the OID's stored answer.
      Remember(oid, payload, size);
      return false;
  }
}

void RadioWorld::Remember(uint32_t oid, const uint8_t* payload, uint32_t size) {
  auto word = [&](size_t at) { return size >= at + 4 ? WordAt(payload + at) : 0u; };
  switch (oid) {
    case OID_HALVEX_CHANNEL:
      if (size >= 4) station.channel = word(0);
      return;
    case OID_802_11_ADD_WEP: {
      constexpr size_t kMaterial = offsetof(NDIS_802_11_WEP, KeyMaterial);
      const uint32_t keyIndex = word(offsetof(NDIS_802_11_WEP, KeyIndex));
      const uint32_t index = keyIndex & 0xFF;
      const size_t length = std::min<size_t>(word(offsetof(NDIS_802_11_WEP, KeyLength)),
                                             size > kMaterial ? size - kMaterial : 0);
      if (index >= station.wepKeys.size()) return;  // not a static key slot
      station.wepKeys[index].assign(payload + kMaterial, payload + kMaterial + length);
      if (keyIndex & 0x80000000u) station.transmitKey = index;
      return;
    }
    case OID_802_11_ADD_KEY: {
      const size_t length = std::min<size_t>(word(0), size);
      station.keys.emplace_back(payload, payload + length);
      return;
    }
    case OID_802_11_REMOVE_KEY: {
      if (size < sizeof(NDIS_802_11_REMOVE_KEY)) return;
      const uint8_t* bssid = payload + offsetof(NDIS_802_11_REMOVE_KEY, BSSID);
      const uint32_t index = word(offsetof(NDIS_802_11_REMOVE_KEY, KeyIndex)) & 0xFF;
      std::erase_if(station.keys, [&](const crypto::SecretBytes& key) {
        return key.size() >= offsetof(NDIS_802_11_KEY, KeyRSC) &&
               (WordAt(key.data() + offsetof(NDIS_802_11_KEY, KeyIndex)) & 0xFF) == index &&
               std::equal(bssid, bssid + 6, key.data() + offsetof(NDIS_802_11_KEY, BSSID));
      });
      return;
    }
    case OID_802_11_PMKID:
      station.pmkids.assign(payload, payload + std::min<size_t>(word(0), size));
      return;
    case OID_HALVEX_EAPOL_TX: {
      // A 16-bit frame length and two reserved bytes, then the Ethernet frame.
      if (size < 4) return;
      const size_t length = std::min<size_t>(payload[0] | (payload[1] << 8), size - 4);
      station.eapolFrames.emplace_back(payload + 4, payload + 4 + length);
      return;
    }
    default:
      return;
  }
}

void RadioWorld::ResetCounters() {
  counters.fill(0);
  beaconsReceived = 0;
  beaconsMissed = 0;
}

uint32_t RadioWorld::Register(uint32_t oid, uint32_t reg) const {
  if (auto block = registers_.find(oid); block != registers_.end()) {
    if (auto it = block->second.find(reg); it != block->second.end()) return it->second;
  }
  return 0;
}

}  // namespace hx::sim
