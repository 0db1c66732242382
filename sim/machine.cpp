#include "sim/machine.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>
#include <tuple>
#include <utility>

#include "platform/reg_file.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "sim/sim_registry.h"
#include "sim/world_file.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/control.h"
#include "platform/posix/fd.h"
#endif

namespace fs = std::filesystem;

namespace hx::sim {
namespace {

// When and how large a file was last written, to see it change.
std::pair<fs::file_time_type, uintmax_t> WrittenStamp(const fs::path& path) {
  std::error_code ec;
  const fs::file_time_type written = fs::last_write_time(path, ec);
  const uintmax_t size = ec ? 0 : fs::file_size(path, ec);
  return {ec ? fs::file_time_type{} : written, ec ? 0 : size};
}

std::string Stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &now);
#else
  gmtime_r(&now, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

#ifndef _WIN32
using posix::Fd;
using posix::WriteAll;
#endif

bool Writable(const fs::path& dir) {
#ifdef _WIN32
  const fs::path probe = dir / ".write-probe";
  HANDLE file = CreateFileA(probe.string().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
#else
  return ::access(dir.c_str(), W_OK) == 0;
#endif
}

std::vector<AccessPoint> LoadAccessPoints(const fs::path& dir, bool readOnly, Lines* lines, bool* ok) {
  const fs::path path = dir / "access-points.json";
  StateFile file = ReadStateFile(path);
  if (file.present && file.error.empty()) {
    std::string error;
    if (auto points = ParseAccessPoints(file.text, &error)) return *points;
    if (readOnly)
      lines->push_back(path.string() + ": " + error + "; the default networks are used");
    else
      SetAside(path, error, lines);
  } else if (file.foreign) {
    // Not ours to move: refuse, and leave it where it is.
    lines->push_back(path.string() + ": " + file.error);
    *ok = false;
    return {};
  } else if (file.present && readOnly) {
    lines->push_back(path.string() + ": " + file.error + "; the default networks are used");
  } else if (file.present) {
    SetAside(path, file.error, lines);
  }
  const std::string text = DefaultAccessPointsText();
  std::string error;
  if (!readOnly && !WriteStateFile(path, text, &error)) {
    lines->push_back(path.string() + ": cannot be written: " + error);
    *ok = false;
  }
  std::string ignored;
  return *ParseAccessPoints(text, &ignored);
}

WorldState LoadWorldState(const fs::path& dir, bool readOnly, Lines* lines, bool* ok) {
  const fs::path path = dir / "world.json";
  StateFile file = ReadStateFile(path);
  if (!file.present) return {};
  if (file.foreign) {
    lines->push_back(path.string() + ": " + file.error);
    *ok = false;
    return {};
  }
  std::string error = file.error;
  if (error.empty()) {
    if (auto state = ParseWorldState(file.text, &error)) return *state;
  }
  if (readOnly)
    lines->push_back(path.string() + ": " + error + "; the adapter starts afresh");
  else
    SetAside(path, error, lines);
  return {};
}

RadioWorld BuildWorld(const std::vector<AccessPoint>& points, const WorldState& state) {
  RadioWorld world;
  world.accessPoints = points;
  world.counters =
      state.counters.value_or(std::array<uint64_t, 12>{1200, 40, 3, 25, 5, 10, 1, 2, 4, 1500, 60, 7});
  world.beaconsReceived = 980;
  world.beaconsMissed = 20;
  world.station.radioOn = state.radioOn;
  if (state.channel) world.station.channel = *state.channel;
  if (state.associated && state.radioOn) {
    for (size_t i = 0; i < points.size(); ++i) {
      if (points[i].ssid == *state.associated) world.current = i;
    }
  }
  return world;
}

// The registry as the driver's installation leaves it, unless an earlier
// run left its own state there.
bool InstallSetup(Lines* lines) {
  platform::UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNtAdapterKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS) return true;
  std::string error;
  if (platform::ImportRegText(RegistrySetup(Family::kNt), &error) != ERROR_SUCCESS) {
    lines->push_back("the adapter's registry setup could not be written: " + error);
    return false;
  }
  return true;
}

#ifdef _WIN32
// A name for the directory's own registry sandbox: FNV-1a of its path, with
// case folded as Windows folds paths.
std::string SandboxName(const fs::path& dir) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : dir.string()) {
    const char folded = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : (c == '/' ? '\\' : c);
    hash = (hash ^ static_cast<uint8_t>(folded)) * 0x100000001b3ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}
#endif

}  // namespace

struct Machine::Registry {
#ifdef _WIN32
  platform::UniqueKey sandbox;

  // Every HKEY_LOCAL_MACHINE access of this process goes to a key of the
  // directory's own; without that the machine does not start, so the real
  // network class key is never written.
  bool Open(const fs::path& dir, Lines* lines) {
    const std::string path = "Software\\Halvex\\Simulation\\" + SandboxName(dir) + "\\HKEY_LOCAL_MACHINE";
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        sandbox.put(), nullptr) != ERROR_SUCCESS) {
      lines->push_back("the registry sandbox HKEY_CURRENT_USER\\" + path + " cannot be opened");
      return false;
    }
    const DWORD mark = 1;
    const char* probe = "HalvexSimulationSandbox";
    if (RegSetValueExA(sandbox.get(), probe, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mark),
                       sizeof mark) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, sandbox.get()) != ERROR_SUCCESS) {
      lines->push_back("the registry cannot be sandboxed; the simulated adapter is not installed");
      return false;
    }
    DWORD seen = 0, size = sizeof seen;
    if (RegQueryValueExA(HKEY_LOCAL_MACHINE, probe, nullptr, nullptr, reinterpret_cast<BYTE*>(&seen),
                         &size) != ERROR_SUCCESS ||
        seen != mark) {
      RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
      lines->push_back("the registry sandbox did not take effect; the simulated adapter is not installed");
      return false;
    }
    return true;
  }
  ~Registry() {
    if (sandbox) RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  }
#else
  bool Open(const fs::path& dir, bool readOnly, Lines* lines,
            const std::function<void(const std::string&)>& notice) {
    posix::RegistryFileOptions options;
    options.readOnly = readOnly;
    options.waiting = [&](long holder) {
      if (notice)
        notice((dir / "registry.reg").string() + " is in use by " +
               (holder > 0 ? "process " + std::to_string(holder) : std::string("another process")) +
               "; waiting");
    };
    const posix::RegistryFileStatus status = posix::UseRegistryFile((dir / "registry.reg").string(), options);
    for (const std::string& problem : status.problems) lines->push_back(problem);
    if (!status) return false;
    // Windows' own wireless configuration service runs, but leaves this
    // adapter alone.
    posix::SetService("WZCSVC", SERVICE_RUNNING);
    opened = true;
    return true;
  }
  ~Registry() {
    // Folds the journal in and lets the files (and their lock) go.
    if (opened) posix::ResetRegistry();
  }
  bool opened = false;
#endif
};

std::unique_ptr<Machine> Machine::Load(const fs::path& where, Lines* lines,
                                       const std::function<void(const std::string&)>& notice) {
  std::unique_ptr<Machine> machine(new Machine);
  machine->dir_ = fs::absolute(where);
  std::error_code ec;
  const bool made = fs::create_directories(machine->dir_, ec);
  if (ec || !fs::is_directory(machine->dir_)) {
    lines->push_back(machine->dir_.string() +
                     ": cannot be created: " + (ec ? ec.message() : std::string("not a directory")));
    return nullptr;
  }
#ifndef _WIN32
  // What the machine keeps (pass phrases, keys, its socket) is its user's
  // alone, in a directory that is its own.
  (void)made;
  struct stat info {};
  if (::stat(machine->dir_.c_str(), &info) == 0 && info.st_uid == ::getuid() && (info.st_mode & 077) != 0)
    ::chmod(machine->dir_.c_str(), 0700);
#else
  (void)made;
#endif
  machine->readOnly_ = !Writable(machine->dir_);
  if (machine->readOnly_)
    lines->push_back(machine->dir_.string() + ": cannot be written; the machine runs read-only");
  bool ok = true;
  const std::vector<AccessPoint> points = LoadAccessPoints(machine->dir_, machine->readOnly_, lines, &ok);
  const WorldState state = LoadWorldState(machine->dir_, machine->readOnly_, lines, &ok);
  if (!ok) return nullptr;
  machine->registry_ = std::make_unique<Registry>();
#ifdef _WIN32
  (void)notice;
  if (!machine->registry_->Open(machine->dir_, lines)) return nullptr;
#else
  if (!machine->registry_->Open(machine->dir_, machine->readOnly_, lines, notice)) return nullptr;
#endif
  if (!InstallSetup(lines) && !machine->readOnly_) return nullptr;

  std::tie(machine->pointsWritten_, machine->pointsSize_) =
      WrittenStamp(machine->dir_ / "access-points.json");
  machine->StartRadius(points, 0, lines);
  machine->adapter_ = SimAdapter::Create();
  for (const auto& [oid, value] : state.values) machine->adapter_->SetValue(oid, value);
  machine->adapter_->SetWorld(BuildWorld(points, state));
  return machine;
}

Machine::~Machine() {
  if (adapter_) adapter_->StopCapture();
  if (radiusRunning_) StopBuiltinRadius();
}

void Machine::StartRadius(const std::vector<AccessPoint>& points, uint16_t port, Lines* lines) {
  if (radiusRunning_) StopBuiltinRadius();
  std::string problem;
  radiusRunning_ = StartBuiltinRadius(dir_, points, &problem, port);
  if (!radiusRunning_) lines->push_back("the built-in RADIUS server did not start: " + problem);
}

std::optional<RadiusServerInfo> Machine::Radius() const {
  return radiusRunning_ ? BuiltinRadiusInfo() : std::nullopt;
}

void Machine::RefreshAccessPoints(Lines* lines) {
  const fs::path path = dir_ / "access-points.json";
  if (WrittenStamp(path) == std::pair(pointsWritten_, pointsSize_)) return;
  bool ok = true;
  std::vector<AccessPoint> points = LoadAccessPoints(dir_, readOnly_, lines, &ok);
  std::tie(pointsWritten_, pointsSize_) = WrittenStamp(path);
  if (!ok) return;
  // The built-in server learns the edited users, where it listened before.
  uint16_t port = 0;
  if (const auto info = Radius()) {
    const size_t colon = info->address.rfind(':');
    if (colon != std::string::npos)
      port = static_cast<uint16_t>(std::atoi(info->address.c_str() + colon + 1));
  }
  StartRadius(points, port, lines);
  adapter_->ReplaceAccessPoints(std::move(points));
}

bool Machine::Save(Lines* lines) {
  bool ok = true;
  if (!readOnly_) {
    const RadioWorld world = adapter_->World();
    WorldState state;
    if (world.current && *world.current < world.accessPoints.size())
      state.associated = world.accessPoints[*world.current].ssid;
    state.radioOn = world.station.radioOn;
    state.counters = world.counters;
    state.channel = world.station.channel;
    state.values = adapter_->Values();
    const fs::path path = dir_ / "world.json";
    std::string error;
    if (!WriteStateFile(path, WorldStateText(state), &error)) {
      lines->push_back(path.string() + ": cannot be saved: " + error);
      ok = false;
    }
  }
#ifndef _WIN32
  // A setting whose registry write did not reach the file is lost at exit.
  if (const auto error = posix::RegistryPersistError()) {
    lines->push_back(*error);
    ok = false;
  }
#endif
  return ok;
}

bool TrafficFlows(const SimAdapter& adapter) {
  const RadioWorld world = adapter.World();
  if (!world.current || *world.current >= world.accessPoints.size()) return false;
  const AccessPoint& ap = world.accessPoints[*world.current];
  // Both end in the 4-way handshake (802.1X's on the RADIUS server's PMK).
  if (ap.passphrase || ap.enterprise) return adapter.PortOpen();
  return true;
}

StateFile ReadStateFile(const fs::path& path) {
  StateFile result;
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec || status.type() == fs::file_type::not_found) return result;
  result.present = true;
  if (status.type() == fs::file_type::symlink) {
    result.error = "is a symbolic link; not followed";
    result.foreign = true;
    return result;
  }
  // A FIFO or device would block the read or never end.
  if (status.type() != fs::file_type::regular) {
    result.error = "not a regular file";
    result.foreign = true;
    return result;
  }
  const uintmax_t size = fs::file_size(path, ec);
  if (!ec && size > kMaxStateFile) {
    result.error = "is " + std::to_string(size) + " bytes; a state file has at most " +
                   std::to_string(kMaxStateFile) + "; not read";
    return result;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    result.error = std::strerror(errno);
    return result;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) result.error = "read error";
  result.text = text.str();
  if (result.text.size() > kMaxStateFile)
    result.error = "grew past " + std::to_string(kMaxStateFile) + " bytes";
  return result;
}

bool WriteStateFile(const fs::path& path, const std::string& text, std::string* error) {
#ifdef _WIN32
  static std::atomic<unsigned> serial{0};
  const fs::path temporary =
      path.string() + ".new-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++);
  HANDLE file = CreateFileA(temporary.string().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot create " + temporary.string();
    return false;
  }
  DWORD written = 0;
  const bool wrote = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                     written == text.size() && FlushFileBuffers(file);
  CloseHandle(file);
  if (!wrote || !MoveFileExA(temporary.string().c_str(), path.string().c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = wrote ? "cannot replace " + path.string() : "write failed";
    DeleteFileA(temporary.string().c_str());
    return false;
  }
  return true;
#else
  // A name of its own (mkstemp: created exclusively, owner only), so no other
  // writer's temporary is touched and no link at the name is followed.
  std::string temporary = path.string() + ".XXXXXX";
  Fd fd(::mkstemp(temporary.data()));
  if (fd.get() < 0) {
    *error = std::string("cannot create a file beside it: ") + std::strerror(errno);
    return false;
  }
  bool ok = WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  const int writeErrno = errno;
  ok = fd.Close() && ok;
  if (!ok) {
    *error = std::string("write failed: ") + std::strerror(writeErrno);
  } else if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(temporary.c_str());
  return ok;
#endif
}

void SetAside(const fs::path& path, const std::string& why, Lines* lines) {
  fs::path aside = path;
  aside += ".damaged-" + Stamp();
  std::error_code ec;
  fs::rename(path, aside, ec);
  if (ec) {
    lines->push_back(path.string() + ": " + why + "; could not be moved aside: " + ec.message());
  } else {
    lines->push_back(path.string() + ": " + why + "; kept as " + aside.string());
  }
}

}  // namespace hx::sim
