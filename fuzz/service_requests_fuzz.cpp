// Fuzz target for what a client may send the machine's service: after its
// hello, any bytes as requests. The service must answer or hang up, never
// read outside a message, and release what the client held when it goes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "sim/service.h"
#include "sim/sim_adapter.h"
#include "sim/wire.h"

namespace {

hx::sim::ServiceCore& Core() {
  static auto* core = [] {
    auto* made = new hx::sim::ServiceCore(hx::sim::SimAdapter::Create());
    made->AllowCapture(false);  // random requests name random files
    return made;
  }();
  return *core;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  std::thread serving([fd = pair[0]] { Core().Serve(fd); });
  hx::sim::wire::Writer hello(hx::sim::wire::Kind::kHello);
  hello.U32(hx::sim::wire::kVersion).U8(0);
  hx::sim::wire::SendAll(pair[1], hello.Finish());
  hx::sim::wire::SendAll(pair[1], {data, size});
  ::shutdown(pair[1], SHUT_WR);
  // Whatever comes back is read, so the service never blocks on its answers.
  std::vector<uint8_t> sink(1 << 16);
  while (::read(pair[1], sink.data(), sink.size()) > 0) {
  }
  serving.join();
  ::close(pair[1]);
  if (Core().Clients() != 0) std::abort();  // its hang-up released it
  return 0;
}
