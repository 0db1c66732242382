// The stand-in's pre-shared-key supplicant: the 4-way and group key
// handshakes of IEEE 802.11 (WPA2 with CCMP) on the link's thread. Keys go to
// the library as key events, frames as EAPOL events; whatever the access
// point sends that does not check out is dropped with a trace line.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

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
};

struct PskState {
  uint64_t session = ~uint64_t{0};
  PskHandshake handshake;
  // The PMK of the last SSID and pass phrase (kept across sessions: deriving
  // it is the handshake's costly part).
  SecretBytes pmkOf;
  SecretBytes pmk;
};

namespace {

constexpr uint8_t kSupplicantEapolVersion = 1;
constexpr ULONG kPairwiseKeyIndex = kKeyTransmit | kKeyPairwise;  // key 0, no RSC
constexpr UCHAR kNoRsc[8] = {};

constexpr uint16_t kMessage3Bits = rsn::kInfoInstall | rsn::kInfoMic | rsn::kInfoSecure | rsn::kInfoEncrypted;
constexpr uint16_t kGroupMessage1Bits = rsn::kInfoMic | rsn::kInfoSecure | rsn::kInfoEncrypted;

rsn::Mac MacOf(const UCHAR* bytes) {
  rsn::Mac mac;
  std::copy_n(bytes, 6, mac.begin());
  return mac;
}

bool SameBytes(ByteView a, ByteView b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

class PskStep : LinkStep {
 public:
  using LinkStep::LinkStep;

  void Run(const std::vector<UCHAR>& frame) {
    Trace(3, "EAPOL received", frame.data(), frame.size());
    if (!Begin()) return;
    const std::optional<rsn::KeyFrame> key = rsn::ParseKeyFrame(frame);
    if (!key) return Drop("not an RSN EAPOL-Key frame");
    const uint16_t info = key->info;
    if ((info & rsn::kInfoVersionMask) != rsn::kInfoVersionAes)
      return Drop("key descriptor version " + std::to_string(info & rsn::kInfoVersionMask) +
                  " (only AES with HMAC-SHA1 is spoken)");
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
      Trace(1, "4-way handshake: no valid message 3 in time; the pass phrase may be wrong");
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
    if (!link_->psk) link_->psk = std::make_shared<PskState>();
    state_ = link_->psk.get();
    if (state_->session != session_) {
      state_->session = session_;
      state_->handshake = PskHandshake{};
    }
    return true;
  }

  void Drop(const std::string& why) { Trace(4, "EAPOL-Key frame dropped: " + why); }

  // The PMK of the network's SSID and pass phrase, derived once.
  const SecretBytes* Pmk() {
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

  // The RSN element this station associated with; the beacon's when the
  // association request is not known.
  std::vector<UCHAR> OwnRsnElement() const {
    std::optional<ByteView> element = rsn::FindElement(network_.requestIes, rsn::kRsnElementId);
    if (!element) element = rsn::FindElement(network_.beaconIes, rsn::kRsnElementId);
    return element ? std::vector<UCHAR>(element->begin(), element->end()) : std::vector<UCHAR>{};
  }

  void Reply(uint16_t info, uint64_t replayCounter, const rsn::Nonce& nonce, std::vector<UCHAR> data,
             ByteView kck) {
    rsn::KeyFrame reply;
    reply.protocolVersion = kSupplicantEapolVersion;
    reply.info = static_cast<uint16_t>(rsn::kInfoVersionAes | info);
    reply.replayCounter = replayCounter;
    reply.nonce = nonce;
    reply.data = std::move(data);
    Send(rsn::BuildKeyFrame(reply, kck));
  }

  void OnMessage1(const rsn::KeyFrame& key) {
    PskHandshake& h = state_->handshake;
    if (h.verified && key.replayCounter <= *h.verified) return Drop("message 1 replays a counter");
    if (h.answered && key.replayCounter == *h.answered) return Drop("message 1 repeats the last one");
    const SecretBytes* pmk = Pmk();
    if (pmk == nullptr) {
      Trace(1, "4-way handshake: the pass phrase or SSID cannot make a PMK");
      RaiseAuthState(kAuthFailed);
      return;
    }
    // A repeated message 1 (same ANonce) is answered with the same SNonce.
    if (!h.ptk || key.nonce != h.anonce) {
      rsn::Nonce snonce;
      if (!rsn::RandomNonce(snonce)) return Drop("no random source for the SNonce");
      std::optional<rsn::Ptk> ptk =
          rsn::DerivePtk(*pmk, MacOf(network_.bssid), MacOf(network_.ownAddress), key.nonce, snonce);
      if (!ptk) return Drop("the PTK could not be derived");
      h.anonce = key.nonce;
      h.snonce = snonce;
      h.ptk = std::move(ptk);
    }
    const bool first = !h.answered;
    h.answered = key.replayCounter;
    Trace(4, "4-way handshake: message 1, answering with message 2");
    if (first && !RaiseLinkState(kLinkKeyWait)) return;
    Reply(rsn::kInfoPairwise | rsn::kInfoMic, key.replayCounter, h.snonce, OwnRsnElement(), h.ptk->kck);
  }

  void OnMessage3(const std::vector<UCHAR>& frame, const rsn::KeyFrame& key) {
    PskHandshake& h = state_->handshake;
    if ((key.info & kMessage3Bits) != kMessage3Bits)
      return Drop("message 3 lacks install, secure or key data");
    if (!h.ptk || !h.answered || key.nonce != h.anonce) return Drop("message 3 answers no message 1 of ours");
    if (key.replayCounter <= *h.answered || (h.verified && key.replayCounter <= *h.verified))
      return Drop("message 3 replays a counter");
    if (!rsn::MicMatches(frame, h.ptk->kck)) {
      Trace(1, "4-way handshake: message 3 fails its MIC");
      return;
    }
    h.verified = key.replayCounter;
    SecretBytes keyData;
    if (!rsn::UnwrapKeyData(h.ptk->kek, key.data, keyData)) return Drop("message 3 key data does not unwrap");
    const std::optional<ByteView> offered = rsn::FindElement(keyData, rsn::kRsnElementId);
    const std::optional<ByteView> announced = rsn::FindElement(network_.beaconIes, rsn::kRsnElementId);
    if (!offered || !announced || !SameBytes(*offered, *announced)) {
      // Someone between us and the access point may be talking us down to
      // weaker security: leave the network.
      Trace(1, "4-way handshake: message 3's RSN element is not the beacon's; leaving the network");
      ODSTK_EVENT_HEADER error{0, kEventConnectionError};
      Raise(&error);
      return;
    }
    std::optional<rsn::GroupKey> gtk = rsn::FindGroupKey(keyData);
    if (!gtk || gtk->key.size() != rsn::kCcmpKeyLength) return Drop("message 3 carries no GTK");

    // A retransmitted message 3 gets its message 4, but the keys stay as they
    // are: installing them again would reset their packet numbers.
    const bool fresh = !h.installedFor || *h.installedFor != h.anonce;
    Trace(4, fresh ? "4-way handshake: message 3, answering with message 4"
                   : "4-way handshake: message 3 again; message 4 again, keys kept");
    if (fresh && !RaiseAuthState(kAuthSucceeded)) return;
    Reply(rsn::kInfoPairwise | rsn::kInfoMic | rsn::kInfoSecure, key.replayCounter, rsn::Nonce{}, {},
          h.ptk->kck);
    if (!fresh) return;
    if (!RaiseKey(kPairwiseKeyIndex, network_.bssid, kNoRsc, h.ptk->tk)) return;
    h.installed = h.ptk;
    h.installedFor = h.anonce;
    if (!InstallGroupKey(std::move(*gtk), key.rsc.data())) return;
    {
      Lock lock(Toolkit().mu);
      if (LiveLocked()) DisarmTimerLocked(*link_);
    }
    // The connected event last: later key events (rekeys) then say no more
    // than that a key came.
    if (!RaiseLinkState(kLinkAuthenticated)) return;
    ODSTK_EVENT_HEADER connected{0, kEventConnected};
    Raise(&connected);
  }

  void OnGroupMessage1(const std::vector<UCHAR>& frame, const rsn::KeyFrame& key) {
    PskHandshake& h = state_->handshake;
    if ((key.info & kGroupMessage1Bits) != kGroupMessage1Bits)
      return Drop("group message lacks MIC or key data");
    if (!h.installed) return Drop("group message before the pairwise keys");
    if (h.verified && key.replayCounter <= *h.verified) return Drop("group message replays a counter");
    if (!rsn::MicMatches(frame, h.installed->kck)) {
      Trace(1, "group key handshake: message 1 fails its MIC");
      return;
    }
    h.verified = key.replayCounter;
    SecretBytes keyData;
    if (!rsn::UnwrapKeyData(h.installed->kek, key.data, keyData))
      return Drop("group message key data does not unwrap");
    std::optional<rsn::GroupKey> gtk = rsn::FindGroupKey(keyData);
    if (!gtk || gtk->key.size() != rsn::kCcmpKeyLength) return Drop("group message carries no GTK");
    Trace(4, "group key handshake: message 1, answering with message 2");
    if (!InstallGroupKey(std::move(*gtk), key.rsc.data())) return;
    Reply(rsn::kInfoMic | rsn::kInfoSecure, key.replayCounter, rsn::Nonce{}, {}, h.installed->kck);
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

}  // namespace

void RunPskStep(std::shared_ptr<Link> link, uint64_t session, const std::vector<UCHAR>& frame) {
  PskStep(std::move(link), session).Run(frame);
}

void StartPskSessionLocked(const std::shared_ptr<Link>& link) {
  if (!link || !ServesLocked(*link) || !IsPskNetwork(*link->accepted)) return;
  std::weak_ptr<Link> weak = link;
  ArmTimerLocked(*link, std::chrono::milliseconds(Toolkit().handshakeTimeoutMs),
                 [weak, session = link->session] {
                   if (std::shared_ptr<Link> live = weak.lock())
                     PskStep(std::move(live), session).OnTimeout();
                 });
}

}  // namespace odstk_sim
