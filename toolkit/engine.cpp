// The stand-in's supplicant engine: 802.1X (the identity exchange, then one
// EAP method through eap::PeerSession, its MSK becoming the PMK of the 4-way
// handshake) and the pre-shared-key handshakes (psk.cpp), run on the link's
// thread and talking to the library through link events. It is off unless
// a test switches it on (ODSIM_EnableSupplicant).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "eap/packet.h"
#include "eap/peer.h"
#include "eap/tls.h"
#include "toolkit/step.h"

namespace odstk_sim {

namespace eap = hx::eap;

// A link's EAP exchange, for one session.
struct EapState {
  uint64_t session = ~uint64_t{0};
  std::unique_ptr<eap::PeerSession> peer;
};

namespace {

using Bytes = std::vector<UCHAR>;

constexpr UCHAR kEapolVersion = 1;
constexpr ULONG kGtcInnerMethod = 25;  // the method whose NoPasswordInGTC flag makes us ask
constexpr ULONG kKeyManagementPsk = 1;
constexpr ULONG kCipherTkip = 2;
constexpr ULONG kCipherAes = 3;
constexpr ULONG kEventServerCertificate = 14;
constexpr ULONG kTtlsPap = 1;
constexpr ULONG kTtlsMsChapV2 = 4;

// The EAP packet a received EAPOL-Packet frame carries; none when it does
// not read as one.
std::optional<eap::Packet> ParseEapol(const Bytes& frame) {
  const std::optional<eap::Eapol> eapol = eap::ParseEapol(frame);
  if (!eapol || (eapol->version != 1 && eapol->version != 2) || eapol->type != eap::kEapolPacket)
    return std::nullopt;
  return eap::Parse(eapol->body);
}

Bytes Frame(const Bytes& eapPacket) {
  return eap::BuildEapol(kEapolVersion, eap::kEapolPacket, eapPacket);
}

std::string IdentifierText(UCHAR identifier) {
  return " (identifier " + std::to_string(identifier) + ")";
}

// What the identity says the exchange runs with, and the stand-in's stores.
struct Profile {
  eap::PeerCredentials credentials;
  bool gtcAsks = false;
  std::string problem;  // set: the exchange cannot run, and why
};

Profile ProfileLocked(const Identity* identity) {
  Profile p;
  eap::PeerCredentials& c = p.credentials;
  if (identity == nullptr) {
    p.problem = "no identity";
    return p;
  }
  const auto list = [&](ULONG method) {
    auto it = identity->eapTypes.find(method);
    return it == identity->eapTypes.end() ? std::vector<ULONG>{} : it->second;
  };
  const std::vector<ULONG> outer = list(0);
  if (outer.empty()) {
    p.problem = "the identity names no EAP method";
    return p;
  }
  c.method = static_cast<uint8_t>(outer.front());
  c.userName = identity->userName;
  c.outerIdentity = c.method == eap::kTtls && !identity->anonymous.empty() ? identity->anonymous : c.userName;
  c.password = identity->password;
  const std::vector<ULONG> inner = list(kGtcInnerMethod);
  if (!inner.empty()) {
    c.peapInner.clear();
    for (ULONG type : inner) c.peapInner.push_back(static_cast<uint8_t>(type));
  }
  const ULONG ttls =
      Toolkit().ttlsInnerOverride != 0 ? Toolkit().ttlsInnerOverride : identity->ttlsInnerProtocol;
  c.ttlsInner = ttls == kTtlsPap ? eap::TtlsInner::kPap : eap::TtlsInner::kMsChapV2;
  if (ttls != 0 && ttls != kTtlsPap && ttls != kTtlsMsChapV2 && c.method == eap::kTtls)
    p.problem = "TTLS inner protocol " + std::to_string(ttls) +
                " is not one the stand-in speaks (1 PAP, 4 MS-CHAP-V2)";
  c.trustedCaFiles = Toolkit().trustedCaFiles;
  const bool knownMethod =
      c.method == eap::kTls || c.method == eap::kPeap || c.method == eap::kTtls || c.method == eap::kLeap;
  if (!knownMethod) {
    p.problem = std::string(eap::TypeName(c.method)) + " (type " + std::to_string(c.method) +
                ") is not a method the stand-in speaks";
    return p;
  }
  if (c.method != eap::kLeap && !eap::TlsAvailable()) {
    p.problem = std::string(eap::TypeName(c.method)) +
                " is unavailable in the stand-in toolkit of this build: it has no TLS library";
    return p;
  }
  if (c.method == eap::kTls) {
    const auto& store = Toolkit().certificates;
    auto found =
        identity->certificate
            ? std::find_if(store.begin(), store.end(),
                           [&](const StoredCertificate& s) { return s.thumbprint == *identity->certificate; })
            : store.end();
    if (found == store.end()) {
      p.problem = "EAP-TLS: no certificate in the stand-in's store has the thumbprint the identity names";
    } else {
      c.certificateFile = found->certificateFile;
      c.keyFile = found->keyFile;
    }
  }
  auto flag = identity->noPasswordInGtc.find(kGtcInnerMethod);
  p.gtcAsks = flag != identity->noPasswordInGtc.end() && flag->second == 1;
  return p;
}

// One received frame of an 802.1X link.
class EapStep : LinkStep {
 public:
  using LinkStep::LinkStep;

  void Run(const Bytes& frame) {
    Trace(3, "EAPOL received", frame.data(), frame.size());
    std::optional<eap::Packet> packet = ParseEapol(frame);
    if (!packet) {
      Trace(4, "EAPOL frame ignored: not a readable EAP packet");
      return;
    }
    if (packet->code == eap::kRequest && packet->type == eap::kIdentity)
      return OnIdentityRequest(packet->identifier);
    EapState* state = State();
    if (state == nullptr || !state->peer) {
      Trace(4, std::string("EAP ") + (packet->HasType() ? eap::TypeName(packet->type) : "packet") +
                   " ignored: no identity was asked for" + IdentifierText(packet->identifier));
      return;
    }
    const eap::PeerSession::Reply reply = state->peer->Receive(*packet);
    if (reply.packet) Send(Frame(*reply.packet));
    switch (reply.state) {
      case eap::PeerSession::State::kRunning:
        if (!reply.note.empty()) Trace(4, "EAP: " + reply.note + IdentifierText(packet->identifier));
        return;
      case eap::PeerSession::State::kFailed:
        return Fail(reply.note);
      case eap::PeerSession::State::kSucceeded:
        return OnSuccess(state->peer->Msk(), reply.note);
    }
  }

 private:
  // The link's EAP state for this session, afresh when the session is new.
  EapState* State() {
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return nullptr;
    }
    if (!link_->eap) link_->eap = std::make_shared<EapState>();
    if (link_->eap->session != session_) {
      link_->eap->session = session_;
      link_->eap->peer.reset();
    }
    return link_->eap.get();
  }

  void OnIdentityRequest(UCHAR identifier) {
    bool starting;
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return;
      starting = !link_->sessionRunning;
      link_->sessionRunning = true;
    }
    Trace(4, "EAP Request/Identity" + IdentifierText(identifier));
    if (starting) {
      // The library answers with the identity (and the resumption timeout)
      // from inside the callback; the response below reads that identity.
      ODSTK_EVENT_HEADER wanted{0, kEventIdentity};
      if (!Raise(&wanted)) return;
      if (!RaiseLinkState(kLinkAuthenticating)) return;
    }
    Profile profile;
    {
      Lock lock(Toolkit().mu);
      profile = ProfileLocked(static_cast<const Identity*>(link_->identity.get()));
    }
    if (!profile.problem.empty()) return Fail(profile.problem);
    EapState* state = State();
    if (state == nullptr) return;
    // A new identity request (the access point started over) starts the
    // method over too. The questions are asked by later steps of the session.
    std::weak_ptr<Link> weak = link_;
    const uint64_t session = session_;
    profile.credentials.confirmServer = [weak, session](const std::string& name) {
      std::shared_ptr<Link> live = weak.lock();
      return live && EapStep(std::move(live), session).ConfirmServer(name);
    };
    if (profile.gtcAsks) {
      profile.credentials.gtcResponse = [weak, session](const std::string&) {
        std::shared_ptr<Link> live = weak.lock();
        return live ? EapStep(std::move(live), session).AskGtcResponse() : hx::crypto::SecretText();
      };
    }
    const std::string name = profile.credentials.outerIdentity;
    state->peer = std::make_unique<eap::PeerSession>(std::move(profile.credentials));
    Send(Frame(eap::Build(eap::kResponse, identifier, eap::kIdentity, eap::View(name))));
  }

  // The server's certificate chained to a trusted CA: the library may still refuse it.
  bool ConfirmServer(const std::string& name) {
    Trace(4, "EAP: the server's certificate (" + name + ") chains to a trusted CA");
    struct {
      ODSTK_EVENT_HEADER header;
      ULONG reserved[3];
      ULONG answer;
    } question{{0, kEventServerCertificate}, {}, 0};
    static_assert(offsetof(decltype(question), answer) == ODSTK_EVENT_WORD_OFFSET);
    if (!Raise(&question)) return false;
    return question.answer == 0;
  }

  hx::crypto::SecretText AskGtcResponse() {
    Trace(4, "EAP GTC: asking the library for the response");
    ODSTK_EVENT_ANSWER question{};
    question.Type = kEventAnswer;
    if (!Raise(&question)) return {};
    return TakeAnswer(question.Answer);
  }

  void OnSuccess(const hx::crypto::SecretBytes& msk, const std::string& note) {
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return;
      link_->sessionRunning = false;
    }
    Trace(4, "EAP: " + note + ": authenticated; the 4-way handshake follows");
    if (!RaiseAuthState(kAuthSucceeded)) return;
    // The PMK is the MSK's first 32 bytes (LEAP's key has only 16).
    hx::crypto::SecretBytes pmk(msk.begin(),
                                msk.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(32, msk.size())));
    StartEnterpriseHandshake(link_, session_, std::move(pmk));
  }

  void Fail(const std::string& why) {
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return;
      link_->sessionRunning = false;
    }
    if (link_->eap && link_->eap->session == session_) link_->eap->peer.reset();
    Trace(1, "EAP failed: " + why);
    RaiseAuthState(kAuthFailed);
  }

  // The text the library put in `answer`. Blob bytes are the toolkit's: they
  // are read only when ODSTK_AllocBlob made them, and freed here.
  hx::crypto::SecretText TakeAnswer(const ODSTK_BLOB& answer) {
    hx::crypto::SecretText text;
    bool foreign = false;
    {
      Lock lock(Toolkit().mu);
      auto& blobs = Toolkit().blobs;
      auto it = std::find_if(blobs.begin(), blobs.end(),
                             [&](const Blob& blob) { return blob.bytes.get() == answer.Data; });
      if (it != blobs.end()) {
        if (answer.Length <= it->length)
          text = std::string_view(reinterpret_cast<const char*>(answer.Data), answer.Length);
        else
          foreign = true;
        blobs.erase(it);
      } else if (answer.Data != nullptr) {
        foreign = true;
      }
    }
    if (foreign) Trace(1, "EAP GTC: the answer is not a blob of the toolkit; answering with an empty text");
    return text;
  }
};

}  // namespace

bool IsPskNetwork(const AcceptedNetwork& network) {
  return network.use8021X == 0 && network.keyManagement == kKeyManagementPsk &&
         (network.cipher == kCipherAes || network.cipher == kCipherTkip) && !network.passphrase.empty();
}

bool ServesLocked(const Link& link) {
  return Toolkit().engine && !link.terminated && link.portUp && link.accepted &&
         (link.accepted->use8021X == 1 || IsPskNetwork(*link.accepted));
}

int ReceiveEapolLocked(const std::shared_ptr<Link>& link, const UCHAR* body, ULONG length) {
  if (!ServesLocked(*link) || (body == nullptr && length != 0)) return 1;
  Bytes frame(body, body + length);
  std::weak_ptr<Link> weak = link;
  // Key frames go to the key handshakes, whatever gave the PMK; the rest of
  // an 802.1X link's frames to its EAP exchange.
  const bool key = length >= 2 && body[1] == eap::kEapolKey;
  const bool enterprise = link->accepted->use8021X == 1;
  auto delivery =
      QueueLocked(*link, [weak, key, enterprise, session = link->session, frame = std::move(frame)] {
        std::shared_ptr<Link> live = weak.lock();
        if (!live) return;
        if (key || !enterprise)
          RunPskStep(std::move(live), session, frame);
        else
          EapStep(std::move(live), session).Run(frame);
      });
  delivery->step = true;
  return 0;
}

void StopSessionLocked(Link& link) {
  ++link.session;
  link.sessionRunning = false;
  DisarmTimerLocked(link);
  std::erase_if(link.queue, [](const std::shared_ptr<Delivery>& delivery) {
    if (!delivery->step) return false;
    delivery->state = Delivery::State::kDropped;
    return true;
  });
  Toolkit().changed.notify_all();
}

}  // namespace odstk_sim
