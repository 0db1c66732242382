#include "sim/rsn_authenticator.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "crypto/crypto.h"

namespace hx::sim {
namespace {

constexpr uint8_t kApEapolVersion = 2;
// The messages' key information, without the descriptor version.
constexpr uint16_t kMessage1 = rsn::kInfoPairwise | rsn::kInfoAck;
constexpr uint16_t kMessage3 = rsn::kInfoPairwise | rsn::kInfoInstall | rsn::kInfoAck | rsn::kInfoMic |
                               rsn::kInfoSecure | rsn::kInfoEncrypted;
// WPA's message 3 carries its element plain and says nothing of a group key.
constexpr uint16_t kWpaMessage3 = rsn::kInfoPairwise | rsn::kInfoInstall | rsn::kInfoAck | rsn::kInfoMic;
constexpr uint16_t kGroupMessage1 = rsn::kInfoAck | rsn::kInfoMic | rsn::kInfoSecure | rsn::kInfoEncrypted;
constexpr uint16_t kWpaGroupMessage1 = rsn::kInfoAck | rsn::kInfoMic | rsn::kInfoSecure;
// What the answers carry, of the bits that tell the messages apart.
constexpr uint16_t kAnswerBits = rsn::kInfoVersionMask | rsn::kInfoPairwise | rsn::kInfoInstall |
                                 rsn::kInfoAck | rsn::kInfoMic | rsn::kInfoSecure | rsn::kInfoRequest |
                                 rsn::kInfoError;
constexpr uint16_t kMessage2 = rsn::kInfoPairwise | rsn::kInfoMic;
constexpr uint16_t kMessage4 = rsn::kInfoPairwise | rsn::kInfoMic | rsn::kInfoSecure;
constexpr uint16_t kWpaMessage4 = rsn::kInfoPairwise | rsn::kInfoMic;
constexpr uint16_t kGroupMessage2 = rsn::kInfoMic | rsn::kInfoSecure;

// Tickets are unique in the process: a timer set for an association (or a
// world) that has gone never matches a later one.
uint64_t NextTicket() {
  static std::atomic<uint64_t> next{0};
  return ++next;
}

std::array<uint8_t, 8> RscOf(uint64_t packetNumber) {
  std::array<uint8_t, 8> rsc{};
  for (size_t i = 0; i < 6; ++i) rsc[i] = static_cast<uint8_t>(packetNumber >> (8 * i));  // PN0 first
  return rsc;
}

}  // namespace

RsnAuthenticator::Result RsnAuthenticator::Start(const rsn::Mac& bssid, const rsn::Mac& station,
                                                 rsn::ByteView pmk, rsn::ByteView beaconRsn,
                                                 rsn::ByteView stationRsn, const BssGroupKey& group,
                                                 Suite suite) {
  *this = RsnAuthenticator{};
  suite_ = suite;
  bssid_ = bssid;
  station_ = station;
  pmk_.assign(pmk.begin(), pmk.end());
  beaconRsn_.assign(beaconRsn.begin(), beaconRsn.end());
  stationRsn_.assign(stationRsn.begin(), stationRsn.end());
  group_ = group;
  if (!rsn::RandomNonce(anonce_)) return {};
  Await(Phase::kAwaitMessage2);
  return {{Message1()}, false};
}

void RsnAuthenticator::Await(Phase phase) {
  phase_ = phase;
  attempts_ = 1;
  firstOfPhase_ = replayCounter_ + 1;
  ticket_ = NextTicket();
}

bool RsnAuthenticator::CounterOfThisPhase(uint64_t counter) const {
  return counter >= firstOfPhase_ && counter <= replayCounter_;
}

rsn::KeyFrame RsnAuthenticator::NextFrame(uint16_t info, uint16_t keyLength) {
  rsn::KeyFrame frame;
  frame.protocolVersion = kApEapolVersion;
  frame.descriptor = Tkip() ? rsn::kWpaDescriptor : rsn::kRsnDescriptor;
  frame.info = static_cast<uint16_t>(Version() | info);
  frame.keyLength = keyLength;
  frame.replayCounter = ++replayCounter_;
  return frame;
}

rsn::Bytes RsnAuthenticator::Message1() {
  rsn::KeyFrame frame = NextFrame(kMessage1, Tkip() ? rsn::kTkipKeyLength : rsn::kCcmpKeyLength);
  frame.nonce = anonce_;
  return rsn::BuildKeyFrame(frame);
}

// Message 3 and group message 1: the GTK (behind `elements`) wrapped, the MIC set.
rsn::Bytes RsnAuthenticator::Sealed(uint16_t info, uint16_t keyLength, const rsn::Nonce& nonce,
                                    rsn::ByteView elements) {
  rsn::KeyFrame frame = NextFrame(info, keyLength);
  frame.nonce = nonce;
  frame.rsc = RscOf(group_.packetNumber);
  rsn::WrapKeyData(ptk_->kek, rsn::KeyDataWithGroupKey(elements, group_.gtk), frame.data);
  return rsn::BuildKeyFrame(frame, ptk_->kck);
}

rsn::Bytes RsnAuthenticator::Resend() {
  switch (phase_) {
    case Phase::kAwaitMessage2:
      return Message1();
    case Phase::kAwaitMessage4:
      return Message3();
    default:
      return GroupMessage1();
  }
}

rsn::Bytes RsnAuthenticator::Message3() {
  if (!Tkip()) return Sealed(kMessage3, rsn::kCcmpKeyLength, anonce_, beaconRsn_);
  rsn::KeyFrame frame = NextFrame(kWpaMessage3, rsn::kTkipKeyLength);
  frame.nonce = anonce_;
  frame.data = beaconRsn_;
  return rsn::BuildKeyFrame(frame, ptk_->kck);
}

rsn::Bytes RsnAuthenticator::GroupMessage1() {
  if (!Tkip()) return Sealed(kGroupMessage1, 0, rsn::Nonce{}, {});
  // The GTK itself, RC4-encrypted under a fresh key IV and the KEK; its
  // index in the key information.
  const uint16_t index = static_cast<uint16_t>((group_.gtk.keyId & 0x03) << rsn::kInfoKeyIndexShift);
  rsn::KeyFrame frame = NextFrame(kWpaGroupMessage1 | index, static_cast<uint16_t>(group_.gtk.key.size()));
  frame.rsc = RscOf(group_.packetNumber);
  rsn::RandomNonce(frame.nonce);
  crypto::RandomBytes(frame.iv);
  frame.data.assign(group_.gtk.key.begin(), group_.gtk.key.end());
  if (!rsn::Rc4KeyData(ptk_->kek, frame.iv, frame.data)) frame.data.clear();
  return rsn::BuildKeyFrame(frame, ptk_->kck);
}

RsnAuthenticator::Result RsnAuthenticator::Receive(rsn::ByteView eapol) {
  const std::optional<rsn::KeyFrame> key = rsn::ParseKeyFrame(eapol);
  if (!key || !CounterOfThisPhase(key->replayCounter)) return {};
  if ((key->info & rsn::kInfoVersionMask) != Version()) return {};
  const uint16_t bits = key->info & kAnswerBits & ~rsn::kInfoVersionMask;
  switch (phase_) {
    case Phase::kAwaitMessage2: {
      if (bits != kMessage2) return {};
      std::optional<rsn::Ptk> ptk = rsn::DerivePtk(pmk_, bssid_, station_, anonce_, key->nonce,
                                                   Tkip() ? rsn::kTkipKeyLength : rsn::kCcmpKeyLength);
      if (!ptk || !rsn::MicMatches(eapol, ptk->kck)) {
        // Most likely another pass phrase: silence, the retries run on.
        return {{}, false, true};
      }
      // The element must be the one the station associated with.
      const std::optional<rsn::ByteView> element = rsn::FindSecurityElement(key->data);
      if (!element || !std::equal(element->begin(), element->end(), stationRsn_.begin(), stationRsn_.end())) {
        phase_ = Phase::kIdle;
        return {{}, true};
      }
      ptk_ = std::move(ptk);
      Await(Phase::kAwaitMessage4);
      return {{Message3()}, false};
    }
    case Phase::kAwaitMessage4:
      if (bits != (Tkip() ? kWpaMessage4 : kMessage4) || !rsn::MicMatches(eapol, ptk_->kck)) return {};
      phase_ = Phase::kComplete;
      // WPA hands the group key over in a handshake of its own.
      if (Tkip()) {
        Await(Phase::kAwaitGroupMessage2);
        return {{GroupMessage1()}, false};
      }
      return {};
    case Phase::kAwaitGroupMessage2:
      if ((bits & ~rsn::kInfoKeyIndexMask) != kGroupMessage2 || !rsn::MicMatches(eapol, ptk_->kck)) return {};
      phase_ = Phase::kComplete;
      return {};
    default:
      return {};
  }
}

RsnAuthenticator::Result RsnAuthenticator::TimedOut(uint64_t ticket) {
  if (ticket != ticket_ || !Timer()) return {};
  if (attempts_ >= kAttempts) {
    phase_ = Phase::kIdle;
    return {{}, true};
  }
  ++attempts_;
  ticket_ = NextTicket();
  return {{Resend()}, false};
}

RsnAuthenticator::Result RsnAuthenticator::Rekey(const BssGroupKey& group) {
  if (!Completed()) return {};
  group_ = group;
  Await(Phase::kAwaitGroupMessage2);
  return {{GroupMessage1()}, false};
}

std::optional<uint64_t> RsnAuthenticator::Timer() const {
  const bool waiting = phase_ == Phase::kAwaitMessage2 || phase_ == Phase::kAwaitMessage4 ||
                       phase_ == Phase::kAwaitGroupMessage2;
  return waiting ? std::optional<uint64_t>(ticket_) : std::nullopt;
}

rsn::ByteView RsnAuthenticator::TemporalKey() const {
  return ptk_ ? rsn::ByteView(ptk_->tk) : rsn::ByteView();
}

}  // namespace hx::sim
