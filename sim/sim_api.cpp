// The simulated machine behind HalvexSim.h: held in this process, or by the
// machine's service of the state directory (POSIX).
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HalvexSeam.h"
#include "HalvexSim.h"
#include "platform/reg_file.h"
#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/radius_link.h"
#include "sim/sim_adapter.h"
#include "sim/sim_registry.h"
#include "toolkit/odsim.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sim/client.h"
#include "sim/service.h"
#endif

namespace fs = std::filesystem;

namespace hx::sim {
namespace {

int Report(const Lines& lines, char* messages, unsigned size, int result) {
  if (messages == nullptr || size == 0) return result;
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  const size_t n = std::min<size_t>(text.size(), size - 1);
  std::memcpy(messages, text.data(), n);
  messages[n] = '\0';
  return result;
}

std::atomic<HalvexSimNotice> g_notice{nullptr};

void Notice(const std::string& line) {
  if (HalvexSimNotice notice = g_notice.load()) notice(line.c_str());
}

// ---- the machine in this process ------------------------------------------------------------

// A handle of this process on the machine's adapter, as the seam hands it out.
using PortHolder = std::shared_ptr<platform::Device>;

void* OpenPort(void* context) {
  return new PortHolder(static_cast<SimAdapter*>(context)->OpenPort());
}
int ControlPort(void* handle, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                uint32_t* returned, uint32_t* error) {
  return (*static_cast<PortHolder*>(handle))->Control(code, in, inLength, out, outLength, returned, error)
             ? 1
             : 0;
}
void ClosePort(void*, void* handle) {
  delete static_cast<PortHolder*>(handle);
}

#ifdef _WIN32
// Processes on one state directory take turns: a lock file held for as
// long as the machine runs here, naming its holder.
class DirectoryLock {
 public:
  bool Acquire(const fs::path& dir, Lines* lines) {
    const fs::path path = dir / "machine.lock";
    file_ =
        CreateFileA(path.string().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
      lines->push_back(path.string() + " cannot be opened");
      return false;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
      char text[32] = {};
      DWORD read = 0;
      OVERLAPPED start{};
      ReadFile(file_, text, sizeof text - 1, &read, &start);
      const long holder = std::strtol(text, nullptr, 10);
      Notice("state directory in use by process " + (holder > 0 ? std::to_string(holder) : std::string("?")) +
             " \xE2\x80\x94 waiting");
      if (!LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
        lines->push_back(path.string() + " cannot be locked");
        return false;
      }
    }
    const std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
    DWORD written = 0;
    SetFilePointer(file_, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(file_);
    WriteFile(file_, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    return true;
  }
  ~DirectoryLock() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);  // the lock goes with it
  }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};
#endif

struct Session {
  std::unique_ptr<Machine> machine;  // in this process
  std::vector<std::string> paths;    // its adapter's paths in the seam
#ifdef _WIN32
  DirectoryLock lock;
#else
  std::unique_ptr<ServiceClient> client;  // the service's
#endif
};

std::mutex g_lock;
std::unique_ptr<Session> g_session;

const std::string kInstancePath = std::string("\\\\.\\") + kInstanceId;

void Withdraw(Session& session) {
  for (const std::string& path : session.paths) HalvexSeamUnregisterDevice(path.c_str());
  session.paths.clear();
}

int StartInProcess(const char* stateDir, Lines* lines) {
  auto session = std::make_unique<Session>();
  const fs::path dir = fs::absolute(stateDir);
#ifdef _WIN32
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!session->lock.Acquire(dir, lines)) return HALVEXSIM_FAILED;
#endif
  session->machine = Machine::Load(dir, lines, Notice);
  if (!session->machine) return HALVEXSIM_FAILED;
  for (const std::string& path : {std::string(kDevicePath), kInstancePath}) {
    if (HalvexSeamRegisterHandleDevice(path.c_str(), OpenPort, ControlPort, ClosePort,
                                       &session->machine->adapter()) != 0) {
      lines->push_back("the simulated adapter could not be registered as " + path);
      Withdraw(*session);
      return HALVEXSIM_FAILED;
    }
    session->paths.push_back(path);
  }
  // The stand-in toolkit plays the supplicant's side of 802.1X and WPA.
  ODSIM_EnableSupplicant(1);
  g_session = std::move(session);
  return HALVEXSIM_OK;
}

int Start(const char* stateDir, bool inProcess, Lines* lines) {
  if (stateDir == nullptr || *stateDir == '\0') {
    lines->push_back("no state directory given");
    return HALVEXSIM_FAILED;
  }
  if (g_session) {
    lines->push_back("the simulated machine is already running");
    return HALVEXSIM_FAILED;
  }
#ifdef _WIN32
  (void)inProcess;
  return StartInProcess(stateDir, lines);
#else
  if (inProcess) return StartInProcess(stateDir, lines);
  auto session = std::make_unique<Session>();
  // A directory that cannot be written can hold no new service (nor its
  // socket): without one running, its machine runs here, read-only, so
  // that reading still works.
  session->client = ServiceClient::Connect(stateDir, false, lines);
  std::error_code ec;
  if (!session->client && lines->empty() && fs::is_directory(stateDir, ec) && ::access(stateDir, W_OK) != 0)
    return StartInProcess(stateDir, lines);
  if (!session->client && lines->empty()) session->client = ServiceClient::Connect(stateDir, true, lines);
  if (!session->client || !session->client->Attach(lines)) return HALVEXSIM_FAILED;
  ODSIM_EnableSupplicant(1);
  g_session = std::move(session);
  return HALVEXSIM_OK;
#endif
}

int Stop(Lines* lines) {
  if (!g_session) {
    lines->push_back("the simulated machine is not running");
    return HALVEXSIM_FAILED;
  }
  std::unique_ptr<Session> session = std::move(g_session);
  bool ok = true;
  if (session->machine) {
    ok = session->machine->Save(lines);
    session->machine->adapter().StopCapture();
    Withdraw(*session);
  }
#ifndef _WIN32
  if (session->client) {
    std::string ignored;
    session->client->Capture(nullptr, &ignored);
    ok = session->client->Save(lines) && ok;
    session->client->Detach();
  }
#endif
  return ok ? HALVEXSIM_OK : HALVEXSIM_FAILED;
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

}  // namespace
}  // namespace hx::sim

using namespace hx::sim;

extern "C" int HalvexSimStart(const char* stateDir, char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) { return Start(stateDir, false, lines); });
}

extern "C" int HalvexSimStartInProcess(const char* stateDir, char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) { return Start(stateDir, true, lines); });
}

extern "C" int HalvexSimStop(char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) { return Stop(lines); });
}

extern "C" void HalvexSimSetNotice(HalvexSimNotice notice) {
  g_notice.store(notice);
}

extern "C" int HalvexSimCapture(const char* path, char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) {
    if (!g_session || path == nullptr) {
      lines->push_back("the simulated machine is not running");
      return HALVEXSIM_FAILED;
    }
    std::string error;
    bool ok = false;
    if (g_session->machine) {
      ok = g_session->machine->adapter().StartCapture(path, &error);
    }
#ifndef _WIN32
    else {
      // The service writes it: the path as this process means it.
      const std::string absolute = fs::absolute(path).string();
      ok = g_session->client->Capture(&absolute, &error);
    }
#endif
    if (!ok) lines->push_back(std::string(path) + ": " + error);
    return ok ? HALVEXSIM_OK : HALVEXSIM_FAILED;
  });
}

extern "C" unsigned HalvexSimRequestLog(char* buffer, unsigned size) {
  try {
    std::lock_guard lock(g_lock);
    std::string text;
    if (g_session && g_session->machine) text = RequestLogText(g_session->machine->adapter().Calls());
#ifndef _WIN32
    if (g_session && g_session->client) text = g_session->client->RequestLog();
#endif
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
    const StateFile file = ReadStateFile(path);
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
    if (!g_session) return 0;
    if (g_session->machine) return TrafficFlows(g_session->machine->adapter()) ? 1 : 0;
#ifndef _WIN32
    return g_session->client->PortOpen() ? 1 : 0;
#else
    return 0;
#endif
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" int HalvexSimServiceStatus(const char* stateDir, char* text, unsigned size) {
  return Guarded(text, size, [&](Lines* lines) {
#ifdef _WIN32
    lines->push_back("the machine's service runs on POSIX hosts; on Windows the machine is in each process");
    return HALVEXSIM_FAILED;
#else
    if (stateDir == nullptr) return HALVEXSIM_FAILED;
    Lines ignored;
    std::unique_ptr<ServiceClient> client = ServiceClient::Connect(stateDir, false, &ignored);
    const std::optional<std::string> status = client ? client->Status() : std::nullopt;
    if (!status) {
      lines->push_back("no machine's service runs for " + fs::absolute(stateDir).string());
      return HALVEXSIM_FAILED;
    }
    lines->push_back(*status);
    return HALVEXSIM_OK;
#endif
  });
}

extern "C" int HalvexSimServiceStop(const char* stateDir, char* messages, unsigned size) {
  return Guarded(messages, size, [&](Lines* lines) {
#ifdef _WIN32
    (void)stateDir;
    return HALVEXSIM_OK;
#else
    if (stateDir == nullptr) return HALVEXSIM_FAILED;
    Lines ignored;
    std::unique_ptr<ServiceClient> client = ServiceClient::Connect(stateDir, false, &ignored);
    if (!client) return HALVEXSIM_OK;
    client->Stop();
    client.reset();
    // Ended once its lock is free: it holds the lock for its life.
    const fs::path lockPath = fs::absolute(stateDir) / kServiceLock;
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (lock < 0) return HALVEXSIM_OK;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool ended = false;
    while (!(ended = ::flock(lock, LOCK_EX | LOCK_NB) == 0) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::close(lock);
    if (!ended) lines->push_back("the machine's service of " + fs::absolute(stateDir).string() + " did not end");
    return ended ? HALVEXSIM_OK : HALVEXSIM_FAILED;
#endif
  });
}

extern "C" int HalvexSimRadiusServer(char* address, unsigned addressSize, char* secret, unsigned secretSize,
                                     char* caCertificate, unsigned caSize) {
  try {
    std::optional<RadiusServerInfo> info;
    {
      std::lock_guard lock(g_lock);
      if (g_session && g_session->machine) info = g_session->machine->Radius();
#ifndef _WIN32
      else if (g_session)
        info = g_session->client->Radius();
#endif
    }
    // A cut address or path would lead a peer astray: all of each or nothing.
    const auto fits = [](const std::string& text, const char* to, unsigned size) {
      return to == nullptr || text.size() < size;
    };
    if (info && !(fits(info->address, address, addressSize) && fits(info->secret, secret, secretSize) &&
                  fits(info->caCertificate, caCertificate, caSize)))
      info.reset();
    const auto copy = [](const std::string& text, char* to, unsigned size) {
      if (to == nullptr || size == 0) return;
      std::memcpy(to, text.data(), text.size());
      to[text.size()] = '\0';
    };
    copy(info ? info->address : "", address, addressSize);
    copy(info ? info->secret : "", secret, secretSize);
    copy(info ? info->caCertificate : "", caCertificate, caSize);
    return info ? HALVEXSIM_OK : HALVEXSIM_FAILED;
  } catch (const std::exception&) {
    return HALVEXSIM_FAILED;
  }
}
