// One run of halvexctl against an adapter: the simulated machine started from
// its state directory (or the real device on Windows), the adapter opened and
// a window receiving the library's messages; all undone, and the machine's
// state saved, when the run ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/message_recorder.h"
#include "tools/interrupt.h"

namespace halvexctl {

struct Options {
  bool sim = false;      // the simulated adapter (always so off Windows)
  std::string stateDir;  // empty: the platform's place
  bool json = false;
  bool verbose = false;  // the driver request log on stderr
  std::string capture;   // pcap file for the frames the adapter carries
};

// The state directory: --state-dir, else HALVEX_STATE_DIR (relative to the
// working directory), else $XDG_STATE_HOME/halvex, ~/.local/state/halvex, or
// %LOCALAPPDATA%\Halvex on Windows.
std::filesystem::path StateDirectory(const Options& options);

// Errors and warnings go to stderr, prefixed with the program's name, with
// control bytes escaped.
void Warn(const std::string& text);

class Session {
 public:
  // Starts everything; nullptr (with the reasons already reported) when the
  // adapter cannot be reached.
  static std::unique_ptr<Session> Open(const Options& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Ends the run: closes the adapter and saves the machine's state. False
  // when something could not be saved (reported).
  bool Close();

  void* adapter() const { return adapter_; }
  hx::sim::MessageRecorder& messages() { return *messages_; }
  bool simulated() const { return simulated_; }
  const Options& options() const { return options_; }

  // Waits until a message satisfying `done` has arrived after message number
  // `from`, calling `seen` for each new one; false on time-out or (unless
  // `throughInterrupts`) interrupt.
  bool WaitFor(size_t from, std::chrono::milliseconds timeout,
               const std::function<bool(const hx::sim::Message&)>& done,
               const std::function<void(const hx::sim::Message&)>& seen = {}, bool throughInterrupts = false);

 private:
  Session() = default;
  Options options_;
  bool simulated_ = false;
  bool closed_ = false;
  void* adapter_ = nullptr;
  std::unique_ptr<hx::sim::MessageRecorder> messages_;
  // An interrupt ends the waits on the recorder; gone before the recorder.
  std::unique_ptr<interrupt::Waker> waker_;
};

}  // namespace halvexctl
