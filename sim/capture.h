// A capture of the frames the simulated adapter carries, as a pcap file
// (Ethernet link type) that Wireshark or tshark reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace hx::sim {

class PcapWriter {
 public:
  // Creates (or replaces) the file and writes its header; false with *error
  // set when that fails.
  bool Open(const std::string& path, std::string* error);
  // One frame, stamped with the current time. The file is flushed after each,
  // so that what was captured is readable at any moment.
  void Write(const uint8_t* frame, size_t size);
  void Close() { file_.reset(); }

 private:
  struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, FileClose> file_;
};

}  // namespace hx::sim
