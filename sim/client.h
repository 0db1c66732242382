// A client process's side of the machine's service (POSIX): it connects to
// the service of a state directory, starting one when none runs, makes the
// adapter reachable in this process through the seam with its requests
// carried to the service, and sends this process's registry calls there too.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "sim/machine.h"

namespace hx::sim {

class ServiceClient {
 public:
  // Connects to the service of `dir`; with `start`, starts it when none runs
  // (when several processes start at once, exactly one service wins and all
  // connect to it). Null, with the reasons in *lines, when there is none.
  static std::unique_ptr<ServiceClient> Connect(const std::filesystem::path& dir, bool start, Lines* lines);
  ~ServiceClient();
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  // Registers the adapter's device paths through the seam and sends the
  // registry calls of this process to the service; Detach undoes both.
  bool Attach(Lines* lines);
  void Detach();

  // Requests of the service itself; each fails once the service is gone.
  std::optional<std::string> Status();  // JSON text
  bool Stop();
  bool Save(Lines* lines);
  bool Capture(const std::string* path, std::string* error);  // null: stop capturing
  std::string RequestLog();
  bool PortOpen();
  // The service still answers.
  bool alive() const;

  struct Impl;  // the connection, shared with the seam's handles

 private:
  ServiceClient() = default;
  std::shared_ptr<Impl> impl_;
};

// The service's executable: HALVEX_SIMD when set, else halvex-simd beside
// this library (or in ../bin, ../libexec from it), else on the PATH.
std::string ServiceExecutable();

}  // namespace hx::sim
