// A client process's side of the machine's service (POSIX): it connects to
// the service of a state directory, starting one when none runs, makes the
// adapter reachable in this process through the seam with its requests
// carried to the service, and sends this process's registry calls there too.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/posix/control.h"
#include "platform/seam.h"
#include "sim/machine.h"

namespace hx::sim {

class ServiceClient {
 public:
  // Connects to the service of `dir`; with `start`, starts it when none runs
  // (when several processes start at once, exactly one service wins and all
  // connect to it). Null, with the reasons in *lines, when there is none
  // (without `start`, *lines stays empty when none runs at all).
  static std::unique_ptr<ServiceClient> Connect(const std::filesystem::path& dir, bool start, Lines* lines);
  // A client over two sockets already connected to a service (the requests
  // and the events), which it owns: how tests and benchmarks reach a
  // ServiceCore of their own.
  static std::unique_ptr<ServiceClient> Over(int requests, int events, Lines* lines);
  ~ServiceClient();
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  // Registers the adapter's device paths through the seam and sends the
  // registry calls of this process to the service; Detach undoes both.
  bool Attach(Lines* lines);
  void Detach();

  // A handle of this process on the service's adapter, closed with the
  // device (what each CreateFileA of an attached path gets); null when the
  // service refuses it or is gone.
  std::shared_ptr<platform::Device> OpenDevice();
  // The service's hive, as this process's registry calls reach it.
  std::shared_ptr<posix::RegistryRemote> Registry();

  // Requests of the service itself; each fails once the service is gone.
  std::optional<std::string> Status();  // JSON text
  // The machine's built-in RADIUS server; none when it does not run.
  std::optional<RadiusServerInfo> Radius();
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

// A client of `core` in this process, over socket pairs it serves on threads
// of its own (tests and benchmarks); null when the service refused it.
std::unique_ptr<ServiceClient> ConnectInProcess(class ServiceCore& core, Lines* lines);

// The service's executable: HALVEX_SIMD when set, else halvex-simd beside
// this library (or in ../bin, ../libexec from it), else on the PATH.
std::string ServiceExecutable();

}  // namespace hx::sim
