// The setting store beside the bare registry calls it makes: open the
// adapter's key, read or write one value, close it. Reported as ratios.
#include <benchmark/benchmark.h>

#include "platform/reg_file.h"
#include "platform/unique_handle.h"
#include "registry/store.h"
#include "sim/sim_registry.h"

namespace {

// The adapter's key, set up once; the store finds it by discovery first.
// Its instance's device must open for discovery's probe.
void Setup() {
  static const bool done = [] {
    hx::platform::ImportRegText(hx::sim::RegistrySetup(hx::sim::Family::kNt));
    return true;
  }();
  static hx::sim::InstancePath instance(hx::sim::SimAdapter::Create());
  (void)done;
}

void BareRead(benchmark::State& state) {
  Setup();
  for (auto _ : state) {
    hx::platform::UniqueKey key;
    char text[100] = {};
    DWORD size = sizeof text;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, hx::sim::kNtAdapterKey, 0, KEY_READ, key.put());
    benchmark::DoNotOptimize(
        RegQueryValueExA(key.get(), "PowerMode", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size));
  }
}

void StoreRead(benchmark::State& state) {
  Setup();
  for (auto _ : state) {
    ULONG value = 0;
    benchmark::DoNotOptimize(hx::ReadAdapterNumber(nullptr, "PowerMode", value));
  }
}

void BareWrite(benchmark::State& state) {
  Setup();
  for (auto _ : state) {
    hx::platform::UniqueKey key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, hx::sim::kNtAdapterKey, 0, KEY_WRITE, key.put());
    benchmark::DoNotOptimize(
        RegSetValueExA(key.get(), "PowerMode", 0, REG_SZ, reinterpret_cast<const BYTE*>("2"), 1));
  }
}

void StoreWrite(benchmark::State& state) {
  Setup();
  for (auto _ : state) benchmark::DoNotOptimize(hx::WriteAdapterNumber(nullptr, "PowerMode", 2, 0));
}

BENCHMARK(BareRead);
BENCHMARK(StoreRead);
BENCHMARK(BareWrite);
BENCHMARK(StoreWrite);

}  // namespace
