// The request channel against the simulated adapter, beside a bare control
// call of the same device with the same buffer (and, in registry_bench.cpp,
// the setting store beside its bare registry calls). main.cpp prints the ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "Halvex.h"
#include "bench/support.h"
#include "frame/channel.h"
#include "frame/oids.h"
#include "frame/state.h"

namespace hx {
namespace {

constexpr uint32_t kOid = OID_802_11_AUTHENTICATION_MODE;

using bench::Lib;

// One control call of the device with the request the channel would build.
void Bare(benchmark::State& state, uint32_t code) {
  void* adapter = Lib().adapter;
  const DWORD outLength = code == IOCTL_OID_QUERY ? 12 : 0;
  for (auto _ : state) {
    Lib().sim->ClearCalls();
    unsigned char request[12] = {};
    std::memcpy(request, &kOid, 4);
    DWORD returned = 0;
    benchmark::DoNotOptimize(
        platform::DeviceControl(adapter, code, request, 12, request, outLength, &returned));
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

BENCHMARK_CAPTURE(Bare, Query, IOCTL_OID_QUERY);
BENCHMARK_CAPTURE(Channel, Query, QueryOid);
BENCHMARK_CAPTURE(Bare, Set, IOCTL_OID_SET);
BENCHMARK_CAPTURE(Channel, Set, SetOid);

}  // namespace
}  // namespace hx
