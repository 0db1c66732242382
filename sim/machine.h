// The simulated machine of one state directory: the adapter's driver with its
// radio world, and the registry hive, loaded from the directory and saved to
// it. A process holds it itself (tests, embedding, Windows), or the machine's
// service holds it for every process of the directory (halvex-simd).
//
//   registry.reg[.log]  the registry hive (POSIX; on Windows a sandbox key of
//                       the directory's own)
//   access-points.json  the networks in range, user-editable; a default one
//                       is written on the first run
//   world.json          what the adapter was doing: its association, radio,
//                       counters and stored driver values
//   radius/             the built-in RADIUS server's secret, test CA, server
//                       certificate and users' client certificates
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/radio_world.h"
#include "sim/radius_link.h"
#include "sim/sim_adapter.h"

namespace hx::sim {

using Lines = std::vector<std::string>;

// State files are read whole, up to this size; a larger one is refused.
inline constexpr uintmax_t kMaxStateFile = 1u << 20;

class Machine {
 public:
  // Loads the machine of `dir` (made with its parents, owner only). Problems
  // met are added to *lines, also on success. A directory that cannot be
  // written is used read-only: nothing is written there, registry changes are
  // refused. Null when the machine cannot run. `notice` hears, as it
  // happens, that another process has the directory's files and the load
  // waits for it.
  static std::unique_ptr<Machine> Load(const std::filesystem::path& dir, Lines* lines,
                                       const std::function<void(const std::string&)>& notice = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Reads access-points.json again when it changed since it was read (people
  // edit it while the machine runs); what was wrong with it goes to *lines.
  void RefreshAccessPoints(Lines* lines);

  // Saves what the adapter is doing; false (with the reasons) when anything
  // changed could not be saved, the registry's changes included.
  bool Save(Lines* lines);

  // The built-in RADIUS server the 802.1X access points use unless they name
  // their own; none when it could not start (a read-only directory, say).
  std::optional<RadiusServerInfo> Radius() const;

  SimAdapter& adapter() const { return *adapter_; }
  const std::shared_ptr<SimAdapter>& shared_adapter() const { return adapter_; }
  const std::filesystem::path& dir() const { return dir_; }
  bool readOnly() const { return readOnly_; }

 private:
  Machine() = default;
  std::filesystem::path dir_;
  bool readOnly_ = false;
  std::filesystem::file_time_type pointsWritten_{};  // access-points.json as last read
  uintmax_t pointsSize_ = 0;
  // Replaces the running built-in server with one serving `points`.
  void StartRadius(const std::vector<AccessPoint>& points, uint16_t port, Lines* lines);
  bool radiusRunning_ = false;
  std::shared_ptr<SimAdapter> adapter_;
  struct Registry;
  std::unique_ptr<Registry> registry_;
};

// Traffic flows on the association: its network's own check (its WPA2-PSK
// handshake, its 802.1X authenticator) let the station through, or it has
// none.
bool TrafficFlows(const SimAdapter& adapter);

// A state file read whole: absent, its text, or why not. Symbolic links and
// anything but regular files are refused; so is one over kMaxStateFile.
struct StateFile {
  bool present = false;
  std::string text;
  std::string error;
  bool foreign = false;  // not a regular file of its own: not ours to move aside
};
StateFile ReadStateFile(const std::filesystem::path& path);

// Writes a state file (owner only) through a new temporary beside it and a
// rename, so a failed save leaves the previous file whole and a link planted
// at either name is never followed.
bool WriteStateFile(const std::filesystem::path& path, const std::string& text, std::string* error);

// Keeps a file that could not be used beside the others, under a name that
// says so; the problem and where it went are reported.
void SetAside(const std::filesystem::path& path, const std::string& why, Lines* lines);

}  // namespace hx::sim
