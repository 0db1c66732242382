// The stand-in's supplicant engine: a small EAP peer (Identity, GTC) for
// 802.1X links, and the pre-shared-key handshakes (psk.cpp), run on the
// link's thread and talking to the library through link events. It is off
// unless a test switches it on (ODSIM_EnableSupplicant).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/step.h"

namespace odstk_sim {
namespace {

using Bytes = std::vector<UCHAR>;

constexpr UCHAR kEapolVersion = 1;
constexpr UCHAR kEapolPacket = 0;
constexpr size_t kEapolHeader = 4;  // version, packet type, 16-bit body length
constexpr size_t kEapHeader = 4;    // code, identifier, 16-bit length

constexpr UCHAR kEapRequest = 1;
constexpr UCHAR kEapResponse = 2;
constexpr UCHAR kEapSuccess = 3;
constexpr UCHAR kEapFailure = 4;
constexpr UCHAR kEapIdentity = 1;
constexpr UCHAR kEapGtc = 6;

constexpr ULONG kGtcInnerMethod = 25;  // the method whose NoPasswordInGTC flag makes us ask

constexpr ULONG kPairwiseTransmitKey = kKeyTransmit | kKeyPairwise;
constexpr ULONG kCipherAes = 3;
constexpr ULONG kKeyManagementPsk = 1;
constexpr UCHAR kKeyMaterialBase = 0xC0;  // material byte i is 0xC0 + i

// An EAP packet of an EAPOL-Packet frame; type is 0 for Success and Failure.
struct EapPacket {
  UCHAR code = 0;
  UCHAR identifier = 0;
  UCHAR type = 0;
  Bytes data;
};

unsigned BigEndian16(const UCHAR* p) {
  return (unsigned{p[0]} << 8) | p[1];
}

// The EAP packet a received EAPOL body carries. Bytes after the declared
// lengths are link padding and are ignored; lengths that run past the bytes
// present make the frame unreadable.
std::optional<EapPacket> ParseEapol(const Bytes& frame) {
  if (frame.size() < kEapolHeader) return std::nullopt;
  if ((frame[0] != 1 && frame[0] != 2) || frame[1] != kEapolPacket) return std::nullopt;
  const size_t bodyLength = BigEndian16(&frame[2]);
  if (bodyLength > frame.size() - kEapolHeader || bodyLength < kEapHeader) return std::nullopt;
  const UCHAR* eap = frame.data() + kEapolHeader;
  const size_t eapLength = BigEndian16(eap + 2);
  if (eapLength < kEapHeader || eapLength > bodyLength) return std::nullopt;
  EapPacket packet;
  packet.code = eap[0];
  packet.identifier = eap[1];
  if (packet.code == kEapRequest || packet.code == kEapResponse) {
    if (eapLength < kEapHeader + 1) return std::nullopt;
    packet.type = eap[kEapHeader];
    packet.data.assign(eap + kEapHeader + 1, eap + eapLength);
  }
  return packet;
}

// An EAPOL-Packet frame with an EAP Response of `type` carrying `text` (a
// password, for GTC): wiped once sent.
hx::crypto::SecretBytes ResponseFrame(UCHAR identifier, UCHAR type, std::string_view text) {
  // Both length fields are 16 bits: a longer text is cut to fit.
  const size_t textLength = std::min<size_t>(text.size(), 0xFFFF - kEapHeader - 1);
  const size_t eapLength = kEapHeader + 1 + textLength;
  // Sized up front: GCC 12 misreads an insert after a braced list (-Warray-bounds).
  hx::crypto::SecretBytes frame(kEapolHeader + eapLength);
  const UCHAR header[9] = {
      kEapolVersion, kEapolPacket, static_cast<UCHAR>(eapLength >> 8), static_cast<UCHAR>(eapLength),
      kEapResponse,  identifier,   static_cast<UCHAR>(eapLength >> 8), static_cast<UCHAR>(eapLength),
      type};
  std::copy(header, header + sizeof header, frame.begin());
  std::copy_n(text.begin(), textLength, frame.begin() + sizeof header);
  return frame;
}

std::string IdentifierText(UCHAR identifier) {
  return " (identifier " + std::to_string(identifier) + ")";
}

// One received frame of an 802.1X link.
class EapStep : LinkStep {
 public:
  using LinkStep::LinkStep;

  void Run(const Bytes& frame) {
    Trace(3, "EAPOL received", frame.data(), frame.size());
    std::optional<EapPacket> packet = ParseEapol(frame);
    if (!packet) {
      Trace(4, "EAPOL frame ignored: not a readable EAP packet");
      return;
    }
    const std::string id = IdentifierText(packet->identifier);
    switch (packet->code) {
      case kEapRequest:
        if (packet->type == kEapIdentity) return OnIdentityRequest(packet->identifier);
        if (packet->type == kEapGtc) return OnGtcRequest(packet->identifier);
        Trace(4, ("EAP Request of type " + std::to_string(packet->type) + " ignored" + id).c_str());
        return;
      case kEapSuccess:
        return OnSuccess(id);
      case kEapFailure:
        return OnFailure(id);
      default:
        Trace(4, ("EAP packet of code " + std::to_string(packet->code) + " ignored" + id).c_str());
        return;
    }
  }

 private:
  void OnIdentityRequest(UCHAR identifier) {
    bool starting;
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return;
      starting = !link_->sessionRunning;
      link_->sessionRunning = true;
    }
    Trace(4, ("EAP Request/Identity" + IdentifierText(identifier)).c_str());
    if (starting) {
      // The library answers with the identity (and the resumption timeout)
      // from inside the callback; the response below reads that identity.
      ODSTK_EVENT_HEADER wanted{0, kEventIdentity};
      if (!Raise(&wanted)) return;
      if (!RaiseLinkState(kLinkAuthenticating)) return;
    }
    std::string name;
    {
      Lock lock(Toolkit().mu);
      if (const auto* identity = static_cast<const Identity*>(link_->identity.get()))
        name = identity->userName;
    }
    Send(ResponseFrame(identifier, kEapIdentity, name));
  }

  void OnGtcRequest(UCHAR identifier) {
    bool ask = false;
    hx::crypto::SecretText text;
    {
      Lock lock(Toolkit().mu);
      if (const auto* identity = static_cast<const Identity*>(link_->identity.get())) {
        auto flag = identity->noPasswordInGtc.find(kGtcInnerMethod);
        ask = flag != identity->noPasswordInGtc.end() && flag->second == 1;
        if (!ask) text = identity->password;
      }
    }
    Trace(4, ("EAP Request/GTC" + IdentifierText(identifier)).c_str());
    if (ask) {
      Trace(4, "EAP GTC: asking the library for the response");
      ODSTK_EVENT_ANSWER question{};
      question.Type = kEventAnswer;
      if (!Raise(&question)) return;
      text = TakeAnswer(question.Answer);
    }
    Send(ResponseFrame(identifier, kEapGtc, text.view()));
  }

  void OnSuccess(const std::string& id) {
    AcceptedNetwork network;
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return;
      network = *link_->accepted;
      link_->sessionRunning = false;
    }
    Trace(4, ("EAP Success" + id).c_str());
    if (!RaiseAuthState(kAuthSucceeded)) return;

    const ULONG keyLength = network.cipher == kCipherAes ? 16 : 32;
    std::vector<UCHAR> material(keyLength);
    for (ULONG i = 0; i < keyLength; ++i) material[i] = static_cast<UCHAR>(kKeyMaterialBase + i);
    const UCHAR rsc[8] = {};
    if (!RaiseKey(kPairwiseTransmitKey, network.bssid, rsc, material)) return;

    RaiseLinkState(kLinkAuthenticated);
  }

  void OnFailure(const std::string& id) {
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return;
      link_->sessionRunning = false;
    }
    Trace(1, ("EAP Failure: the network refused the credentials" + id).c_str());
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
         network.cipher == kCipherAes && !network.passphrase.empty();
}

bool ServesLocked(const Link& link) {
  return Toolkit().engine && !link.terminated && link.portUp && link.accepted &&
         (link.accepted->use8021X == 1 || IsPskNetwork(*link.accepted));
}

int ReceiveEapolLocked(const std::shared_ptr<Link>& link, const UCHAR* body, ULONG length) {
  if (!ServesLocked(*link) || (body == nullptr && length != 0)) return 1;
  Bytes frame(body, body + length);
  std::weak_ptr<Link> weak = link;
  const bool psk = IsPskNetwork(*link->accepted);
  auto delivery = QueueLocked(*link, [weak, psk, session = link->session, frame = std::move(frame)] {
    std::shared_ptr<Link> live = weak.lock();
    if (!live) return;
    if (psk)
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
