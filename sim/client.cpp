#include "sim/client.h"

#include <nlohmann/json.hpp>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "HalvexSeam.h"
#include "frame/oids.h"
#include "platform/posix/control.h"
#include "platform/posix/fd.h"
#include "platform/win32.h"
#include "sim/service.h"
#include "sim/sim_registry.h"
#include "sim/wire.h"

namespace fs = std::filesystem;

namespace hx::sim {
namespace {

using wire::Kind;
using wire::Reader;
using wire::Writer;

// What a registry call answers once the service that holds the hive is gone.
constexpr LONG kRegistryGone = 1722;  // RPC_S_SERVER_UNAVAILABLE

using posix::Fd;

// Connects to the socket at `path`; -1 (errno set) when nothing listens.
int ConnectTo(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  Fd dir;
  std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) {
    // Too long for an address: through the directory's descriptor.
    dir.Reset(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return -1;
    text = "/proc/self/fd/" + std::to_string(dir.get()) + "/" + path.filename().string();
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return -1;
  int result;
  do {
    result = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return -1;
  return fd.release();
}

// Sends a hello on `fd` and reads its answer.
std::optional<wire::Message> Greet(int fd, wire::Inbox& inbox, uint8_t role, uint64_t id, uint64_t token) {
  Writer hello(Kind::kHello);
  hello.U32(wire::kVersion).U8(role);
  if (role == 1) hello.U64(id).U64(token);
  // A service that refuses this process answers and closes at once, maybe
  // before the hello went out: its answer is still there to read.
  if (!wire::SendAll(fd, hello.Finish()) && errno != EPIPE && errno != ECONNRESET) return std::nullopt;
  std::optional<wire::Message> reply = inbox.Next();
  if (!reply || reply->kind != Kind::kReply) return std::nullopt;
  return reply;
}

// Starts the service of `dir` and waits until it listens (or says why not).
bool Spawn(const fs::path& dir, Lines* lines) {
  const std::string program = ServiceExecutable();
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    lines->push_back(std::string("cannot start the machine's service: ") + std::strerror(errno));
    return false;
  }
  Fd readEnd(ready[0]), writeEnd(ready[1]);
  // Everything the child needs is made before the fork: after it, only calls
  // that are safe in a copy of a threaded process.
  std::vector<std::string> args = {program, "--state-dir", dir.string(), "--ready-fd", "3"};
  if (const char* idle = std::getenv("HALVEX_SIM_IDLE"); idle != nullptr && *idle != '\0') {
    args.push_back("--idle");
    args.push_back(idle);
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    lines->push_back(std::string("cannot start the machine's service: ") + std::strerror(errno));
    return false;
  }
  if (child == 0) {
    // A daemon: its own session, a grandchild of nobody who waits for it,
    // holding none of its starter's descriptors (a pipe a caller waits on
    // would stay open for as long as the service runs).
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::dup2(writeEnd.get(), 3);  // dup2 clears close-on-exec
    ::close_range(4, ~0u, 0);
    ::execvp(argv[0], argv.data());
    const char failed[] = "error: the machine's service (halvex-simd) cannot be run\n";
    (void)!::write(3, failed, sizeof failed - 1);
    ::_exit(127);
  }
  writeEnd.Reset();
  int status = 0;
  ::waitpid(child, &status, 0);
  // Its answer: "ok", "busy" (another runs) or "error: ...".
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait{readEnd.get(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[512];
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  // Notes first, one per line: what the service met as it loaded.
  while (answer.rfind("note: ", 0) == 0) {
    const size_t end = answer.find('\n');
    if (end == std::string::npos) break;
    lines->push_back(answer.substr(6, end - 6));
    answer.erase(0, end + 1);
  }
  if (answer.rfind("ok", 0) == 0 || answer.rfind("busy", 0) == 0) return true;
  if (answer.rfind("error: ", 0) == 0) {
    answer = answer.substr(7);
    while (!answer.empty() && answer.back() == '\n') answer.pop_back();
    lines->push_back("the machine's service did not start: " + answer);
  } else {
    lines->push_back("the machine's service (" + program + ") did not start");
  }
  return false;
}

}  // namespace

std::unique_ptr<ServiceClient> ConnectInProcess(ServiceCore& core, Lines* lines) {
  int requests[2], events[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, requests) != 0) return nullptr;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, events) != 0) {
    ::close(requests[0]);
    ::close(requests[1]);
    return nullptr;
  }
  core.ServeOnThread(requests[0]);
  core.ServeOnThread(events[0]);
  return ServiceClient::Over(requests[1], events[1], lines);
}

std::string ServiceExecutable() {
  if (const char* chosen = std::getenv("HALVEX_SIMD"); chosen != nullptr && *chosen != '\0') return chosen;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&ServiceExecutable), &info) != 0 && info.dli_fname != nullptr) {
    const fs::path here = fs::absolute(info.dli_fname).parent_path();
    for (const fs::path& candidate : {here / "halvex-simd", here / ".." / "bin" / "halvex-simd",
                                      here / ".." / "libexec" / "halvex-simd"}) {
      std::error_code ec;
      if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0)
        return candidate.lexically_normal().string();
    }
  }
  return "halvex-simd";
}

// ---- the connection -----------------------------------------------------------------------

struct ServiceClient::Impl : std::enable_shared_from_this<Impl> {
  fs::path dir;
  Fd requests;
  std::unique_ptr<wire::Inbox> inbox;
  std::mutex requestMutex;  // one request at a time on the socket
  Fd events;
  std::thread reader;
  std::atomic<bool> dead{false};
  // The device handles open in this process, and the exit events they
  // registered: set when the service goes, as a driver does on removal.
  std::mutex handlesMutex;
  std::set<class RemoteDevice*> handles;
  std::vector<std::string> paths;  // registered through the seam

  ~Impl() {
    if (events.get() >= 0) ::shutdown(events.get(), SHUT_RDWR);
    if (reader.joinable()) reader.join();
  }

  // One request and its answer; none once the service is gone.
  std::optional<wire::Message> Call(Writer& request) {
    std::lock_guard lock(requestMutex);
    if (dead.load()) return std::nullopt;
    std::optional<wire::Message> reply;
    if (wire::SendAll(requests.get(), request.Finish())) reply = inbox->Next();
    if (!reply || reply->kind != Kind::kReply) {
      Gone();
      return std::nullopt;
    }
    return reply;
  }

  void Gone();
  void ReadEvents();
};

// A device handle of this process on the service's adapter.
class RemoteDevice final : public platform::Device {
 public:
  RemoteDevice(std::shared_ptr<ServiceClient::Impl> client, uint32_t port)
      : client_(std::move(client)), port_(port) {}
  ~RemoteDevice() override;
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override;
  // The exit event its opener registered: set when the service goes.
  uint32_t exitEvent() const { return exitEvent_.load(); }

 private:
  std::shared_ptr<ServiceClient::Impl> client_;
  uint32_t port_;
  std::atomic<uint32_t> exitEvent_{0};
};

void ServiceClient::Impl::Gone() {
  if (dead.exchange(true)) return;
  std::lock_guard lock(handlesMutex);
  for (RemoteDevice* handle : handles) {
    if (const uint32_t exit = handle->exitEvent())
      SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(exit)));
  }
}

void ServiceClient::Impl::ReadEvents() {
  wire::Inbox inbox(events.get());
  while (std::optional<wire::Message> message = inbox.Next()) {
    if (message->kind != Kind::kSignal) continue;
    Reader r(message->body);
    const std::optional<uint32_t> value = r.U32();
    if (r.Done()) SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(*value)));
  }
  Gone();
}

// ---- the device, through the seam ---------------------------------------------------------

RemoteDevice::~RemoteDevice() {
  {
    std::lock_guard lock(client_->handlesMutex);
    client_->handles.erase(this);
  }
  Writer request(Kind::kCloseDevice);
  request.U32(port_);
  client_->Call(request);
}

bool RemoteDevice::Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                           uint32_t* returned, uint32_t* error) {
  *returned = 0;
  if (code == IOCTL_REGISTER_EXIT_EVENT && in != nullptr && inLength >= 4) {
    uint32_t value = 0;
    std::memcpy(&value, in, 4);
    exitEvent_ = value;
  }
  const bool same = out == in && in != nullptr;
  Writer request(Kind::kControl);
  request.U32(port_).U32(code).U8(same ? 1 : 0).U32(outLength);
  request.Bytes({static_cast<const uint8_t*>(in), in != nullptr ? inLength : 0});
  const std::optional<wire::Message> reply = client_->Call(request);
  // The request may hold a key: nothing of it stays in this process's heap.
  const std::vector<uint8_t>& sent = request.Finish();
  hx::WipeSecret(const_cast<uint8_t*>(sent.data()), sent.size());
  if (!reply) {
    *error = ERROR_DEVICE_NOT_CONNECTED;
    return false;
  }
  Reader r(reply->body);
  const auto ok = r.U8();
  const auto failure = r.U32();
  const auto count = r.U32();
  const auto inBack = r.Bytes();
  const auto outBack = r.Bytes();
  if (!r.Done() || inBack->size() > inLength ||
      (outBack->size() > 0 && (same || outBack->size() > outLength))) {
    *error = ERROR_GEN_FAILURE;
    return false;
  }
  if (!inBack->empty()) std::memcpy(in, inBack->data(), inBack->size());
  if (!outBack->empty()) std::memcpy(out, outBack->data(), outBack->size());
  *returned = *count;
  *error = *failure;
  const bool done = *ok == 1;
  hx::WipeSecret(const_cast<uint8_t*>(reply->body.data()), reply->body.size());
  return done;
}

namespace {

// The seam's handles: each holds its device.
using DeviceHolder = std::shared_ptr<platform::Device>;

void* OpenHandle(void* context) {
  std::shared_ptr<platform::Device> device = static_cast<ServiceClient*>(context)->OpenDevice();
  return device ? new DeviceHolder(std::move(device)) : nullptr;
}

void CloseHandleOf(void*, void* handle) {
  delete static_cast<DeviceHolder*>(handle);
}

int ControlHandle(void* handle, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                  uint32_t* returned, uint32_t* error) {
  return (*static_cast<DeviceHolder*>(handle))->Control(code, in, inLength, out, outLength, returned, error)
             ? 1
             : 0;
}

// ---- the registry, held by the service ------------------------------------------------------

uint64_t ValueOf(HKEY key) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
}
HKEY KeyOf(uint64_t value) {
  return reinterpret_cast<HKEY>(static_cast<uintptr_t>(value));
}

class RemoteRegistry final : public posix::RegistryRemote {
 public:
  explicit RemoteRegistry(std::weak_ptr<ServiceClient::Impl> client) : client_(std::move(client)) {}

  LONG OpenKey(HKEY key, LPCSTR subKey, REGSAM access, PHKEY result) override {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    return Open(Kind::kRegOpenKey, key, subKey, access, result, nullptr);
  }
  LONG CreateKey(HKEY key, LPCSTR subKey, REGSAM access, PHKEY result, LPDWORD disposition) override {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    return Open(Kind::kRegCreateKey, key, subKey, access, result, disposition);
  }
  LONG CloseKey(HKEY key) override {
    Writer request(Kind::kRegCloseKey);
    request.U64(ValueOf(key));
    return Status(request);
  }
  LONG DeleteKey(HKEY key, LPCSTR subKey) override {
    Writer request(Kind::kRegDeleteKey);
    request.U64(ValueOf(key)).OptionalText(subKey);
    return Status(request);
  }
  LONG DeleteValue(HKEY key, LPCSTR name) override {
    Writer request(Kind::kRegDeleteValue);
    request.U64(ValueOf(key)).OptionalText(name);
    return Status(request);
  }
  LONG EnumKey(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPSTR keyClass, LPDWORD classLength,
               PFILETIME lastWrite) override {
    const uint32_t flags = (name ? 1 : 0) | (nameLength ? 2 : 0) | (keyClass ? 4 : 0) |
                           (classLength ? 8 : 0) | (lastWrite ? 16 : 0);
    Writer request(Kind::kRegEnumKey);
    request.U64(ValueOf(key)).U32(index).U32(flags).U32(nameLength ? *nameLength : 0);
    request.U32(classLength ? *classLength : 0);
    request.U32(lastWrite ? lastWrite->dwLowDateTime : 0).U32(lastWrite ? lastWrite->dwHighDateTime : 0);
    std::optional<wire::Message> reply = Ask(request);
    if (!reply) return kRegistryGone;
    Reader r(reply->body);
    const auto status = r.U32();
    if (r.Done()) return static_cast<LONG>(*status);  // refused before the call: its status alone
    const auto nameOut = r.U32();
    const auto nameBytes = r.Bytes();
    const auto classOut = r.U32();
    const auto classBytes = r.Bytes();
    const auto low = r.U32();
    const auto high = r.U32();
    if (!r.Done() || (nameBytes->size() > 0 && (!name || !nameLength || nameBytes->size() > *nameLength)) ||
        (classBytes->size() > 0 && (!keyClass || !classLength || *classLength == 0)))
      return ERROR_GEN_FAILURE;
    if (nameLength) *nameLength = *nameOut;
    if (!nameBytes->empty()) std::memcpy(name, nameBytes->data(), nameBytes->size());
    if (classLength) *classLength = *classOut;
    if (!classBytes->empty()) keyClass[0] = static_cast<char>((*classBytes)[0]);
    if (lastWrite) *lastWrite = FILETIME{*low, *high};
    return static_cast<LONG>(*status);
  }
  LONG EnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD type, LPBYTE data,
                 LPDWORD dataLength) override {
    const uint32_t flags =
        (name ? 1 : 0) | (nameLength ? 2 : 0) | (type ? 4 : 0) | (data ? 8 : 0) | (dataLength ? 16 : 0);
    Writer request(Kind::kRegEnumValue);
    request.U64(ValueOf(key)).U32(index).U32(flags).U32(nameLength ? *nameLength : 0);
    request.U32(type ? *type : 0).U32(dataLength ? *dataLength : 0);
    std::optional<wire::Message> reply = Ask(request);
    if (!reply) return kRegistryGone;
    Reader r(reply->body);
    const auto status = r.U32();
    if (r.Done()) return static_cast<LONG>(*status);  // refused before the call: its status alone
    const auto nameOut = r.U32();
    const auto nameBytes = r.Bytes();
    const auto typeOut = r.U32();
    const auto dataOut = r.U32();
    const auto dataBytes = r.Bytes();
    if (!r.Done() || (nameBytes->size() > 0 && (!name || !nameLength || nameBytes->size() > *nameLength)) ||
        (dataBytes->size() > 0 && (!data || !dataLength || dataBytes->size() > *dataLength)))
      return ERROR_GEN_FAILURE;
    // Each out-parameter as the call left it (the service started from the
    // caller's own values).
    if (nameLength) *nameLength = *nameOut;
    if (!nameBytes->empty()) std::memcpy(name, nameBytes->data(), nameBytes->size());
    if (type) *type = *typeOut;
    if (dataLength) *dataLength = *dataOut;
    if (!dataBytes->empty()) std::memcpy(data, dataBytes->data(), dataBytes->size());
    Wipe(*reply);
    return static_cast<LONG>(*status);
  }
  LONG QueryValue(HKEY key, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD dataLength) override {
    const uint32_t flags = (type ? 1 : 0) | (data ? 2 : 0) | (dataLength ? 4 : 0);
    Writer request(Kind::kRegQueryValue);
    request.U64(ValueOf(key)).OptionalText(name).U32(flags).U32(type ? *type : 0);
    request.U32(dataLength ? *dataLength : 0);
    std::optional<wire::Message> reply = Ask(request);
    if (!reply) return kRegistryGone;
    Reader r(reply->body);
    const auto status = r.U32();
    if (r.Done()) return static_cast<LONG>(*status);  // refused before the call: its status alone
    const auto typeOut = r.U32();
    const auto dataOut = r.U32();
    const auto dataBytes = r.Bytes();
    if (!r.Done() || (dataBytes->size() > 0 && (!data || !dataLength || dataBytes->size() > *dataLength)))
      return ERROR_GEN_FAILURE;
    // Each out-parameter as the call left it (the service started from the
    // caller's own values).
    if (type) *type = *typeOut;
    if (dataLength) *dataLength = *dataOut;
    if (!dataBytes->empty()) std::memcpy(data, dataBytes->data(), dataBytes->size());
    Wipe(*reply);
    return static_cast<LONG>(*status);
  }
  LONG SetValue(HKEY key, LPCSTR name, DWORD type, const BYTE* data, DWORD length) override {
    Writer request(Kind::kRegSetValue);
    request.U64(ValueOf(key)).OptionalText(name).U32(type).U8(data != nullptr ? 1 : 0).U32(length);
    request.Bytes({data, data != nullptr ? length : 0});
    // Windows NT reads the byte after a string that does not end in a NUL;
    // so does the local hive, and so this, only then.
    const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    const bool readsAfter = data != nullptr && text && length > 0 && data[length - 1] != 0;
    request.U8(readsAfter ? data[length] : 1);
    const LONG status = Status(request);
    hx::WipeSecret(const_cast<uint8_t*>(request.Finish().data()), request.Finish().size());
    return status;
  }

 private:
  std::optional<wire::Message> Ask(Writer& request) {
    std::shared_ptr<ServiceClient::Impl> client = client_.lock();
    if (!client) return std::nullopt;
    return client->Call(request);
  }
  LONG Status(Writer& request) {
    std::optional<wire::Message> reply = Ask(request);
    if (!reply) return kRegistryGone;
    Reader r(reply->body);
    const auto status = r.U32();
    return r.ok() ? static_cast<LONG>(*status) : ERROR_GEN_FAILURE;
  }
  LONG Open(Kind kind, HKEY key, LPCSTR subKey, REGSAM access, PHKEY result, LPDWORD disposition) {
    Writer request(kind);
    request.U64(ValueOf(key)).OptionalText(subKey).U32(access);
    std::optional<wire::Message> reply = Ask(request);
    if (!reply) return kRegistryGone;
    Reader r(reply->body);
    const auto status = r.U32();
    if (r.Done()) return static_cast<LONG>(*status);  // refused before the call: its status alone
    const auto opened = r.U64();
    const auto how = r.U32();
    if (!r.Done()) return ERROR_GEN_FAILURE;
    if (*status == ERROR_SUCCESS) {
      *result = KeyOf(*opened);
      if (disposition != nullptr) *disposition = *how;
    }
    return static_cast<LONG>(*status);
  }
  static void Wipe(wire::Message& reply) { hx::WipeSecret(reply.body.data(), reply.body.size()); }

  std::weak_ptr<ServiceClient::Impl> client_;
};

}  // namespace

// ---- the client -----------------------------------------------------------------------------

std::unique_ptr<ServiceClient> ServiceClient::Connect(const fs::path& where, bool start, Lines* lines) {
  const fs::path dir = fs::absolute(where);
  const fs::path socketPath = dir / kServiceSocket;
  Fd fd(ConnectTo(socketPath));
  if (fd.get() < 0 && start) {
    std::error_code ec;
    if (fs::create_directories(dir, ec))
      fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    // Starters take turns: the one after a start finds the service running.
    Fd startLock(::open((dir / kServiceStartLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (startLock.get() < 0) {
      lines->push_back((dir / kServiceStartLock).string() + ": " + std::strerror(errno) +
                       (errno == EROFS || errno == EACCES ? " (the state directory cannot be written)" : ""));
      return nullptr;
    }
    while (::flock(startLock.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    fd.Reset(ConnectTo(socketPath));
    if (fd.get() < 0 && Spawn(dir, lines)) {
      // A service that lost a race to one started by hand may still be
      // getting ready; it is given a moment.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while ((fd.Reset(ConnectTo(socketPath)), fd.get() < 0) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (fd.get() < 0) {
    if (start && lines->empty()) lines->push_back("no machine's service runs for " + dir.string());
    return nullptr;
  }
  const int events = ConnectTo(socketPath);
  std::unique_ptr<ServiceClient> client = Over(fd.release(), events, lines);
  if (!client) {
    if (lines->empty())
      lines->push_back("the machine's service of " + dir.string() + " did not answer as expected");
    return nullptr;
  }
  client->impl_->dir = dir;
  return client;
}

std::unique_ptr<ServiceClient> ServiceClient::Over(int requests, int events, Lines* lines) {
  std::unique_ptr<ServiceClient> client(new ServiceClient);
  auto impl = std::make_shared<Impl>();
  impl->requests.Reset(requests);
  impl->events.Reset(events);
  impl->inbox = std::make_unique<wire::Inbox>(impl->requests.get());
  const std::optional<wire::Message> welcome = Greet(impl->requests.get(), *impl->inbox, 0, 0, 0);
  const std::vector<uint8_t> none;
  Reader r(welcome ? welcome->body : none);
  const auto status = r.U32();
  const auto id = r.U64();
  const auto token = r.U64();
  const auto notes = r.ok() && *status == ERROR_SUCCESS ? r.Text() : std::nullopt;
  if (!welcome || !r.Done() || *status != ERROR_SUCCESS) {
    if (welcome && r.ok() && *status == ERROR_ACCESS_DENIED)
      lines->push_back("the machine's service refused this process (it runs as another user)");
    return nullptr;
  }
  wire::Inbox eventsInbox(impl->events.get());
  std::optional<wire::Message> joined =
      impl->events.get() >= 0 ? Greet(impl->events.get(), eventsInbox, 1, *id, *token) : std::nullopt;
  Reader j(joined ? joined->body : none);
  const auto joinStatus = j.U32();
  if (!joined || !j.Done() || *joinStatus != ERROR_SUCCESS) {
    lines->push_back("the machine's service did not take this process's events");
    return nullptr;
  }
  for (size_t start = 0; start < notes->size();) {
    const size_t end = notes->find('\n', start);
    lines->push_back(notes->substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  impl->reader = std::thread([raw = impl.get()] { raw->ReadEvents(); });
  client->impl_ = std::move(impl);
  return client;
}

ServiceClient::~ServiceClient() {
  Detach();
}

bool ServiceClient::Attach(Lines* lines) {
  for (const std::string& path : {std::string(kDevicePath), std::string("\\\\.\\") + kInstanceId}) {
    if (HalvexSeamRegisterHandleDevice(path.c_str(), OpenHandle, ControlHandle, CloseHandleOf, impl_.get()) !=
        0) {
      lines->push_back("the simulated adapter could not be registered as " + path);
      Detach();
      return false;
    }
    impl_->paths.push_back(path);
  }
  posix::UseRegistryRemote(Registry());
  return true;
}

std::shared_ptr<platform::Device> ServiceClient::OpenDevice() {
  Writer request(Kind::kOpenDevice);
  request.Text(kDevicePath);
  const std::optional<wire::Message> reply = impl_->Call(request);
  if (!reply) return nullptr;
  Reader r(reply->body);
  const auto status = r.U32();
  const auto port = r.U32();
  if (!r.Done() || *status != ERROR_SUCCESS) return nullptr;
  auto device = std::make_shared<RemoteDevice>(impl_, *port);
  std::lock_guard lock(impl_->handlesMutex);
  impl_->handles.insert(device.get());
  return device;
}

std::shared_ptr<posix::RegistryRemote> ServiceClient::Registry() {
  return std::make_shared<RemoteRegistry>(impl_);
}

void ServiceClient::Detach() {
  if (!impl_) return;
  // Withdrawn first: the seam closes the handles still open, while the
  // connection is there to say so.
  for (const std::string& path : impl_->paths) HalvexSeamUnregisterDevice(path.c_str());
  impl_->paths.clear();
  posix::UseRegistryRemote(nullptr);
}

std::optional<std::string> ServiceClient::Status() {
  Writer request(Kind::kStatus);
  std::optional<wire::Message> reply = impl_->Call(request);
  if (!reply) return std::nullopt;
  Reader r(reply->body);
  std::optional<std::string> text = r.Text();
  return r.Done() ? text : std::nullopt;
}

std::optional<RadiusServerInfo> ServiceClient::Radius() {
  Writer request(Kind::kRadius);
  std::optional<wire::Message> reply = impl_->Call(request);
  if (!reply) return std::nullopt;
  Reader r(reply->body);
  const std::optional<std::string> text = r.Text();
  if (!r.Done()) return std::nullopt;
  const nlohmann::json info = nlohmann::json::parse(*text, nullptr, false);
  if (!info.is_object()) return std::nullopt;
  const auto field = [&](const char* name) {
    auto it = info.find(name);
    return it != info.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  return RadiusServerInfo{field("address"), field("secret"), field("caCertificate")};
}

bool ServiceClient::Stop() {
  Writer request(Kind::kStop);
  return impl_->Call(request).has_value();
}

bool ServiceClient::Save(Lines* lines) {
  Writer request(Kind::kSave);
  std::optional<wire::Message> reply = impl_->Call(request);
  if (!reply) {
    lines->push_back("the machine's service of " + impl_->dir.string() + " is gone: nothing was saved");
    return false;
  }
  Reader r(reply->body);
  const auto ok = r.U8();
  const auto text = r.Text();
  if (!r.Done()) return false;
  for (size_t start = 0; start < text->size();) {
    const size_t end = text->find('\n', start);
    lines->push_back(text->substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return *ok == 1;
}

bool ServiceClient::Capture(const std::string* path, std::string* error) {
  Writer request(Kind::kCapture);
  request.OptionalText(path != nullptr ? path->c_str() : nullptr);
  std::optional<wire::Message> reply = impl_->Call(request);
  if (!reply) {
    *error = "the machine's service is gone";
    return false;
  }
  Reader r(reply->body);
  const auto ok = r.U8();
  const auto why = r.Text();
  if (!r.Done()) return false;
  *error = *why;
  return *ok == 1;
}

std::string ServiceClient::RequestLog() {
  Writer request(Kind::kRequestLog);
  std::optional<wire::Message> reply = impl_->Call(request);
  if (!reply) return {};
  Reader r(reply->body);
  std::optional<std::string> text = r.Text();
  return r.Done() ? *text : std::string();
}

bool ServiceClient::PortOpen() {
  Writer request(Kind::kPortOpen);
  std::optional<wire::Message> reply = impl_->Call(request);
  if (!reply) return false;
  Reader r(reply->body);
  const auto open = r.U8();
  return r.Done() && *open == 1;
}

bool ServiceClient::alive() const {
  return !impl_->dead.load();
}

}  // namespace hx::sim
