// The stand-in's key handshakes of IEEE 802.11 on the link's thread: the
// 4-way and group key handshakes of WPA2 with CCMP (key descriptor version 2)
// and of WPA with TKIP (version 1), on a PMK from a pass phrase or from
// 802.1X's MSK. Keys go to the library as key events, frames as EAPOL
// events; whatever the access point sends that does not check out is
// dropped with a trace line.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "crypto/rsn.h"
#include "toolkit/step.h"

namespace odstk_sim {

namespace rsn = hx::rsn;
using hx::crypto::ByteView;
using hx::crypto::SecretBytes;

// One association's handshake state.
struct PskHandshake {
  std::optional<uint64_t> answered;  // replay counter of the last message 1 answered
  std::optional<uint64_t> verified;  // highest replay counter of a frame whose MIC held
  rsn::Nonce anonce{}, snonce{};
  std::optional<rsn::Ptk> ptk;             // of the message 1 answered
  std::optional<rsn::Ptk> installed;       // whose TK the driver has
  std::optional<rsn::Nonce> installedFor;  // the ANonce of that PTK
  std::optional<rsn::GroupKey> gtk;        // installed
  bool connected = false;                  // the link was reported authenticated
};

struct PskState {
  uint64_t session = ~uint64_t{0};
  PskHandshake handshake;
  // The PMK of the last SSID and pass phrase (kept across sessions: deriving
  // it is the handshake's costly part).
  SecretBytes pmkOf;
  SecretBytes pmk;
  // 802.1X's PMK, for its session only.
  SecretBytes enterprisePmk;
};

namespace {

constexpr uint8_t kSupplicantEapolVersion = 1;
constexpr ULONG kPairwiseKeyIndex = kKeyTransmit | kKeyPairwise;  // key 0, no RSC
constexpr UCHAR kNoRsc[8] = {};
constexpr ULONG kCipherTkip = 2;

constexpr uint16_t kMessage3Bits = rsn::kInfoInstall | rsn::kInfoMic | rsn::kInfoSecure | rsn::kInfoEncrypted;
constexpr uint16_t kWpaMessage3Bits = rsn::kInfoInstall | rsn::kInfoMic;
constexpr uint16_t kGroupMessage1Bits = rsn::kInfoMic | rsn::kInfoSecure | rsn::kInfoEncrypted;
constexpr uint16_t kWpaGroupMessage1Bits = rsn::kInfoMic | rsn::kInfoSecure;

rsn::Mac MacOf(const UCHAR* bytes) {
  rsn::Mac mac;
  std::copy_n(bytes, 6, mac.begin());
  return mac;
}

bool SameBytes(ByteView a, ByteView b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// The state of the link's handshake for `session`; afresh for a new session.
PskState& StateFor(Link& link, uint64_t session) {
  if (!link.psk) link.psk = std::make_shared<PskState>();
  if (link.psk->session != session) {
    link.psk->session = session;
    link.psk->handshake = PskHandshake{};
    link.psk->enterprisePmk.clear();
  }
  return *link.psk;
}

class PskStep : LinkStep {
 public:
  using LinkStep::LinkStep;

  void Run(const std::vector<UCHAR>& frame) {
    Trace(3, "EAPOL received", frame.data(), frame.size());
    if (!Begin()) return;
    const std::optional<rsn::KeyFrame> key = rsn::ParseKeyFrame(frame);
    if (!key) return Drop("not an RSN or WPA EAPOL-Key frame");
    const uint16_t info = key->info;
    if ((info & rsn::kInfoVersionMask) != Version())
      return Drop("key descriptor version " + std::to_string(info & rsn::kInfoVersionMask) +
                  " (this network speaks " + std::to_string(Version()) + ")");
    if ((info & (rsn::kInfoAck | rsn::kInfoRequest | rsn::kInfoError)) != rsn::kInfoAck)
      return Drop("not an authenticator's message");
    if ((info & rsn::kInfoPairwise) == 0) return OnGroupMessage1(frame, *key);
    if ((info & rsn::kInfoMic) == 0) return OnMessage1(*key);
    return OnMessage3(frame, *key);
  }

  void OnTimeout() {
    if (!Begin()) return;
    const PskHandshake& h = state_->handshake;
    if (h.installed) return;
    if (h.answered) {
      Trace(1, Enterprise() ? "4-way handshake: no valid message 3 in time"
                            : "4-way handshake: no valid message 3 in time; the pass phrase may be wrong");
      RaiseAuthState(kAuthFailed);
    } else {
      Trace(1, "4-way handshake: the access point never sent message 1");
      RaiseLinkState(kLinkTimeout);
    }
  }

 private:
  // Takes the network and the link's handshake state; false when the
  // session is over. A new session starts from a fresh handshake.
  bool Begin() {
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return false;
      network_ = *link_->accepted;
    }
    // Only the link's thread gets here: the state needs no lock.
    state_ = &StateFor(*link_, session_);
    return true;
  }

  bool Enterprise() const { return network_.use8021X == 1; }
  bool Tkip() const { return network_.cipher == kCipherTkip; }
  uint16_t Version() const { return Tkip() ? rsn::kInfoVersionRc4 : rsn::kInfoVersionAes; }
  size_t KeyLength() const { return Tkip() ? rsn::kTkipKeyLength : rsn::kCcmpKeyLength; }

  void Drop(const std::string& why) { Trace(4, "EAPOL-Key frame dropped: " + why); }

  // The PMK: 802.1X's once it succeeded, else that of the network's SSID and
  // pass phrase, derived once.
  const SecretBytes* Pmk() {
    if (Enterprise()) return state_->enterprisePmk.empty() ? nullptr : &state_->enterprisePmk;
    SecretBytes of(1, static_cast<uint8_t>(network_.ssid.size()));
    of.insert(of.end(), network_.ssid.begin(), network_.ssid.end());
    of.insert(of.end(), network_.passphrase.begin(), network_.passphrase.end());
    if (!state_->pmk.empty() && state_->pmkOf == of) return &state_->pmk;
    const std::string_view passphrase(reinterpret_cast<const char*>(network_.passphrase.data()),
                                      network_.passphrase.size());
    std::optional<SecretBytes> pmk = rsn::PassphraseToPmk(passphrase, network_.ssid);
    if (!pmk) return nullptr;
    state_->pmk = std::move(*pmk);
    state_->pmkOf = std::move(of);
    return &state_->pmk;
  }

  // The RSN (or WPA) element this station associated with; the announced
  // one when the association request is not known.
  std::vector<UCHAR> OwnElement() const {
    std::optional<ByteView> element = rsn::FindSecurityElement(network_.requestIes);
    if (!element) element = rsn::FindSecurityElement(network_.beaconIes);
    return element ? std::vector<UCHAR>(element->begin(), element->end()) : std::vector<UCHAR>{};
  }

  // The element the network announced: its beacon's or probe response's, as
  // the scan list had them. A hidden network's beacon names no SSID, so the
  // scan list may have nothing for it; the association, whose element the
  // station chose from the probe response, stands in then.
  std::optional<ByteView> AnnouncedElement() const {
    if (std::optional<ByteView> element = rsn::FindSecurityElement(network_.beaconIes)) return element;
    return rsn::FindSecurityElement(network_.requestIes);
  }

  void Reply(uint8_t descriptor, uint16_t info, uint64_t replayCounter, const rsn::Nonce& nonce,
             std::vector<UCHAR> data, ByteView kck) {
    rsn::KeyFrame reply;
    reply.protocolVersion = kSupplicantEapolVersion;
    reply.descriptor = descriptor;
    reply.info = static_cast<uint16_t>(Version() | info);
    reply.replayCounter = replayCounter;
    reply.nonce = nonce;
    reply.data = std::move(data);
    Send(rsn::BuildKeyFrame(reply, kck));
  }

  void OnMessage1(const rsn::KeyFrame& key) {
    PskHandshake& h = state_->handshake;
    if (h.verified && key.replayCounter <= *h.verified) return Drop("message 1 replays a counter");
    if (h.answered && key.replayCounter == *h.answered) return Drop("message 1 repeats the last one");
    if (Tkip() && !Rc4Available()) {
      Trace(1,
            "4-way handshake: TKIP needs RC4 for its group key, which this system's cryptography does not "
            "offer");
      RaiseAuthState(kAuthFailed);
      return;
    }
    const SecretBytes* pmk = Pmk();
    if (pmk == nullptr) {
      if (Enterprise()) return Drop("message 1 before 802.1X gave a PMK");
      Trace(1, "4-way handshake: the pass phrase or SSID cannot make a PMK");
      RaiseAuthState(kAuthFailed);
      return;
    }
    // A repeated message 1 (same ANonce) is answered with the same SNonce.
    if (!h.ptk || key.nonce != h.anonce) {
      rsn::Nonce snonce;
      if (!rsn::RandomNonce(snonce)) return Drop("no random source for the SNonce");
      std::optional<rsn::Ptk> ptk = rsn::DerivePtk(*pmk, MacOf(network_.bssid), MacOf(network_.ownAddress),
                                                   key.nonce, snonce, KeyLength());
      if (!ptk) return Drop("the PTK could not be derived");
      h.anonce = key.nonce;
      h.snonce = snonce;
      h.ptk = std::move(ptk);
    }
    const bool first = !h.answered;
    h.answered = key.replayCounter;
    Trace(4, "4-way handshake: message 1, answering with message 2");
    if (first && !RaiseLinkState(kLinkKeyWait)) return;
    Reply(key.descriptor, rsn::kInfoPairwise | rsn::kInfoMic, key.replayCounter, h.snonce, OwnElement(),
          h.ptk->kck);
  }

  static bool Rc4Available() {
    uint8_t probe[1] = {0};
    const uint8_t key[16] = {};
    return hx::crypto::Rc4(key, 0, probe);
  }

  void OnMessage3(const std::vector<UCHAR>& frame, const rsn::KeyFrame& key) {
    PskHandshake& h = state_->handshake;
    const uint16_t wanted = Tkip() ? kWpaMessage3Bits : kMessage3Bits;
    if ((key.info & wanted) != wanted) return Drop("message 3 lacks install, MIC, secure or key data");
    if (!h.ptk || !h.answered || key.nonce != h.anonce) return Drop("message 3 answers no message 1 of ours");
    if (key.replayCounter <= *h.answered || (h.verified && key.replayCounter <= *h.verified))
      return Drop("message 3 replays a counter");
    if (!rsn::MicMatches(frame, h.ptk->kck)) {
      Trace(1, "4-way handshake: message 3 fails its MIC");
      return;
    }
    h.verified = key.replayCounter;
    // WPA's key data is its element, plain; WPA2's is wrapped and holds the GTK.
    SecretBytes keyData(key.data.begin(), key.data.end());
    if (!Tkip() && !rsn::UnwrapKeyData(h.ptk->kek, key.data, keyData))
      return Drop("message 3 key data does not unwrap");
    const std::optional<ByteView> offered = rsn::FindSecurityElement(keyData);
    const std::optional<ByteView> announced = AnnouncedElement();
    if (!offered || !announced || !SameBytes(*offered, *announced)) {
      // Someone between us and the access point may be talking us down to
      // weaker security: leave the network.
      Trace(1,
            "4-way handshake: message 3's security element is not the one the network announced; leaving it");
      ODSTK_EVENT_HEADER error{0, kEventConnectionError};
      Raise(&error);
      return;
    }
    std::optional<rsn::GroupKey> gtk;
    if (!Tkip()) {
      gtk = rsn::FindGroupKey(keyData);
      if (!gtk || gtk->key.size() != rsn::kCcmpKeyLength) return Drop("message 3 carries no GTK");
    }

    // A retransmitted message 3 gets its message 4, but the keys stay as they
    // are: installing them again would reset their packet numbers.
    const bool fresh = !h.installedFor || *h.installedFor != h.anonce;
    Trace(4, fresh ? "4-way handshake: message 3, answering with message 4"
                   : "4-way handshake: message 3 again; message 4 again, keys kept");
    // 802.1X said "authenticated" at its Success already.
    if (fresh && !Enterprise() && !RaiseAuthState(kAuthSucceeded)) return;
    const uint16_t message4 =
        Tkip() ? rsn::kInfoPairwise | rsn::kInfoMic : rsn::kInfoPairwise | rsn::kInfoMic | rsn::kInfoSecure;
    Reply(key.descriptor, message4, key.replayCounter, rsn::Nonce{}, {}, h.ptk->kck);
    if (!fresh) return;
    if (!RaiseKey(kPairwiseKeyIndex, network_.bssid, kNoRsc, h.ptk->tk)) return;
    h.installed = h.ptk;
    h.installedFor = h.anonce;
    // WPA's group key comes in a handshake of its own, next.
    if (Tkip()) return;
    if (!InstallGroupKey(std::move(*gtk), key.rsc.data())) return;
    Connected();
  }

  // The link is up: the timer stops, and the connected event comes last, so
  // that later key events (rekeys) say no more than that a key came.
  void Connected() {
    PskHandshake& h = state_->handshake;
    if (h.connected) return;
    {
      Lock lock(Toolkit().mu);
      if (LiveLocked()) DisarmTimerLocked(*link_);
    }
    h.connected = true;
    if (!RaiseLinkState(kLinkAuthenticated)) return;
    ODSTK_EVENT_HEADER connected{0, kEventConnected};
    Raise(&connected);
  }

  void OnGroupMessage1(const std::vector<UCHAR>& frame, const rsn::KeyFrame& key) {
    PskHandshake& h = state_->handshake;
    const uint16_t wanted = Tkip() ? kWpaGroupMessage1Bits : kGroupMessage1Bits;
    if ((key.info & wanted) != wanted) return Drop("group message lacks MIC or key data");
    if (!h.installed) return Drop("group message before the pairwise keys");
    if (h.verified && key.replayCounter <= *h.verified) return Drop("group message replays a counter");
    if (!rsn::MicMatches(frame, h.installed->kck)) {
      Trace(1, "group key handshake: message 1 fails its MIC");
      return;
    }
    h.verified = key.replayCounter;
    std::optional<rsn::GroupKey> gtk;
    if (Tkip()) {
      // The GTK itself, RC4-encrypted; its index in the key information.
      SecretBytes plain(key.data.begin(), key.data.end());
      if (key.keyLength != rsn::kTkipKeyLength || plain.size() < key.keyLength ||
          !rsn::Rc4KeyData(h.installed->kek, key.iv, plain))
        return Drop("group message key data does not decrypt to a TKIP key");
      plain.resize(key.keyLength);
      gtk =
          rsn::GroupKey{static_cast<uint8_t>((key.info & rsn::kInfoKeyIndexMask) >> rsn::kInfoKeyIndexShift),
                        std::move(plain)};
    } else {
      SecretBytes keyData;
      if (!rsn::UnwrapKeyData(h.installed->kek, key.data, keyData))
        return Drop("group message key data does not unwrap");
      gtk = rsn::FindGroupKey(keyData);
      if (!gtk || gtk->key.size() != rsn::kCcmpKeyLength) return Drop("group message carries no GTK");
    }
    Trace(4, "group key handshake: message 1, answering with message 2");
    const uint8_t keyId = gtk->keyId;
    if (!InstallGroupKey(std::move(*gtk), key.rsc.data())) return;
    const uint16_t index = Tkip() ? static_cast<uint16_t>(keyId << rsn::kInfoKeyIndexShift) : 0;
    Reply(key.descriptor, rsn::kInfoMic | rsn::kInfoSecure | index, key.replayCounter, rsn::Nonce{}, {},
          h.installed->kck);
    if (Tkip()) Connected();
  }

  // Installs `gtk` unless it is the one the driver has already.
  bool InstallGroupKey(rsn::GroupKey gtk, const UCHAR* rsc) {
    PskHandshake& h = state_->handshake;
    if (h.gtk && h.gtk->keyId == gtk.keyId && h.gtk->key == gtk.key) {
      Trace(4, "group key unchanged: not installed again");
      return true;
    }
    if (!RaiseKey(kKeyRscGiven | gtk.keyId, network_.bssid, rsc, gtk.key)) return false;
    h.gtk = std::move(gtk);
    return true;
  }

  AcceptedNetwork network_;
  PskState* state_ = nullptr;
};

void ArmHandshakeTimerLocked(const std::shared_ptr<Link>& link) {
  std::weak_ptr<Link> weak = link;
  ArmTimerLocked(*link, std::chrono::milliseconds(Toolkit().handshakeTimeoutMs),
                 [weak, session = link->session] {
                   if (std::shared_ptr<Link> live = weak.lock())
                     PskStep(std::move(live), session).OnTimeout();
                 });
}

}  // namespace

void RunPskStep(std::shared_ptr<Link> link, uint64_t session, const std::vector<UCHAR>& frame) {
  PskStep(std::move(link), session).Run(frame);
}

void StartPskSessionLocked(const std::shared_ptr<Link>& link) {
  if (!link || !ServesLocked(*link) || !IsPskNetwork(*link->accepted)) return;
  ArmHandshakeTimerLocked(link);
}

void StartEnterpriseHandshake(const std::shared_ptr<Link>& link, uint64_t session, SecretBytes pmk) {
  Lock lock(Toolkit().mu);
  if (link->session != session || !ServesLocked(*link)) return;
  // The state is the link thread's, and so is this call.
  StateFor(*link, session).enterprisePmk = std::move(pmk);
  ArmHandshakeTimerLocked(link);
}

}  // namespace odstk_sim
