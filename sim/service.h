// The simulated machine as a service: one process per state directory
// (halvex-simd) holds the Machine and serves every client process of the
// directory, as a wineserver serves Wine's processes. Clients talk to it over
// a Unix domain socket in the directory (simd.sock, owner only; a peer of
// another user is refused), in the messages of sim/wire.h: each client opens
// a socket for its requests and one on which the service sets the events its
// device handles registered.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "sim/machine.h"

namespace hx::sim {

// The files of the service in a state directory.
inline constexpr const char* kServiceSocket = "simd.sock";
inline constexpr const char* kServiceLock = "simd.lock";        // held by the running service
inline constexpr const char* kServiceStartLock = "simd.start";  // held by a client starting one
inline constexpr const char* kServiceLog = "simd.log";

// What a service serves: the machine of a state directory, or (benchmarks)
// an adapter alone. Every connection is served on a thread of its own.
class ServiceCore {
 public:
  explicit ServiceCore(std::unique_ptr<Machine> machine);
  explicit ServiceCore(std::shared_ptr<SimAdapter> adapter);
  ~ServiceCore();
  ServiceCore(const ServiceCore&) = delete;
  ServiceCore& operator=(const ServiceCore&) = delete;

  // Serves the client connected on `fd` (which it owns) until it hangs up,
  // then releases everything the client held (its handles, registry keys and
  // capture). Returns once done.
  void Serve(int fd);
  // The same on a thread of its own.
  void ServeOnThread(int fd);
  // Hangs up on every client being served (each Serve then returns), and
  // waits until every Serve has returned.
  void ShutdownAll();
  void AwaitServed();

  // Connections being served.
  size_t Clients() const;
  // Set when a client asked the service to end.
  bool StopRequested() const;
  // Called (from a serving thread) when a client asks the service to end,
  // and whenever the number of clients changes.
  void OnChange(std::function<void()> changed);
  // Saves the machine; the problems met.
  bool Save(Lines* lines);
  // Whether clients may have the adapter's frames written to a file of their
  // choosing (they may, unless a harness that feeds it random requests says
  // otherwise).
  void AllowCapture(bool allow);

  Machine* machine() const;
  SimAdapter& adapter() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct ServiceOptions {
  std::filesystem::path dir;
  std::chrono::seconds idle{60};  // without a client; 0: never
  int readyFd = -1;               // told "ok" once listening, or why not
};

// Runs the service of `options.dir` until it is stopped (SIGTERM, SIGINT, a
// client's request, or the idle time passing without a client), then saves
// and returns the process's exit code. Exactly one service runs per
// directory: one started while another runs says so and returns 0.
int RunService(const ServiceOptions& options);

}  // namespace hx::sim
