#include "eap/fragments.h"

#include <algorithm>

namespace hx::eap {

std::optional<TlsPiece> ReadTlsPiece(ByteView typeData) {
  if (typeData.empty()) return std::nullopt;
  TlsPiece piece;
  piece.flags = typeData[0];
  size_t at = 1;
  if (piece.flags & kFlagLength) {
    if (typeData.size() < 5) return std::nullopt;
    piece.total = static_cast<uint32_t>(typeData[1]) << 24 | static_cast<uint32_t>(typeData[2]) << 16 |
                  static_cast<uint32_t>(typeData[3]) << 8 | typeData[4];
    at = 5;
  }
  piece.data = typeData.subspan(at);
  return piece;
}

void Reassembler::Reset() {
  message_.clear();
  total_.reset();
  firstFlags_ = 0;
  inProgress_ = false;
  complete_ = false;
}

Reassembler::Status Reassembler::Add(ByteView typeData) {
  if (complete_) Reset();
  const std::optional<TlsPiece> piece = ReadTlsPiece(typeData);
  const auto fail = [this] {
    Reset();
    return Status::kError;
  };
  if (!piece) return fail();
  if (!inProgress_) {
    firstFlags_ = piece->flags;
    inProgress_ = true;
  }
  if (piece->total) {
    // The total comes with the first fragment, or with a later one; once
    // said, it is never changed, and never more than we take.
    if ((total_ && *piece->total != *total_) || *piece->total > kMaxTlsMessage) return fail();
    total_ = piece->total;
  }
  const size_t limit = total_ ? *total_ : kMaxTlsMessage;
  if (message_.size() > limit || piece->data.size() > limit - message_.size()) return fail();
  message_.insert(message_.end(), piece->data.begin(), piece->data.end());
  if (piece->flags & kFlagMore) {
    // A fragment that adds nothing would let the exchange run for ever.
    if (piece->data.empty()) return fail();
    return Status::kMore;
  }
  if (total_ && message_.size() != *total_) return fail();
  inProgress_ = false;
  complete_ = true;
  return Status::kComplete;
}

Fragmenter::Fragmenter(Bytes message, size_t mtu, uint8_t flags, uint8_t firstFlags)
    : message_(std::move(message)),
      mtu_(std::max<size_t>(mtu, 1)),
      flags_(flags),
      firstFlags_(firstFlags),
      started_(false) {}

Bytes Fragmenter::Next() {
  const bool first = !started_;
  started_ = true;
  const size_t left = message_.size() - std::min(offset_, message_.size());
  const size_t n = std::min(left, mtu_);
  const bool more = n < left;
  uint8_t flags = flags_ | (first ? firstFlags_ : 0) | (more ? kFlagMore : 0);
  const bool withTotal = first && more;
  if (withTotal) flags |= kFlagLength;
  Bytes data;
  data.reserve(1 + (withTotal ? 4 : 0) + n);
  data.push_back(flags);
  if (withTotal) {
    const auto total = static_cast<uint32_t>(message_.size());
    for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(total >> shift));
  }
  data.insert(data.end(), message_.begin() + static_cast<std::ptrdiff_t>(offset_),
              message_.begin() + static_cast<std::ptrdiff_t>(offset_ + n));
  offset_ += n;
  return data;
}

Bytes TlsAck(uint8_t flags) {
  return Bytes{flags};
}

}  // namespace hx::eap
