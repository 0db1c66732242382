// The radio world behind the simulated adapter: the access points a scan
// finds, the one the adapter is associated with, the station's radio, keys
// and sent frames, its counters and registers.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/rsn_authenticator.h"

namespace hx::sim {

using Bytes = std::vector<uint8_t>;
using MacAddress = std::array<uint8_t, 6>;

// The RADIUS server an 802.1X access point relays to: "a.b.c.d:port" and
// the secret it shares with it.
struct RadiusServerConfig {
  std::string address;
  std::string secret;
  bool operator==(const RadiusServerConfig&) const = default;
};

// A user an 802.1X network knows (for the machine's built-in server). The
// name "*" takes any user name with its password.
struct NetworkUser {
  std::string name;
  std::string password;
  bool operator==(const NetworkUser&) const = default;
};

struct AccessPoint {
  std::string ssid;
  MacAddress bssid{};
  uint32_t dsConfig = 2437000;  // kHz
  int32_t rssi = -50;           // dBm
  int32_t quality = 80;         // percent, as the driver reports it
  uint16_t capabilities = 0x0001;
  uint16_t beaconInterval = 100;
  uint32_t privacy = 0;
  uint32_t linkSpeed = 540000;  // 100 bit/s units
  uint32_t infrastructure = 1;  // Ndis802_11Infrastructure
  Bytes ies;                    // variable elements, after the 12 fixed bytes
  crypto::SecretBytes wepKey;   // a static-WEP network's key; empty for the others
  bool hidden = false;          // listed only once a directed scan named it
  // WPA2-Enterprise: stations authenticate by 802.1X, the access point
  // relaying their EAP to a RADIUS server (its own, or the machine's
  // built-in one, which knows `users`).
  bool enterprise = false;
  std::optional<RadiusServerConfig> radius;
  std::vector<NetworkUser> users;
  std::optional<crypto::SecretText> passphrase;  // WPA-PSK or WPA2-PSK network: its pass phrase
  bool tkip = false;                             // WPA with TKIP (else WPA2 with CCMP)
};

// NDIS authentication modes and encryption states, as joins are judged by.
namespace ndis {
inline constexpr uint32_t kAuthOpen = 0;
inline constexpr uint32_t kAuthShared = 1;
inline constexpr uint32_t kAuthAutoSwitch = 2;
inline constexpr uint32_t kAuthWpa = 3;
inline constexpr uint32_t kAuthWpaPsk = 4;
inline constexpr uint32_t kAuthWpa2 = 6;
inline constexpr uint32_t kAuthWpa2Psk = 7;
inline constexpr uint32_t kWepEnabled = 0;
inline constexpr uint32_t kWepDisabled = 1;
}  // namespace ndis

// How a join ends, and the connection-status event code the driver reports.
enum class JoinOutcome {
  kConnected,    // code 1
  kNoNetwork,    // code 0: no such network in range, or the radio is off
  kAuthRefused,  // code 0: the network does not take the station's auth mode or privacy
  kWrongKey,     // code 4: associated, then dropped: the WEP key does not match
};
uint32_t LinkCode(JoinOutcome outcome);

// What the station holds: its radio, channel, the security material the
// driver was handed, and every EAPOL frame it transmitted.
struct Station {
  bool radioOn = true;
  uint32_t channel = 1;  // where it sits while not associated
  // Key material (and the frames that may carry a password) is wiped when
  // the driver lets go of it.
  std::array<crypto::SecretBytes, 4> wepKeys;  // static WEP keys by 0-based index
  uint32_t transmitKey = 0;                    // 0-based index of the transmit key
  std::vector<crypto::SecretBytes> keys;       // NDIS_802_11_KEY records added, as sent
  crypto::SecretBytes pmkids;                  // the last NDIS_802_11_PMKID record
  // Ethernet frames: destination, source, EtherType, body.
  std::vector<crypto::SecretBytes> eapolFrames;
  // What the associated access point's 802.1X authenticator made of the
  // station; identity and authorisation go with each new association.
  std::string eapIdentity;      // the user name of the last Response/Identity
  bool eapAuthorized = false;   // the RADIUS server accepted the station
  uint32_t eapFailures = 0;     // EAP-Failures sent, across associations
  rsn::SecretBytes eapPmk;      // the PMK the server's MS-MPPE-Recv-Key gave
  uint32_t radiusRequests = 0;  // Access-Requests relayed, across associations
  // Messages 2 of a WPA2-PSK 4-way handshake whose MIC did not hold (another
  // pass phrase), across associations.
  uint32_t pskMicFailures = 0;
  std::vector<Bytes> receivedFrames;  // Ethernet frames the access points sent the station
};

// Information elements as an access point sends them.
Bytes SsidElement(const std::string& ssid);
Bytes RatesElement();
Bytes DsElement(uint32_t channel);
Bytes RsnElement();            // WPA2-PSK, CCMP
Bytes WpaElement();            // WPA-PSK, TKIP
Bytes RsnEnterpriseElement();  // WPA2-Enterprise (802.1X), CCMP

// An access point as the default world builds them; `security` holds the
// RSN/WPA elements, if any.
AccessPoint MakeAccessPoint(std::string ssid, uint8_t lastByte, uint32_t channel, int32_t rssi,
                            int32_t quality, Bytes security = {});
// A static-WEP access point with `key`.
AccessPoint WepAccessPoint(std::string ssid, uint8_t lastByte, uint32_t channel, Bytes key);
// A WPA2-Enterprise access point knowing `users`, relaying to `radius` (none:
// the machine's built-in server).
AccessPoint EnterpriseAccessPoint(std::string ssid, uint8_t lastByte, uint32_t channel,
                                  std::vector<NetworkUser> users,
                                  std::optional<RadiusServerConfig> radius = std::nullopt);
// A WPA2-PSK (CCMP) access point whose authenticator runs the 4-way
// handshake with the PMK of `passphrase`; WPA-PSK (TKIP) with `tkip`.
AccessPoint PskAccessPoint(std::string ssid, uint8_t lastByte, uint32_t channel, std::string_view passphrase,
                           bool tkip = false);

// What an 802.1X access point asks of its RADIUS server: the station's EAP
// packet with what the Access-Request says about it. `ticket` names the
// exchange: an answer for another one is dropped.
struct RadiusRequest {
  uint64_t ticket = 0;
  std::optional<RadiusServerConfig> server;  // none: the machine's built-in one
  std::string userName;
  Bytes eap;
  Bytes state;  // the last answer's State, echoed
  std::string calledStationId, callingStationId;
};
struct RadiusAnswer {
  enum class Kind { kChallenge, kAccept, kReject, kNoAnswer };
  uint64_t ticket = 0;
  Kind kind = Kind::kNoAnswer;
  Bytes eap;                 // the EAP-Message, if any
  Bytes state;               // kChallenge
  rsn::SecretBytes recvKey;  // kAccept: MS-MPPE-Recv-Key, decrypted
  std::string note;          // kNoAnswer: why
};

class RadioWorld {
 public:
  // Three access points (open, WPA, WPA2), associated with the last.
  static RadioWorld Default();

  std::vector<AccessPoint> accessPoints;
  std::optional<size_t> current;  // index of the associated access point
  Station station;

  // An NDIS_802_11_BSSID_LIST_EX holding the entries that fit `room` bytes:
  // the access points in range, none while the radio is off.
  Bytes ScanList(uint32_t room) const;
  // A scan request (OID and payload): a directed scan reveals the hidden
  // access points it names.
  void Scan(uint32_t oid, const uint8_t* payload, uint32_t size);
  // Judges a join for `ssid` (empty: the strongest network that would take
  // the station) and associates on success, drops the association otherwise.
  JoinOutcome Join(const std::string& ssid, uint32_t authMode, uint32_t wepStatus);
  // Drops the association; true when there was one.
  bool Disassociate();
  // The networks in range change (their file was edited): the association
  // stays with an access point of the same SSID still in range, else it is
  // dropped; true when it was dropped.
  bool ReplaceAccessPoints(std::vector<AccessPoint> points);
  // Switches the radio; switching it off drops the association.
  void SetRadio(bool on);
  // The associated access point's authenticator, 802.1X or WPA2-PSK. Each
  // returns the Ethernet frames it sends to the station at `self`, in order;
  // none when the access point uses neither. Start opens the exchange after
  // a successful join; Receive takes one frame the station transmitted. A
  // WPA2-PSK authenticator may drop the association (a station whose
  // message 2 names other security than it associated with).
  std::vector<Bytes> StartAuthenticator(const MacAddress& self);
  std::vector<Bytes> AuthenticatorReceive(const uint8_t* frame, size_t size, const MacAddress& self);
  // The WPA2-PSK authenticator's retransmission timer: the ticket to hand
  // back once it ran out, while a message awaits its answer.
  std::optional<uint64_t> AuthenticatorTimer() const;
  // The timer `ticket` ran out: the message sent again, or, its attempts
  // spent, the association dropped (nothing sent).
  std::vector<Bytes> AuthenticatorTimedOut(uint64_t ticket, const MacAddress& self);
  // The request an 802.1X access point wants sent to its RADIUS server, made
  // by the last frame the station sent; and the server's answer to it.
  std::optional<RadiusRequest> TakeRadiusRequest();
  std::vector<Bytes> RadiusAnswered(const RadiusAnswer& answer, const MacAddress& self);
  // A new group key for the associated WPA2-PSK access point, sent to the
  // station in the group key handshake; none before a 4-way handshake ended.
  std::vector<Bytes> RekeyGroup(const MacAddress& self);
  // Traffic flows: the station completed the 4-way handshake with the
  // associated WPA2-PSK, WPA-PSK or WPA2-Enterprise access point and the
  // driver holds, for its BSSID, the pairwise key the access point derived.
  bool PortOpen() const;
  // The associated WPA2-PSK access point's handshake with the station, and
  // its group key (none for other networks).
  const RsnAuthenticator& Handshake() const { return rsn_; }
  std::optional<BssGroupKey> GroupKey() const;
  // An NDIS_802_11_ASSOCIATION_INFORMATION for the current access point.
  Bytes AssociationInfo() const;
  // The world's answer of a query OID, if it has one. `request` is the
  // payload the caller sent (register reads carry the register number).
  std::optional<Bytes> Answer(uint32_t oid, const uint8_t* request, uint32_t size) const;
  // Applies a set OID the world models; false when it does not.
  bool Apply(uint32_t oid, const uint8_t* payload, uint32_t size);

  void ResetCounters();
  uint32_t Register(uint32_t oid, uint32_t reg) const;

  std::array<uint64_t, 12> counters{};  // the statistics record's counters, in order
  int32_t rssiAverage = -52, rssiMinimum = -70, rssiMaximum = -40;
  uint32_t beaconsReceived = 0, beaconsMissed = 0;

 private:
  const AccessPoint* Current() const;
  bool Listed(size_t index) const;
  JoinOutcome Judge(const AccessPoint& ap, uint32_t authMode, uint32_t wepStatus) const;
  void Remember(uint32_t oid, const uint8_t* payload, uint32_t size);
  void ResetAuthenticator();
  std::vector<Bytes> ToStation(const AccessPoint& ap, const MacAddress& self,
                               const RsnAuthenticator::Result& result);
  BssGroupKey& GroupKeyOf(const AccessPoint& ap);
  Bytes EapRequest(const AccessPoint& ap, const MacAddress& self, uint8_t type, const std::string& data);
  std::vector<Bytes> StartKeyHandshake(const AccessPoint& ap, const MacAddress& self, rsn::ByteView pmk);
  std::vector<Bytes> RelayToServer(const AccessPoint& ap, const MacAddress& self, const uint8_t* eap,
                                   size_t length);
  // The 802.1X exchange: the identifier of the access point's own request,
  // the server's State to echo, the request waiting to go out and the ticket
  // of the one awaiting its answer (0: none).
  uint8_t eapIdentifier_ = 0;
  Bytes radiusState_;
  std::optional<RadiusRequest> radiusOut_;
  uint64_t radiusAwaiting_ = 0;
  RsnAuthenticator rsn_;
  std::map<MacAddress, BssGroupKey> groupKeys_;          // by BSSID, made on first use
  std::map<crypto::SecretText, rsn::SecretBytes> pmks_;  // by SSID and pass phrase
  std::vector<bool> revealed_;  // hidden access points a directed scan named, by index
  std::map<uint32_t, std::map<uint32_t, uint32_t>> registers_;  // by OID, then number
};

// Builds the entry bytes of one access point (Length already set).
Bytes BssidEntry(const AccessPoint& ap);

// One entry of a scan list as a caller reads it back.
struct ListedNetwork {
  std::string ssid;
  MacAddress bssid{};
  uint32_t channel = 0;
  uint32_t privacy = 0;
};
// The entries of an NDIS_802_11_BSSID_LIST_EX of `size` bytes; the reading
// stops at the first entry that does not fit.
std::vector<ListedNetwork> ReadScanList(const uint8_t* list, size_t size);

}  // namespace hx::sim
