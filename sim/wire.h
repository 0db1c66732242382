// The simulated machine's service and its clients talk in messages over a
// Unix domain socket: a 32-bit little-endian length of what follows, a kind,
// then the body, built and read field by field. Every read is checked against
// the bytes present: a message is a peer's input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hx::sim::wire {

// The protocol's version: a client and a service that differ refuse each other.
inline constexpr uint32_t kVersion = 1;

// Messages above this size are refused: nothing the machine carries is larger
// (a request is at most a 16 KB event area or a registry value's data).
inline constexpr uint32_t kMaxMessage = 1u << 20;

enum class Kind : uint8_t {
  // Client to service, each answered by a kReply on the same socket.
  kHello = 1,  // version, role (0 requests, 1 events), pid; events: client id
  kOpenDevice,
  kCloseDevice,
  kControl,
  kRegOpenKey,
  kRegCreateKey,
  kRegCloseKey,
  kRegDeleteKey,
  kRegDeleteValue,
  kRegEnumKey,
  kRegEnumValue,
  kRegQueryValue,
  kRegSetValue,
  kStatus,       // the service's pid, uptime, clients, state directory (JSON text)
  kStop,         // save and end
  kSave,         // save now; the problems met
  kCapture,      // a pcap path for the client's frames, or none to stop
  kRequestLog,   // this client's driver requests as text
  kPortOpen,     // whether the associated network lets traffic through
  kRadius,       // the built-in RADIUS server (JSON text)
  kReply = 100,  // the answer to the request before it
  // Service to client, on the events socket: an event the client registered.
  kSignal = 101,
};

class Writer {
 public:
  explicit Writer(Kind kind);
  Writer& U8(uint8_t value);
  Writer& U32(uint32_t value);
  Writer& U64(uint64_t value);
  Writer& Bytes(std::span<const uint8_t> bytes);  // a 32-bit length, then the bytes
  Writer& Text(std::string_view text);            // the same for a text
  Writer& OptionalText(const char* text);         // a flag, then the text when not null
  // The whole message, its length word filled in.
  const std::vector<uint8_t>& Finish();

 private:
  std::vector<uint8_t> bytes_;
};

class Reader {
 public:
  // `body` is a message's bytes after its length and kind.
  explicit Reader(std::span<const uint8_t> body) : rest_(body) {}
  // Each fails (and every later one too) once the bytes run out.
  std::optional<uint8_t> U8();
  std::optional<uint32_t> U32();
  std::optional<uint64_t> U64();
  std::optional<std::span<const uint8_t>> Bytes(uint32_t limit = kMaxMessage);
  std::optional<std::string> Text(uint32_t limit = kMaxMessage);
  // Present: the text; absent: nullopt inside; failed: nullopt outside.
  std::optional<std::optional<std::string>> OptionalText(uint32_t limit = kMaxMessage);
  bool ok() const { return ok_; }
  // Everything read and nothing left over.
  bool Done() const { return ok_ && rest_.empty(); }

 private:
  bool Take(size_t n, const uint8_t** at);
  std::span<const uint8_t> rest_;
  bool ok_ = true;
};

// A message taken from a stream: its kind and body.
struct Message {
  Kind kind = Kind::kReply;
  std::vector<uint8_t> body;
};

// Buffers a socket's input and hands out whole messages.
class Inbox {
 public:
  explicit Inbox(int fd) : fd_(fd), buffer_(16 * 1024) {}
  // The next message; nullopt at the end of the stream, on an error, or for
  // a message that breaks the framing (its length out of bounds).
  std::optional<Message> Next();

 private:
  int fd_;
  std::vector<uint8_t> buffer_;  // unread bytes lie in [start_, end_)
  size_t start_ = 0;
  size_t end_ = 0;
};

// Writes all of `bytes` (retrying interrupted and partial writes); false on
// an error, a closed peer among them (no SIGPIPE).
bool SendAll(int fd, std::span<const uint8_t> bytes);

}  // namespace hx::sim::wire
