// TLS records inside EAP (RFC 5216 section 3, and the same framing in PEAP
// and EAP-TTLS): a flags byte (L: a 4-byte total length follows, M: more
// fragments follow, S: start; PEAP and TTLS put their version in the low
// three bits), then a piece of the TLS message. A message longer than one
// EAP packet goes in fragments, each acknowledged by an empty packet.
#pragma once

#include <cstdint>
#include <optional>

#include "eap/packet.h"

namespace hx::eap {

inline constexpr uint8_t kFlagLength = 0x80;
inline constexpr uint8_t kFlagMore = 0x40;
inline constexpr uint8_t kFlagStart = 0x20;
inline constexpr uint8_t kVersionMask = 0x07;

// The largest TLS message either side takes in: more than any handshake
// flight of these methods, little enough that a peer cannot make us hold much.
inline constexpr size_t kMaxTlsMessage = 64 * 1024;

// The TLS bytes one packet carries: its flags, the total it announces (with
// L) and its piece of the message. None when the packet is too short for
// the length its flags announce.
struct TlsPiece {
  uint8_t flags = 0;
  std::optional<uint32_t> total;
  ByteView data;
};
std::optional<TlsPiece> ReadTlsPiece(ByteView typeData);

// Gathers one TLS message from its fragments.
class Reassembler {
 public:
  enum class Status {
    kMore,      // a fragment with M set: acknowledge it, wait for the next
    kComplete,  // the message is whole (Message())
    kError,     // the fragments do not add up: the exchange cannot go on
  };

  // The type data of one received packet.
  Status Add(ByteView typeData);
  // The flags of the message's first fragment (S, the version bits).
  uint8_t FirstFlags() const { return firstFlags_; }
  // The message, once complete; it stays until the next Add or Reset.
  const Bytes& Message() const { return message_; }
  bool InProgress() const { return inProgress_; }
  void Reset();

 private:
  Bytes message_;
  std::optional<uint32_t> total_;
  uint8_t firstFlags_ = 0;
  bool inProgress_ = false;
  bool complete_ = false;
};

// Cuts one TLS message into the type data of the packets that carry it, each
// at most `mtu` bytes of TLS data; the first of several carries L and the
// total, every one but the last M. `flags` are set in each (the version
// bits, S on the first when a server starts).
class Fragmenter {
 public:
  Fragmenter() = default;  // nothing to send
  Fragmenter(Bytes message, size_t mtu, uint8_t flags, uint8_t firstFlags = 0);

  // The next packet's type data; an empty message gives one packet with the
  // flags only (an acknowledgement).
  Bytes Next();
  bool Done() const { return started_ && offset_ >= message_.size(); }
  bool Pending() const { return !Done(); }

 private:
  Bytes message_;
  size_t mtu_ = 1000;
  uint8_t flags_ = 0;
  uint8_t firstFlags_ = 0;
  size_t offset_ = 0;
  bool started_ = true;  // a default one has nothing to send
};

// The type data of an acknowledgement: the flags byte alone.
Bytes TlsAck(uint8_t flags);

}  // namespace hx::eap
