// The key handshakes of a simulated access point, for one associated station,
// on a PMK from a pass phrase or from 802.1X: the 4-way handshake (message 1,
// message 2's MIC checked, message 3, message 4 checked) and the group key
// handshake, each message sent again when no answer comes, until the
// attempts are spent. WPA2 with CCMP puts the wrapped GTK in message 3; WPA
// with TKIP (key descriptor version 1) sends the WPA element plain in
// message 3 and the GTK, RC4-encrypted, in a group key handshake right after.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "crypto/rsn.h"

namespace hx::sim {

// A BSS's group key and the packet number its group frames have reached.
struct BssGroupKey {
  rsn::GroupKey gtk;
  uint64_t packetNumber = 0;
};

class RsnAuthenticator {
 public:
  // Messages sent at most this many times before the station is dropped.
  static constexpr unsigned kAttempts = 4;

  struct Result {
    std::vector<rsn::Bytes> frames;  // EAPOL bodies for the station
    bool dropStation = false;        // the station failed: disassociate it
    bool micFailure = false;         // a message 2 whose MIC did not hold
  };
  enum class Phase { kIdle, kAwaitMessage2, kAwaitMessage4, kComplete, kAwaitGroupMessage2 };
  enum class Suite { kWpa2Ccmp, kWpaTkip };

  // Message 1 to `station`; the PMK and group key are the BSS's, the
  // elements the RSN (or WPA) element it announces and the one the station
  // associated with.
  Result Start(const rsn::Mac& bssid, const rsn::Mac& station, rsn::ByteView pmk, rsn::ByteView beaconRsn,
               rsn::ByteView stationRsn, const BssGroupKey& group, Suite suite = Suite::kWpa2Ccmp);
  // A frame the station sent.
  Result Receive(rsn::ByteView eapol);
  // The retransmission timer `ticket` ran out.
  Result TimedOut(uint64_t ticket);
  // The group key handshake with a new group key (after a 4-way handshake).
  Result Rekey(const BssGroupKey& group);
  // The ticket of the retransmission timer, while a message awaits its answer.
  std::optional<uint64_t> Timer() const;

  Phase phase() const { return phase_; }
  // Message 4 came: the pairwise keys are in use.
  bool Completed() const { return phase_ == Phase::kComplete || phase_ == Phase::kAwaitGroupMessage2; }
  rsn::ByteView TemporalKey() const;

 private:
  rsn::KeyFrame NextFrame(uint16_t info, uint16_t keyLength);
  rsn::Bytes Sealed(uint16_t info, uint16_t keyLength, const rsn::Nonce& nonce, rsn::ByteView elements);
  rsn::Bytes Message1();
  rsn::Bytes Message3();
  rsn::Bytes GroupMessage1();
  rsn::Bytes Resend();
  // Enters a phase that waits for an answer to what it sends first.
  void Await(Phase phase);
  bool CounterOfThisPhase(uint64_t counter) const;
  bool Tkip() const { return suite_ == Suite::kWpaTkip; }
  uint16_t Version() const { return Tkip() ? rsn::kInfoVersionRc4 : rsn::kInfoVersionAes; }

  Phase phase_ = Phase::kIdle;
  Suite suite_ = Suite::kWpa2Ccmp;
  rsn::Mac bssid_{}, station_{};
  rsn::SecretBytes pmk_;
  rsn::Bytes beaconRsn_, stationRsn_;
  rsn::Nonce anonce_{};
  std::optional<rsn::Ptk> ptk_;
  BssGroupKey group_;
  uint64_t replayCounter_ = 0;  // the last one sent
  uint64_t firstOfPhase_ = 0;   // the first one sent in this phase
  unsigned attempts_ = 0;
  uint64_t ticket_ = 0;
};

}  // namespace hx::sim
