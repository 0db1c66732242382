// The stand-in's supplicant engine: a small EAP peer (Identity, GTC) that
// runs on the link's thread and talks to the library through link events.
// It is off unless a test switches it on (ODSIM_EnableSupplicant).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/internal.h"

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

constexpr ULONG kEventLinkState = 1;
constexpr ULONG kEventAuthState = 2;
constexpr ULONG kEventKey = 6;
constexpr ULONG kEventEapol = 8;
constexpr ULONG kEventAnswer = 13;
constexpr ULONG kEventIdentity = 15;

constexpr ULONG kLinkAuthenticating = 2;
constexpr ULONG kLinkAuthenticated = 4;
constexpr ULONG kAuthFailed = 3;
constexpr ULONG kAuthSucceeded = 7;

// The key record: Length, KeyIndex, KeyLength, BSSID, padding to the 64-bit
// KeyRSC at 24, the material at 32.
constexpr size_t kKeyHeader = 32;
constexpr size_t kKeyRscOffset = 24;
constexpr ULONG kPairwiseTransmitKey = 0xC0000000;
constexpr ULONG kCipherAes = 3;
constexpr UCHAR kKeyMaterialBase = 0xC0;  // material byte i is 0xC0 + i

struct LinkStateEvent {
  ULONG Reserved;
  ULONG Type;
  ULONG Reserved2[2];
  ULONG State;
};
static_assert(offsetof(LinkStateEvent, State) == ODSTK_EVENT_LINK_STATE_OFFSET);

struct AuthStateEvent {
  ULONG Reserved;
  ULONG Type;
  ULONG Reserved2[3];
  ULONG State;
};
static_assert(offsetof(AuthStateEvent, State) == ODSTK_EVENT_WORD_OFFSET);

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

// An EAPOL-Packet frame with an EAP Response of `type` carrying `text`.
Bytes ResponseFrame(UCHAR identifier, UCHAR type, const std::string& text) {
  // Both length fields are 16 bits: a longer text is cut to fit.
  const size_t textLength = std::min<size_t>(text.size(), 0xFFFF - kEapHeader - 1);
  const size_t eapLength = kEapHeader + 1 + textLength;
  // Sized up front: GCC 12 misreads an insert after a braced list (-Warray-bounds).
  Bytes frame(kEapolHeader + eapLength);
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

bool ServesLocked(const Link& link) {
  return Toolkit().engine && !link.terminated && link.portUp && link.accepted && link.accepted->use8021X == 1;
}

// One received frame handled on the link's thread. Every event is raised
// with the toolkit's mutex released: the callback calls the toolkit back.
class Step {
 public:
  Step(std::shared_ptr<Link> link, uint64_t session) : link_(std::move(link)), session_(session) {}

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
      LinkStateEvent state{0, kEventLinkState, {}, kLinkAuthenticating};
      if (!Raise(&state)) return;
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
    std::string text;
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
    Send(ResponseFrame(identifier, kEapGtc, text));
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
    AuthStateEvent auth{0, kEventAuthState, {}, kAuthSucceeded};
    if (!Raise(&auth)) return;

    const ULONG keyLength = network.cipher == kCipherAes ? 16 : 32;
    const ULONG recordLength = kKeyHeader + keyLength;
    // 64-bit words: the record's KeyRSC lands on an 8-byte boundary.
    std::vector<uint64_t> words((ODSTK_EVENT_KEY_OFFSET + recordLength) / 8, 0);
    auto* event = reinterpret_cast<UCHAR*>(words.data());
    UCHAR* record = event + ODSTK_EVENT_KEY_OFFSET;
    const ULONG type = kEventKey;
    std::memcpy(event + ODSTK_EVENT_TYPE_OFFSET, &type, 4);
    std::memcpy(record, &recordLength, 4);
    std::memcpy(record + 4, &kPairwiseTransmitKey, 4);
    std::memcpy(record + 8, &keyLength, 4);
    std::memcpy(record + 12, network.bssid, 6);
    static_assert(kKeyRscOffset + 8 == kKeyHeader, "the key's RSC, zero, ends the header");
    for (ULONG i = 0; i < keyLength; ++i) record[kKeyHeader + i] = static_cast<UCHAR>(kKeyMaterialBase + i);
    if (!Raise(event)) return;

    LinkStateEvent state{0, kEventLinkState, {}, kLinkAuthenticated};
    Raise(&state);
  }

  void OnFailure(const std::string& id) {
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return;
      link_->sessionRunning = false;
    }
    Trace(1, ("EAP Failure: the network refused the credentials" + id).c_str());
    AuthStateEvent auth{0, kEventAuthState, {}, kAuthFailed};
    Raise(&auth);
  }

  // The session this step belongs to is still the link's, and served.
  bool LiveLocked() const { return link_->session == session_ && ServesLocked(*link_); }

  // Delivers `event` to the link's callback; false when the session stopped
  // first (nothing delivered, the step ends).
  bool Raise(void* event) {
    ODSTK_LINK_CALLBACK callback;
    ULONG value;
    {
      Lock lock(Toolkit().mu);
      if (!LiveLocked()) return false;
      callback = link_->callback;
      value = link_->callbackValue;
    }
    if (callback) callback(value, event);
    return true;
  }

  void Send(const Bytes& body) {
    Trace(3, "EAPOL sent", body.data(), body.size());
    ODSTK_EVENT_FRAME frame{};
    frame.Type = kEventEapol;
    frame.Body = body.data();
    frame.BodyLength = static_cast<ULONG>(body.size());
    Raise(&frame);
  }

  // The text the library put in `answer`. Blob bytes are the toolkit's: they
  // are read only when ODSTK_AllocBlob made them, and freed here.
  std::string TakeAnswer(const ODSTK_BLOB& answer) {
    std::string text;
    bool foreign = false;
    {
      Lock lock(Toolkit().mu);
      auto& blobs = Toolkit().blobs;
      auto it = std::find_if(blobs.begin(), blobs.end(),
                             [&](const Blob& blob) { return blob.bytes.get() == answer.Data; });
      if (it != blobs.end()) {
        if (answer.Length <= it->length)
          text.assign(reinterpret_cast<const char*>(answer.Data), answer.Length);
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

  static void Trace(ULONG level, const char* text, const void* data = nullptr, size_t length = 0) {
    ODSTK_TRACE_CALLBACK trace;
    ULONG wanted;
    {
      Lock lock(Toolkit().mu);
      trace = Toolkit().trace;
      wanted = Toolkit().traceLevel;
    }
    if (trace && wanted >= level) trace(level, 0, text, data, static_cast<ULONG>(length));
  }

  std::shared_ptr<Link> link_;
  uint64_t session_;
};

}  // namespace

int ReceiveEapolLocked(const std::shared_ptr<Link>& link, const UCHAR* body, ULONG length) {
  if (!ServesLocked(*link) || (body == nullptr && length != 0)) return 1;
  Bytes frame(body, body + length);
  std::weak_ptr<Link> weak = link;
  auto delivery = QueueLocked(*link, [weak, session = link->session, frame = std::move(frame)] {
    if (std::shared_ptr<Link> live = weak.lock()) Step(std::move(live), session).Run(frame);
  });
  delivery->step = true;
  return 0;
}

void StopSessionLocked(Link& link) {
  ++link.session;
  link.sessionRunning = false;
  std::erase_if(link.queue, [](const std::shared_ptr<Delivery>& delivery) {
    if (!delivery->step) return false;
    delivery->state = Delivery::State::kDropped;
    return true;
  });
  Toolkit().changed.notify_all();
}

}  // namespace odstk_sim
