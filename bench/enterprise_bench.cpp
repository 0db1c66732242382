// 802.1X: a whole PEAP-MSCHAPv2 join through the built-in RADIUS server
// (the library, the stand-in toolkit's EAP and 4-way handshake, the
// simulated access point relaying over UDP), beside the bare TLS 1.2
// handshake of the same certificates, both ends in one thread, that sits
// inside it. Both are timed in CPU seconds of the whole process, every
// thread's, so their ratio says what share of the join's work the TLS
// handshake is.
#ifdef HALVEX_HAS_RADIUS
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "Halvex.h"
#include "bench/support.h"
#include "eap/tls.h"
#include "frame/state.h"
#include "radius/builtin.h"
#include "sim/message_recorder.h"
#include "toolkit/odsim.h"

namespace hx {
namespace {

namespace fs = std::filesystem;

double ProcessSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The built-in server, in a state directory of the run's own.
radius::BuiltinServer& Server() {
  static const std::unique_ptr<radius::BuiltinServer> server = [] {
    const fs::path dir = fs::temp_directory_path() / ("halvex-bench-radius-" + std::to_string(getpid()));
    std::string error;
    auto made = radius::BuiltinServer::Start(
        dir, {{"HalvexCorp", {0x00, 0x11, 0x22, 0x33, 0x44, 0x05}, {{"alice", "s3cret"}}}}, &error);
    static const fs::path removed = dir;
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(removed, ignored);
    });
    return made;
  }();
  return *server;
}

void PeapJoin(benchmark::State& state) {
  bench::Library& lib = bench::Lib();
  static sim::MessageRecorder recorder;
  // The other rows run without a window: a message sent to this one (on its
  // own thread) per link record would time the recorder, not the library.
  const HWND before = State().NotifyWindow.load();
  HalvexInitialize(recorder.window());
  const radius::BuiltinServerInfo info = Server().Info();
  ODSIM_EnableSupplicant(1);
  ODSIM_TrustCertificateFile(nullptr);
  ODSIM_TrustCertificateFile(info.caCertificate.c_str());
  sim::RadioWorld world = sim::RadioWorld::Default();
  world.current.reset();
  world.accessPoints.push_back(sim::EnterpriseAccessPoint(
      "HalvexCorp", 0x05, 6, {}, sim::RadiusServerConfig{info.address, info.secret}));
  lib.sim->SetWorld(world);
  lib.sim->SetDelays(std::chrono::milliseconds(0), std::chrono::milliseconds(0));
  lib.sim->KeepCallLog(false);
  char user[] = "alice", domain[] = "", password[] = "s3cret", ssid[] = "HalvexCorp";
  const auto connected = [&](size_t from) {
    for (;;) {
      const auto messages = recorder.Messages();
      for (size_t i = from; i < messages.size(); ++i) {
        if (messages[i].code == HALVEX_MSG_SUPP_CONNECTED) return true;
        if (messages[i].text == "[Auth]: Authentication failed") return false;
      }
      if (!recorder.WaitForCount(messages.size() + 1, std::chrono::seconds(10))) return false;
    }
  };
  for (auto _ : state) {
    recorder.Clear();
    const double start = ProcessSeconds();
    HalvexWPACreateIdentityPEAP(user, domain, password);
    HalvexSetWPAInformation(lib.adapter, 10, 3, nullptr, ssid);
    HalvexSetAuthMode(lib.adapter, 6);
    HalvexSetWepStatus(lib.adapter, 6);
    HalvexSetSsid(lib.adapter, ssid, 10);
    if (!connected(0)) {
      state.SkipWithError("the join did not end connected");
      break;
    }
    state.SetIterationTime(ProcessSeconds() - start);
    // Leaving is not part of the join; nor is the stand-in's record of the
    // calls, which would otherwise grow with every join.
    ODSIM_ClearCalls();
    HalvexWPAPortDown();
    recorder.Clear();
    HalvexSetDisassociate(lib.adapter);
    recorder.WaitForCount(1, std::chrono::seconds(5));
  }
  lib.sim->KeepCallLog(true);
  ODSIM_EnableSupplicant(0);
  State().NotifyWindow.store(before);
}

void TlsHandshake(benchmark::State& state) {
  const radius::BuiltinServerInfo info = Server().Info();
  const fs::path dir = fs::path(info.caCertificate).parent_path();
  std::string error;
  const auto server = eap::TlsContext::Server((dir / "server.pem").string(), (dir / "server.key").string(),
                                              info.caCertificate, &error);
  const auto client = eap::TlsContext::Client({info.caCertificate}, "", "", &error);
  if (!server || !client) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    const double start = ProcessSeconds();
    eap::TlsSession a(client), b(server);
    eap::Bytes toServer, toClient;
    eap::TlsSession::Step step = a.Handshake({}, &toServer);
    while (step == eap::TlsSession::Step::kContinue || !b.Established()) {
      toClient.clear();
      b.Handshake(toServer, &toClient);
      toServer.clear();
      step = a.Handshake(toClient, &toServer);
      if (step == eap::TlsSession::Step::kFailed) break;
    }
    if (!a.Established() || !b.Established() || !a.ExportKeys("client EAP encryption", 128)) {
      state.SkipWithError("the handshake failed");
      break;
    }
    state.SetIterationTime(ProcessSeconds() - start);
  }
}

BENCHMARK(PeapJoin)->Name("Enterprise/PeapJoin")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(TlsHandshake)->Name("Enterprise/TlsHandshake")->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace hx
#endif
