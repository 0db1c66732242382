// Resident size over a long run of requests and of setting writes: what a
// utility left running for days would grow by. Reported as counters.
#include <benchmark/benchmark.h>

#include "bench/support.h"
#include "frame/channel.h"
#include "frame/oids.h"
#include "registry/store.h"

namespace hx {
namespace {

constexpr long kRequests = 1000000;
constexpr long kWrites = 100000;

double GrowthKiB(size_t before, size_t after) {
  return (static_cast<double>(after) - static_cast<double>(before)) / 1024;
}

void Requests(long count) {
  bench::Library& lib = bench::Lib();
  for (long i = 0; i < count; ++i) {
    if (i % 1000 == 0) lib.sim->ClearCalls();  // the simulated driver logs every request
    ULONG value = 0;
    benchmark::DoNotOptimize(QueryOid(lib.adapter, OID_802_11_AUTHENTICATION_MODE, &value, 4));
  }
  lib.sim->ClearCalls();
}

void Writes(long count) {
  for (long i = 0; i < count; ++i)
    benchmark::DoNotOptimize(WriteAdapterNumber(nullptr, "PowerMode", i % 3, 0));
}

void Memory(benchmark::State& state) {
  bench::StopKeepingHive();  // the adapter's keys alone, whatever ran before
  bench::SetupRegistry();
  if (!bench::KeepHive("memory.reg")) {
    state.SkipWithError("the hive cannot be kept");
    return;
  }
  Requests(10000);  // first-use allocations are not growth
  Writes(1000);
  for (auto _ : state) {
    const size_t start = bench::ResidentBytes();
    Requests(kRequests);
    const size_t requested = bench::ResidentBytes();
    Writes(kWrites);
    const size_t written = bench::ResidentBytes();
    state.counters["requests_KiB"] = GrowthKiB(start, requested);
    state.counters["writes_KiB"] = GrowthKiB(requested, written);
  }
  bench::StopKeepingHive();
}

BENCHMARK(Memory)->Iterations(1)->Repetitions(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace hx
