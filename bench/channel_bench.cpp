// The request channel against the simulated adapter, beside a bare control
// call of the same device with the same buffer. Reported as ratios.
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

void BareQuery(benchmark::State& state) {
  void* adapter = Lib().adapter;
  for (auto _ : state) {
    Lib().sim->ClearCalls();
    unsigned char request[12] = {};
    std::memcpy(request, &kOid, 4);
    DWORD returned = 0;
    benchmark::DoNotOptimize(
        hx::platform::DeviceControl(adapter, hx::IOCTL_OID_QUERY, request, 12, request, 12, &returned));
  }
}

void ChannelQuery(benchmark::State& state) {
  void* adapter = Lib().adapter;
  for (auto _ : state) {
    Lib().sim->ClearCalls();
    uint32_t value = 0;
    benchmark::DoNotOptimize(hx::QueryOid(adapter, kOid, &value, 4));
  }
}

void BareSet(benchmark::State& state) {
  void* adapter = Lib().adapter;
  for (auto _ : state) {
    Lib().sim->ClearCalls();
    unsigned char request[12] = {};
    std::memcpy(request, &kOid, 4);
    DWORD returned = 0;
    benchmark::DoNotOptimize(
        hx::platform::DeviceControl(adapter, hx::IOCTL_OID_SET, request, 12, request, 0, &returned));
  }
}

void ChannelSet(benchmark::State& state) {
  void* adapter = Lib().adapter;
  for (auto _ : state) {
    Lib().sim->ClearCalls();
    uint32_t value = 0;
    benchmark::DoNotOptimize(hx::SetOid(adapter, kOid, &value, 4));
  }
}

BENCHMARK(BareQuery);
BENCHMARK(ChannelQuery);
BENCHMARK(BareSet);
BENCHMARK(ChannelSet);

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
    ratio("ChannelQuery", "BareQuery");
    ratio("ChannelSet", "BareSet");
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
