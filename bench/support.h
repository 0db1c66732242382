// What the benchmarks share: one loaded library with a simulated adapter
// open, the adapter's registry set up, and the clock and memory readings
// they report.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "sim/sim_adapter.h"

namespace hx::bench {

struct Library {
  Library();
  ~Library();
  std::shared_ptr<sim::SimAdapter> sim;
  void* adapter = nullptr;
};

// Attached and opened on first use, detached at exit.
Library& Lib();

// The adapter's registry keys, imported once; its instance's device opens
// for discovery.
void SetupRegistry();

// Keeps the hive in a file of that name in a state directory of the run's
// own, on tmpfs where there is one (timed is the store's work, not the
// disk's); false if it cannot be kept. Windows' registry is its own: there
// this does nothing and says true.
bool KeepHive(const std::string& name);
// Stops keeping it; the hive is emptied and the adapter's keys set up again.
void StopKeepingHive();

// Resident set size of this process in bytes.
size_t ResidentBytes();

using Clock = std::chrono::steady_clock;
inline double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace hx::bench
