// The setting store beside the bare registry calls it makes (open the
// adapter's key, read or write one value, close it); and, where the registry
// is this project's own store, a setting write with a small and a large hive
// and enumerations of many subkeys.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/support.h"
#include "platform/reg_file.h"
#include "platform/unique_handle.h"
#include "registry/store.h"
#include "sim/sim_registry.h"
#ifndef _WIN32
#include "platform/posix/control.h"
#endif

namespace hx {
namespace {

using bench::SetupRegistry;

void BareRead(benchmark::State& state) {
  SetupRegistry();
  for (auto _ : state) {
    platform::UniqueKey key;
    char text[100] = {};
    DWORD size = sizeof text;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, sim::kNtAdapterKey, 0, KEY_READ, key.put());
    benchmark::DoNotOptimize(
        RegQueryValueExA(key.get(), "PowerMode", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size));
  }
}

void StoreRead(benchmark::State& state) {
  SetupRegistry();
  for (auto _ : state) {
    ULONG value = 0;
    benchmark::DoNotOptimize(ReadAdapterNumber(nullptr, "PowerMode", value));
  }
}

void BareWrite(benchmark::State& state) {
  SetupRegistry();
  for (auto _ : state) {
    platform::UniqueKey key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, sim::kNtAdapterKey, 0, KEY_WRITE, key.put());
    benchmark::DoNotOptimize(
        RegSetValueExA(key.get(), "PowerMode", 0, REG_SZ, reinterpret_cast<const BYTE*>("2"), 1));
  }
}

void StoreWrite(benchmark::State& state) {
  SetupRegistry();
  for (auto _ : state) benchmark::DoNotOptimize(WriteAdapterNumber(nullptr, "PowerMode", 2, 0));
}

BENCHMARK(BareRead);
BENCHMARK(StoreRead);
BENCHMARK(BareWrite);
BENCHMARK(StoreWrite);

#ifndef _WIN32
// Windows' registry is not this project's: these time the POSIX store only.

// `count` subkeys K0... under HKLM\Software\HalvexBench\<name>, made anew.
void MakeSubkeys(const char* name, long count) {
  const std::string path = std::string("Software\\HalvexBench\\") + name;
  platform::DeleteKeyTree(HKEY_LOCAL_MACHINE, path.c_str());
  platform::UniqueKey parent;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, parent.put(),
                  nullptr);
  for (long i = 0; i < count; ++i) {
    platform::UniqueKey key;
    const std::string subkey = "K" + std::to_string(i);
    RegCreateKeyExA(parent.get(), subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
  }
}

// A setting write with the hive kept in a file, the hive holding `range(0)`
// more keys. Enough writes to fold the journal into the base several times.
void SettingWrite(benchmark::State& state) {
  SetupRegistry();
  MakeSubkeys("Filler", state.range(0));
  if (!bench::KeepHive("hive-" + std::to_string(state.range(0)) + ".reg")) {
    state.SkipWithError("the hive cannot be kept");
    return;
  }
  ULONG value = 0;
  for (auto _ : state) benchmark::DoNotOptimize(WriteAdapterNumber(nullptr, "PowerMode", ++value % 3, 0));
  if (posix::RegistryPersistError()) state.SkipWithError(posix::RegistryPersistError()->c_str());
  bench::StopKeepingHive();  // the benchmarks after this one time the hive alone
}

// One enumeration of `range(0)` subkeys, index after index.
void Enumerate(benchmark::State& state) {
  platform::UniqueKey key;
  auto at = [&](DWORD index) {
    char name[64];
    DWORD length = sizeof name;
    return RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
  };
  // Made by an earlier run of this benchmark with the same count, and still there.
  const auto made = [&] {
    const auto last = static_cast<DWORD>(state.range(0) - 1);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\HalvexBench\\Enumerated", 0, KEY_READ, key.put()) ==
               ERROR_SUCCESS &&
           at(last) == ERROR_SUCCESS && at(last + 1) == ERROR_NO_MORE_ITEMS;
  };
  if (!made()) {
    MakeSubkeys("Enumerated", state.range(0));
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\HalvexBench\\Enumerated", 0, KEY_READ, key.put());
  }
  long seen = 0;
  for (auto _ : state) {
    seen = 0;
    while (at(static_cast<DWORD>(seen)) == ERROR_SUCCESS) ++seen;
  }
  if (seen != state.range(0)) state.SkipWithError("not every subkey was enumerated");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));  // keys per second
}

BENCHMARK(SettingWrite)->Arg(10)->Arg(10000)->Iterations(30000)->Unit(benchmark::kMicrosecond);
BENCHMARK(Enumerate)->Arg(1000)->Arg(20000)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace
}  // namespace hx
