#include "tools/session.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "Halvex.h"
#include "HalvexSim.h"
#include "tools/text.h"

namespace fs = std::filesystem;

namespace halvexctl {
namespace {

// The machine's messages, one problem per line, as warnings.
void WarnLines(const char* text) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) Warn(line);
  }
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

void Warn(const std::string& text) {
  std::fprintf(stderr, "halvexctl: %s\n", Escape(text).c_str());
}

fs::path StateDirectory(const Options& options) {
  if (!options.stateDir.empty()) return fs::absolute(options.stateDir);
  if (const std::string dir = Environment("HALVEX_STATE_DIR"); !dir.empty()) return fs::absolute(dir);
#ifdef _WIN32
  if (const std::string local = Environment("LOCALAPPDATA"); !local.empty())
    return fs::path(local) / "Halvex";
  return fs::absolute("Halvex");
#else
  if (const std::string xdg = Environment("XDG_STATE_HOME"); !xdg.empty() && fs::path(xdg).is_absolute())
    return fs::path(xdg) / "halvex";
  if (const std::string home = Environment("HOME"); !home.empty())
    return fs::path(home) / ".local" / "state" / "halvex";
  return fs::absolute(".halvex-state");
#endif
}

std::unique_ptr<Session> Session::Open(const Options& options) {
  std::unique_ptr<Session> session(new Session);
  session->options_ = options;
#ifdef _WIN32
  session->simulated_ = options.sim;
#else
  session->simulated_ = true;  // the only adapter off Windows
#endif
  char messages[4096] = {};
  if (session->simulated_) {
    // What the machine says while it waits (another process has the state
    // directory) is said as it happens.
    HalvexSimSetNotice([](const char* line) { Warn(line); });
    // HALVEX_SIM_IN_PROCESS=1 keeps the machine in this process rather than
    // in the state directory's service.
    const std::string dir = StateDirectory(options).string();
    const int started = Environment("HALVEX_SIM_IN_PROCESS") == "1"
                            ? HalvexSimStartInProcess(dir.c_str(), messages, sizeof messages)
                            : HalvexSimStart(dir.c_str(), messages, sizeof messages);
    WarnLines(messages);
    if (started != HALVEXSIM_OK) {
      session->closed_ = true;
      return nullptr;
    }
    if (!options.capture.empty() &&
        HalvexSimCapture(options.capture.c_str(), messages, sizeof messages) != HALVEXSIM_OK) {
      WarnLines(messages);
      session->Close();
      return nullptr;
    }
  }
  session->messages_ = std::make_unique<hx::sim::MessageRecorder>();
  session->waker_ = std::make_unique<interrupt::Waker>([m = session->messages_.get()] { m->Wake(); });
  // The handshake is a point of a join that only its messages mark (for the
  // interrupt tests).
  session->messages_->SetHook([](const hx::sim::Message& m) {
    if (m.code == HALVEX_MSG_STATUS_TEXT) interrupt::SignalAt("handshake");
  });
  HalvexInitialize(session->messages_->window());
  const int result = HalvexOpenAdapter(session->adapter_);
  if (result != HALVEX_RESULT_SUCCESS) {
    Warn("no adapter found (HalvexOpenAdapter result " + std::to_string(result) + ")");
    session->adapter_ = nullptr;
    session->Close();
    return nullptr;
  }
  return session;
}

bool Session::Close() {
  if (closed_) return true;
  closed_ = true;
  if (adapter_ != nullptr) HalvexCloseAdapter(adapter_);
  // The supplicant's threads end now, while everything they use is still
  // there, rather than in the library's unload at exit.
  HalvexWPATerminate();
  bool saved = true;
  if (simulated_) {
    if (options_.verbose) {
      std::string log(HalvexSimRequestLog(nullptr, 0), '\0');
      HalvexSimRequestLog(log.data(), static_cast<unsigned>(log.size()));
      std::fprintf(stderr, "Requests over the driver channel:\n%s", log.c_str());
    }
    char messages[4096] = {};
    saved = HalvexSimStop(messages, sizeof messages) == HALVEXSIM_OK;
    WarnLines(messages);
  }
  return saved;
}

Session::~Session() {
  Close();
}

bool Session::WaitFor(size_t from, std::chrono::milliseconds timeout,
                      const std::function<bool(const hx::sim::Message&)>& done,
                      const std::function<void(const hx::sim::Message&)>& seen, bool throughInterrupts) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (size_t next = from;;) {
    const std::vector<hx::sim::Message> all = messages_->Messages();
    for (; next < all.size(); ++next) {
      if (seen) seen(all[next]);
      if (done(all[next])) return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if ((interrupt::Requested() && !throughInterrupts) || left.count() <= 0) return false;
    messages_->WaitForCount(next + 1, left);
  }
}

}  // namespace halvexctl
