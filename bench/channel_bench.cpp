// The request channel against the simulated adapter, beside a bare control
// call of the same device with the same buffer (and, in registry_bench.cpp,
// the setting store beside its bare registry calls). Reported as ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "Halvex.h"
#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"
#include "sim/sim_adapter.h"

namespace {

constexpr uint32_t kOid = OID_802_11_AUTHENTICATION_MODE;

struct Library {
  Library() {
    hx::ProcessAttach();
    sim = hx::sim::SimAdapter::Create();
    sim->Install();
    HalvexOpenAdapter(adapter);
  }
  ~Library() {
    HalvexCloseAdapter(adapter);
    hx::ProcessDetach();
    sim->Uninstall();
  }
  std::shared_ptr<hx::sim::SimAdapter> sim;
  void* adapter = nullptr;
};

Library& Lib() {
  static Library library;
  return library;
}

// One control call of the device with the request the channel would build.
void Bare(benchmark::State& state, uint32_t code) {
  void* adapter = Lib().adapter;
  const DWORD outLength = code == hx::IOCTL_OID_QUERY ? 12 : 0;
  for (auto _ : state) {
    Lib().sim->ClearCalls();
    unsigned char request[12] = {};
    std::memcpy(request, &kOid, 4);
    DWORD returned = 0;
    benchmark::DoNotOptimize(
        hx::platform::DeviceControl(adapter, code, request, 12, request, outLength, &returned));
  }
}

void Channel(benchmark::State& state, int (*request)(void*, uint32_t, void*, ULONG)) {
  void* adapter = Lib().adapter;
  for (auto _ : state) {
    Lib().sim->ClearCalls();
    uint32_t value = 0;
    benchmark::DoNotOptimize(request(adapter, kOid, &value, 4));
  }
}

BENCHMARK_CAPTURE(Bare, Query, hx::IOCTL_OID_QUERY);
BENCHMARK_CAPTURE(Channel, Query, hx::QueryOid);
BENCHMARK_CAPTURE(Bare, Set, hx::IOCTL_OID_SET);
BENCHMARK_CAPTURE(Channel, Set, hx::SetOid);
// Collects each run's time so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
  }
  void PrintRatios() const {
    auto ratio = [&](const char* a, const char* b) {
      if (times_.count(a) && times_.count(b) && times_.at(b) > 0) {
        std::printf("ratio %s / %s = %.2f\n", a, b, times_.at(a) / times_.at(b));
      }
    };
    ratio("Channel/Query", "Bare/Query");
    ratio("Channel/Set", "Bare/Set");
    ratio("StoreRead", "BareRead");
    ratio("StoreWrite", "BareWrite");
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
