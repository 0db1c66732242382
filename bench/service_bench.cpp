// The machine's service against a bare round trip of the same bytes over a
// Unix domain socket pair: a driver query and a registry read and write
// through it, and the fan-out of events to several handles. main.cpp prints
// the ratios. (POSIX: on Windows each process holds the machine itself.)
#ifndef _WIN32
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "frame/oids.h"
#include "platform/posix/control.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "sim/client.h"
#include "sim/service.h"
#include "sim/sim_adapter.h"
#include "sim/wire.h"

namespace hx {
namespace {

constexpr uint32_t kEventAreaSize = 0x4000;

// A service of an adapter alone, in this process, and a client of it.
struct Rig {
  Rig() : adapter(sim::SimAdapter::Create()), core(adapter) {
    sim::Lines lines;
    client = sim::ConnectInProcess(core, &lines);
    device = client->OpenDevice();
  }
  ~Rig() {
    device.reset();
    client.reset();
    core.ShutdownAll();
    core.AwaitServed();
  }
  std::shared_ptr<sim::SimAdapter> adapter;
  sim::ServiceCore core;
  std::unique_ptr<sim::ServiceClient> client;
  std::shared_ptr<platform::Device> device;
};

Rig& TheRig() {
  static Rig rig;
  return rig;
}

// The bare baseline: `sent` bytes one way and `answered` back, over a socket
// pair with a thread echoing on the other end, as the service's are.
void BareRoundTrip(benchmark::State& state) {
  constexpr size_t kSent = 40, kAnswered = 40;
  int pair[2];
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
  std::thread echo([fd = pair[0]] {
    std::vector<uint8_t> in(kSent), out(kAnswered);
    for (;;) {
      size_t got = 0;
      while (got < kSent) {
        const ssize_t n = ::read(fd, in.data() + got, kSent - got);
        if (n <= 0) return;
        got += static_cast<size_t>(n);
      }
      if (!sim::wire::SendAll(fd, out)) return;
    }
  });
  std::vector<uint8_t> out(kSent, 1), in(kAnswered);
  for (auto _ : state) {
    sim::wire::SendAll(pair[1], out);
    size_t got = 0;
    while (got < kAnswered) {
      const ssize_t n = ::read(pair[1], in.data() + got, kAnswered - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    benchmark::DoNotOptimize(in.data());
  }
  ::shutdown(pair[1], SHUT_RDWR);
  echo.join();
  ::close(pair[0]);
  ::close(pair[1]);
}

// A 4-byte query on a handle through the service.
void Query(benchmark::State& state) {
  Rig& rig = TheRig();
  rig.adapter->KeepCallLog(false);
  for (auto _ : state) {
    unsigned char request[12] = {};
    const uint32_t oid = OID_802_11_AUTHENTICATION_MODE;
    std::memcpy(request, &oid, 4);
    uint32_t returned = 0, error = 0;
    benchmark::DoNotOptimize(rig.device->Control(IOCTL_OID_QUERY, request, sizeof request, request,
                                                 sizeof request, &returned, &error));
  }
}

// A registry value read and written through the service's hive; the
// write's sync to disk left out (timed is the service, not the disk).
struct RemoteHive {
  RemoteHive() {
    posix::SetRegistrySync(false);
    posix::UseRegistryRemote(TheRig().client->Registry());
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\HalvexBench", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    key.put(), nullptr);
    RegSetValueExA(key.get(), "TxPower", 0, REG_SZ, reinterpret_cast<const BYTE*>("40"), 2);
  }
  ~RemoteHive() {
    key.reset();
    posix::UseRegistryRemote(nullptr);
    posix::SetRegistrySync(true);
  }
  platform::UniqueKey key;
};

void RegRead(benchmark::State& state) {
  RemoteHive hive;
  for (auto _ : state) {
    char text[16];
    DWORD size = sizeof text, type = 0;
    benchmark::DoNotOptimize(
        RegQueryValueExA(hive.key.get(), "TxPower", nullptr, &type, reinterpret_cast<BYTE*>(text), &size));
  }
}

void RegWrite(benchmark::State& state) {
  RemoteHive hive;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        RegSetValueExA(hive.key.get(), "TxPower", 0, REG_SZ, reinterpret_cast<const BYTE*>("41"), 2));
  }
}

// 1,000 events delivered to `handles` open handles, and each handle's
// fetches of them: the time per handle.
void Events(benchmark::State& state) {
  Rig& rig = TheRig();
  std::vector<std::shared_ptr<platform::Device>> handles{rig.device};
  for (int64_t i = 1; i < state.range(0); ++i) handles.push_back(rig.client->OpenDevice());
  std::vector<unsigned char> area(8 + kEventAreaSize);
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) rig.adapter->InjectEvent(0xF0000000u);
    for (const auto& handle : handles) {
      for (;;) {
        const uint32_t oid = OID_HALVEX_EVENT_RECORDS;
        std::memcpy(area.data(), &oid, 4);
        uint32_t returned = 0, error = 0, count = 0;
        handle->Control(IOCTL_OID_QUERY, area.data(), static_cast<uint32_t>(area.size()), area.data(),
                        static_cast<uint32_t>(area.size()), &returned, &error);
        std::memcpy(&count, area.data() + 4, 4);
        if (count == 0) break;
      }
    }
  }
}

BENCHMARK(BareRoundTrip)->Name("Service/BareRoundTrip");
BENCHMARK(Query)->Name("Service/Query");
BENCHMARK(RegRead)->Name("Service/RegRead");
BENCHMARK(RegWrite)->Name("Service/RegWrite");
BENCHMARK(Events)->Name("ServiceEvents")->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace hx
#endif
