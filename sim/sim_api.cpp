// The simulated machine behind HalvexSim.h: one per process, started from a
// state directory and saved back to it.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "HalvexSeam.h"
#include "HalvexSim.h"
#include "frame/oids.h"
#include "platform/reg_file.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "sim/radius_link.h"
#include "sim/sim_adapter.h"
#include "sim/sim_registry.h"
#include "sim/world_file.h"
#include "toolkit/odsim.h"
#ifndef _WIN32
#include <sys/stat.h>

#include "platform/posix/control.h"
#endif

namespace fs = std::filesystem;

namespace hx::sim {
namespace {

using Lines = std::vector<std::string>;

int Report(const Lines& lines, char* messages, unsigned size, int result) {
  if (messages == nullptr || size == 0) return result;
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  const size_t n = std::min<size_t>(text.size(), size - 1);
  std::memcpy(messages, text.data(), n);
  messages[n] = '\0';
  return result;
}

// A file the machine reads: absent (nothing), its text, or why not.
struct ReadResult {
  bool present = false;
  std::string text;
  std::string error;
};

ReadResult ReadStateFile(const fs::path& path) {
  ReadResult result;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || status.type() == fs::file_type::not_found) return result;
  result.present = true;
  // A FIFO or device would block the read or never end.
  if (status.type() != fs::file_type::regular) {
    result.error = "not a regular file";
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
  return result;
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

// Keeps a file that could not be used beside the others, under a name that
// says so; the problem and where it went are reported.
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

// Writes through a temporary file and a rename, so a failed save leaves the
// previous file whole.
bool WriteStateFile(const fs::path& path, const std::string& text, std::string* error) {
  fs::path temporary = path;
  temporary += ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      *error = std::strerror(errno);
      return false;
    }
    out << text;
    out.flush();
    if (!out) {
      *error = "write failed";
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    *error = ec.message();
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

int Control(void* context, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
            uint32_t* returned, uint32_t* error) {
  return static_cast<SimAdapter*>(context)->Control(code, in, inLength, out, outLength, returned, error) ? 1
                                                                                                         : 0;
}

struct Machine {
  fs::path dir;
  std::shared_ptr<SimAdapter> adapter;
  std::vector<std::string> paths;  // device paths registered through the seam
  std::vector<AccessPoint> points;
#ifdef _WIN32
  platform::UniqueKey sandbox;
#endif
};

std::mutex g_lock;
std::unique_ptr<Machine> g_machine;

const std::string kSetupKey = std::string("HKEY_LOCAL_MACHINE\\") + kNtAdapterKey;

#ifdef _WIN32
// Every HKEY_LOCAL_MACHINE access of this process goes to a key of the
// machine's own; without that the machine does not start, so the real
// network class key is never written.
bool SandboxRegistry(Machine& machine, Lines* lines) {
  const char* path = "Software\\Halvex\\Simulation\\HKEY_LOCAL_MACHINE";
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, machine.sandbox.put(),
                      nullptr) != ERROR_SUCCESS) {
    lines->push_back(std::string("the registry sandbox HKEY_CURRENT_USER\\") + path + " cannot be opened");
    return false;
  }
  const DWORD mark = 1;
  const char* probe = "HalvexSimulationSandbox";
  if (RegSetValueExA(machine.sandbox.get(), probe, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mark),
                     sizeof mark) != ERROR_SUCCESS ||
      RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine.sandbox.get()) != ERROR_SUCCESS) {
    lines->push_back("the registry cannot be sandboxed; the simulated adapter is not installed");
    return false;
  }
  DWORD seen = 0, size = sizeof seen;
  if (RegQueryValueExA(HKEY_LOCAL_MACHINE, probe, nullptr, nullptr, reinterpret_cast<BYTE*>(&seen), &size) !=
          ERROR_SUCCESS ||
      seen != mark) {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    lines->push_back("the registry sandbox did not take effect; the simulated adapter is not installed");
    return false;
  }
  return true;
}
#endif

bool OpenRegistry(Machine& machine, Lines* lines) {
#ifdef _WIN32
  return SandboxRegistry(machine, lines);
#else
  const fs::path file = machine.dir / "registry.reg";
  const posix::RegistryFileStatus status = posix::UseRegistryFile(file.string());
  for (const std::string& problem : status.problems) lines->push_back(problem);
  if (!status) return false;
  // Windows' own wireless configuration service runs, but leaves this adapter alone.
  posix::SetService("WZCSVC", SERVICE_RUNNING);
  return true;
#endif
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

std::vector<AccessPoint> LoadAccessPoints(const fs::path& dir, Lines* lines, bool* ok) {
  const fs::path path = dir / "access-points.json";
  ReadResult file = ReadStateFile(path);
  if (file.present && file.error.empty()) {
    std::string error;
    if (auto points = ParseAccessPoints(file.text, &error)) return *points;
    SetAside(path, error, lines);
  } else if (file.present) {
    if (file.error == "not a regular file") {
      // Not ours to move: refuse, and leave it where it is.
      lines->push_back(path.string() + ": not a regular file");
      *ok = false;
      return {};
    }
    SetAside(path, file.error, lines);
  }
  const std::string text = DefaultAccessPointsText();
  std::string error;
  if (!WriteStateFile(path, text, &error)) {
    lines->push_back(path.string() + ": cannot be written: " + error);
    *ok = false;
  }
  std::string ignored;
  return *ParseAccessPoints(text, &ignored);
}

WorldState LoadWorldState(const fs::path& dir, Lines* lines, bool* ok) {
  const fs::path path = dir / "world.json";
  ReadResult file = ReadStateFile(path);
  if (!file.present) return {};
  if (file.error == "not a regular file") {
    lines->push_back(path.string() + ": not a regular file");
    *ok = false;
    return {};
  }
  std::string error = file.error;
  if (error.empty()) {
    if (auto state = ParseWorldState(file.text, &error)) return *state;
  }
  SetAside(path, error, lines);
  return {};
}

RadioWorld BuildWorld(const std::vector<AccessPoint>& points, const WorldState& state) {
  RadioWorld world;
  world.accessPoints = points;
  world.counters = {1200, 40, 3, 25, 5, 10, 1, 2, 4, 1500, 60, 7};
  world.beaconsReceived = 980;
  world.beaconsMissed = 20;
  world.station.radioOn = state.radioOn;
  if (state.associated && state.radioOn) {
    for (size_t i = 0; i < points.size(); ++i) {
      if (points[i].ssid == *state.associated) world.current = i;
    }
  }
  return world;
}

bool Register(Machine& machine, const std::string& path, Lines* lines) {
  if (HalvexSeamRegisterDevice(path.c_str(), Control, machine.adapter.get()) != 0) {
    lines->push_back("the simulated adapter could not be registered as " + path);
    return false;
  }
  machine.paths.push_back(path);
  return true;
}

void Withdraw(Machine& machine) {
  for (const std::string& path : machine.paths) HalvexSeamUnregisterDevice(path.c_str());
  machine.paths.clear();
}

bool SaveWorld(const Machine& machine, Lines* lines) {
  const RadioWorld world = machine.adapter->World();
  WorldState state;
  if (world.current && *world.current < world.accessPoints.size())
    state.associated = world.accessPoints[*world.current].ssid;
  state.radioOn = world.station.radioOn;
  state.values = machine.adapter->Values();
  const fs::path path = machine.dir / "world.json";
  std::string error;
  if (!WriteStateFile(path, WorldStateText(state), &error)) {
    lines->push_back(path.string() + ": cannot be saved: " + error);
    return false;
  }
  return true;
}

int Start(const char* stateDir, Lines* lines) {
  if (stateDir == nullptr || *stateDir == '\0') {
    lines->push_back("no state directory given");
    return HALVEXSIM_FAILED;
  }
  if (g_machine) {
    lines->push_back("the simulated machine is already running");
    return HALVEXSIM_FAILED;
  }
  auto machine = std::make_unique<Machine>();
  machine->dir = fs::absolute(fs::path(stateDir));
  std::error_code ec;
  fs::create_directories(machine->dir, ec);
  if (ec || !fs::is_directory(machine->dir)) {
    lines->push_back(machine->dir.string() +
                     ": cannot be created: " + (ec ? ec.message() : std::string("not a directory")));
    return HALVEXSIM_FAILED;
  }
  bool ok = true;
  machine->points = LoadAccessPoints(machine->dir, lines, &ok);
  const WorldState state = LoadWorldState(machine->dir, lines, &ok);
  if (!ok || !OpenRegistry(*machine, lines) || !InstallSetup(lines)) return HALVEXSIM_FAILED;

  // The 802.1X access points' RADIUS server, unless they name their own.
  if (std::string problem; !StartBuiltinRadius(machine->dir, machine->points, &problem))
    lines->push_back("the built-in RADIUS server did not start: " + problem);
  machine->adapter = SimAdapter::Create();
  for (const auto& [oid, value] : state.values) machine->adapter->SetValue(oid, value);
  machine->adapter->SetWorld(BuildWorld(machine->points, state));
  // The stand-in toolkit plays the supplicant's side of 802.1X.
  ODSIM_EnableSupplicant(1);
  if (!Register(*machine, kDevicePath, lines) ||
      !Register(*machine, std::string("\\\\.\\") + kInstanceId, lines)) {
    Withdraw(*machine);
    return HALVEXSIM_FAILED;
  }
  g_machine = std::move(machine);
  return HALVEXSIM_OK;
}

int Stop(Lines* lines) {
  if (!g_machine) {
    lines->push_back("the simulated machine is not running");
    return HALVEXSIM_FAILED;
  }
  std::unique_ptr<Machine> machine = std::move(g_machine);
  bool ok = SaveWorld(*machine, lines);
#ifndef _WIN32
  // A setting whose registry write did not reach the file is lost at exit.
  if (const auto error = posix::RegistryPersistError()) {
    lines->push_back(*error);
    ok = false;
  }
#endif
  machine->adapter->StopCapture();
  Withdraw(*machine);
  StopBuiltinRadius();
#ifdef _WIN32
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
#endif
  return ok ? HALVEXSIM_OK : HALVEXSIM_FAILED;
}

const char* CodeName(uint32_t code) {
  switch (code) {
    case IOCTL_OID_QUERY:
      return "query";
    case IOCTL_OID_SET:
      return "set";
    case IOCTL_REGISTER_EVENT:
      return "register event";
    case IOCTL_REGISTER_EXIT_EVENT:
      return "register exit event";
    default:
      return "control";
  }
}

std::string RequestLog(const SimAdapter& adapter) {
  std::string text;
  char line[160];
  for (const ControlCall& call : adapter.Calls()) {
    std::snprintf(line, sizeof line, "%-19s in %5u out %5u", CodeName(call.code), call.inLength,
                  call.outLength);
    text += line;
    const bool oid = call.code == IOCTL_OID_QUERY || call.code == IOCTL_OID_SET;
    const Bytes shown = oid ? call.Payload() : call.input;
    if (oid) {
      std::snprintf(line, sizeof line, "  OID 0x%08X", call.Oid());
      text += line;
    }
    text += shown.empty() ? "" : " ";
    for (size_t i = 0; i < shown.size() && i < 16; ++i) {
      std::snprintf(line, sizeof line, " %02X", shown[i]);
      text += line;
    }
    if (shown.size() > 16) text += " ...";
    text += "\n";
  }
  return text;
}

// "HKEY_LOCAL_MACHINE\path" as a root and a path below it.
bool SplitKey(const std::string& full, HKEY* root, std::string* path) {
  static const std::pair<const char*, HKEY> kRoots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                                                        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                                        {"HKEY_USERS", HKEY_USERS}};
  for (const auto& [name, handle] : kRoots) {
    const std::string prefix = std::string(name) + "\\";
    if (full.compare(0, prefix.size(), prefix) == 0 && full.size() > prefix.size()) {
      *root = handle;
      *path = full.substr(prefix.size());
      return true;
    }
  }
  return false;
}

template <typename Body>
int Guarded(char* messages, unsigned size, Body body) {
  Lines lines;
  int result = HALVEXSIM_FAILED;
  try {
    std::lock_guard lock(g_lock);
    result = body(&lines);
  } catch (const std::exception& e) {
    lines.push_back(e.what());
    result = HALVEXSIM_FAILED;
  }
  return Report(lines, messages, size, result);
}

}  // namespace
}  // namespace hx::sim

using namespace hx::sim;

extern "C" int HalvexSimStart(const char* stateDir, char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) { return Start(stateDir, lines); });
}

extern "C" int HalvexSimStop(char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) { return Stop(lines); });
}

extern "C" int HalvexSimCapture(const char* path, char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) {
    if (!g_machine || path == nullptr) {
      lines->push_back("the simulated machine is not running");
      return HALVEXSIM_FAILED;
    }
    std::string error;
    if (!g_machine->adapter->StartCapture(path, &error)) {
      lines->push_back(std::string(path) + ": " + error);
      return HALVEXSIM_FAILED;
    }
    return HALVEXSIM_OK;
  });
}

extern "C" unsigned HalvexSimRequestLog(char* buffer, unsigned size) {
  try {
    std::lock_guard lock(g_lock);
    const std::string text = g_machine ? RequestLog(*g_machine->adapter) : std::string();
    if (buffer != nullptr && size > 0) {
      const size_t n = std::min<size_t>(text.size(), size - 1);
      std::memcpy(buffer, text.data(), n);
      buffer[n] = '\0';
    }
    return static_cast<unsigned>(text.size() + 1);
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" int HalvexSimExportRegistry(const char* key, const char* path, char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) {
    HKEY root = nullptr;
    std::string below;
    if (key == nullptr || path == nullptr || !SplitKey(key, &root, &below)) {
      lines->push_back(std::string("not a registry key path: ") + (key ? key : "(none)"));
      return HALVEXSIM_FAILED;
    }
    bool complete = true;
    const std::string text = hx::platform::ExportRegText(root, below.c_str(), &complete);
    if (text.empty()) {
      lines->push_back(std::string(key) + ": not found");
      return HALVEXSIM_FAILED;
    }
    if (!complete) lines->push_back(std::string(key) + ": not found or not fully readable");
    std::string error;
    if (!WriteStateFile(path, text, &error)) {
      lines->push_back(std::string(path) + ": cannot be written: " + error);
      return HALVEXSIM_FAILED;
    }
    return complete ? HALVEXSIM_OK : HALVEXSIM_FAILED;
  });
}

extern "C" int HalvexSimImportRegistry(const char* path, char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) {
    if (path == nullptr) return HALVEXSIM_FAILED;
    const ReadResult file = ReadStateFile(path);
    if (!file.present || !file.error.empty()) {
      lines->push_back(std::string(path) + ": " + (file.present ? file.error : std::string("not found")));
      return HALVEXSIM_FAILED;
    }
    std::string error;
    if (hx::platform::ImportRegText(file.text, &error) != ERROR_SUCCESS) {
      lines->push_back(std::string(path) + ": " + error);
      return HALVEXSIM_FAILED;
    }
    return HALVEXSIM_OK;
  });
}

extern "C" int HalvexSimPortOpen(void) {
  try {
    std::lock_guard lock(g_lock);
    if (!g_machine) return 0;
    const RadioWorld world = g_machine->adapter->World();
    if (!world.current || *world.current >= world.accessPoints.size()) return 0;
    const AccessPoint& ap = world.accessPoints[*world.current];
    // Traffic flows once the network's own check let the station through.
    if (ap.passphrase || ap.enterprise) return g_machine->adapter->PortOpen() ? 1 : 0;
    return 1;
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" int HalvexSimRadiusServer(char* address, unsigned addressSize, char* secret, unsigned secretSize,
                                     char* caCertificate, unsigned caSize) {
  try {
    const std::optional<RadiusServerInfo> info = BuiltinRadiusInfo();
    const auto copy = [](const std::string& text, char* to, unsigned size) {
      if (to == nullptr || size == 0) return;
      const size_t n = std::min<size_t>(text.size(), size - 1);
      std::memcpy(to, text.data(), n);
      to[n] = '\0';
    };
    copy(info ? info->address : "", address, addressSize);
    copy(info ? info->secret : "", secret, secretSize);
    copy(info ? info->caCertificate : "", caCertificate, caSize);
    return info ? HALVEXSIM_OK : HALVEXSIM_FAILED;
  } catch (const std::exception&) {
    return HALVEXSIM_FAILED;
  }
}
