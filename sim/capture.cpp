#include "sim/capture.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace hx::sim {
namespace {

constexpr uint32_t kMagic = 0xA1B2C3D4;  // microsecond time stamps
constexpr uint16_t kVersionMajor = 2;
constexpr uint16_t kVersionMinor = 4;
constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kLinkTypeEthernet = 1;

// pcap's fields in little-endian order, whatever the host's.
void Put(unsigned char* p, uint32_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

bool PcapWriter::Open(const std::string& path, std::string* error) {
  file_.reset(std::fopen(path.c_str(), "wb"));
  if (!file_) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  unsigned char header[24] = {};
  Put(header, kMagic, 4);
  Put(header + 4, kVersionMajor, 2);
  Put(header + 6, kVersionMinor, 2);
  Put(header + 16, kSnapLength, 4);
  Put(header + 20, kLinkTypeEthernet, 4);
  if (std::fwrite(header, sizeof header, 1, file_.get()) != 1 || std::fflush(file_.get()) != 0) {
    if (error) *error = path + ": cannot write";
    file_.reset();
    return false;
  }
  return true;
}

void PcapWriter::Write(const uint8_t* frame, size_t size) {
  if (!file_) return;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  const auto kept = static_cast<uint32_t>(size < kSnapLength ? size : kSnapLength);
  unsigned char record[16];
  Put(record, static_cast<uint32_t>(micros / 1000000), 4);
  Put(record + 4, static_cast<uint32_t>(micros % 1000000), 4);
  Put(record + 8, kept, 4);
  Put(record + 12, static_cast<uint32_t>(size), 4);
  std::fwrite(record, sizeof record, 1, file_.get());
  if (kept != 0) std::fwrite(frame, kept, 1, file_.get());
  std::fflush(file_.get());
}

}  // namespace hx::sim
