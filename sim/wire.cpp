#include "sim/wire.h"

#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace hx::sim::wire {

Writer::Writer(Kind kind) : bytes_(5, 0) {
  bytes_[4] = static_cast<uint8_t>(kind);
}

Writer& Writer::U8(uint8_t value) {
  bytes_.push_back(value);
  return *this;
}

Writer& Writer::U32(uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return *this;
}

Writer& Writer::U64(uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return *this;
}

Writer& Writer::Bytes(std::span<const uint8_t> bytes) {
  U32(static_cast<uint32_t>(bytes.size()));
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

Writer& Writer::Text(std::string_view text) {
  return Bytes({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

Writer& Writer::OptionalText(const char* text) {
  U8(text != nullptr ? 1 : 0);
  if (text != nullptr) Text(text);
  return *this;
}

const std::vector<uint8_t>& Writer::Finish() {
  const auto length = static_cast<uint32_t>(bytes_.size() - 4);
  for (int i = 0; i < 4; ++i) bytes_[i] = static_cast<uint8_t>(length >> (8 * i));
  return bytes_;
}

bool Reader::Take(size_t n, const uint8_t** at) {
  if (!ok_ || rest_.size() < n) {
    ok_ = false;
    return false;
  }
  *at = rest_.data();
  rest_ = rest_.subspan(n);
  return true;
}

std::optional<uint8_t> Reader::U8() {
  const uint8_t* at = nullptr;
  if (!Take(1, &at)) return std::nullopt;
  return at[0];
}

std::optional<uint32_t> Reader::U32() {
  const uint8_t* at = nullptr;
  if (!Take(4, &at)) return std::nullopt;
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

std::optional<uint64_t> Reader::U64() {
  const uint8_t* at = nullptr;
  if (!Take(8, &at)) return std::nullopt;
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

std::optional<std::span<const uint8_t>> Reader::Bytes(uint32_t limit) {
  const std::optional<uint32_t> length = U32();
  const uint8_t* at = nullptr;
  if (!length || *length > limit) {
    ok_ = false;
    return std::nullopt;
  }
  if (!Take(*length, &at)) return std::nullopt;
  return std::span<const uint8_t>(at, *length);
}

std::optional<std::string> Reader::Text(uint32_t limit) {
  const auto bytes = Bytes(limit);
  if (!bytes) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

std::optional<std::optional<std::string>> Reader::OptionalText(uint32_t limit) {
  const std::optional<uint8_t> present = U8();
  if (!present || *present > 1) {
    ok_ = false;
    return std::nullopt;
  }
  if (*present == 0) return std::optional<std::string>();
  std::optional<std::string> text = Text(limit);
  if (!text) return std::nullopt;
  return text;
}

#ifndef _WIN32
std::optional<Message> Inbox::Next() {
  for (;;) {
    const size_t available = end_ - start_;
    if (available >= 5) {
      const uint8_t* p = buffer_.data() + start_;
      const uint32_t length = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
      if (length < 1 || length > kMaxMessage) return std::nullopt;
      if (available >= 4 + size_t{length}) {
        Message message;
        message.kind = static_cast<Kind>(p[4]);
        message.body.assign(p + 5, p + 4 + length);
        start_ += 4 + length;
        if (start_ == end_) start_ = end_ = 0;
        return message;
      }
      if (4 + size_t{length} > buffer_.size() - start_) {
        // Keep what is unread at the front, with room for the whole message.
        std::memmove(buffer_.data(), buffer_.data() + start_, available);
        start_ = 0;
        end_ = available;
        if (buffer_.size() < 4 + size_t{length}) buffer_.resize(4 + size_t{length});
      }
    } else if (start_ > 0 && buffer_.size() - start_ < 5) {
      std::memmove(buffer_.data(), buffer_.data() + start_, available);
      start_ = 0;
      end_ = available;
    }
    ssize_t n;
    do {
      n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return std::nullopt;
    end_ += static_cast<size_t>(n);
  }
}

bool SendAll(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return true;
}
#endif

}  // namespace hx::sim::wire
