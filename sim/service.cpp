#include "sim/service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "platform/posix/control.h"
#include "platform/win32.h"
#include "sim/sim_registry.h"
#include "sim/wire.h"

namespace fs = std::filesystem;

namespace hx::sim {
namespace {

using wire::Kind;
using wire::Reader;
using wire::Writer;

// Buffers a client may ask the service to fill: as large as a message.
constexpr uint32_t kMaxBuffer = wire::kMaxMessage - 1024;

bool Predefined(HKEY key) {
  return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_USERS || key == HKEY_DYN_DATA;
}

HKEY KeyOf(uint64_t value) {
  return reinterpret_cast<HKEY>(static_cast<uintptr_t>(value));
}

uint64_t ValueOf(HKEY key) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
}

std::span<const uint8_t> BytesOf(const void* data, size_t size) {
  return {static_cast<const uint8_t*>(data), size};
}

// One client process: its requests socket, the events socket that joins it,
// and what it holds in the machine.
struct Connection {
  uint64_t id = 0;
  uint64_t token = 0;
  int fd = -1;
  std::mutex mutex;  // the members below
  int eventsFd = -1;
  std::map<uint32_t, std::shared_ptr<platform::Device>> ports;
  uint32_t nextPort = 1;
  std::set<uint64_t> keys;  // registry keys it opened
  bool capturing = false;

  // Sets the event `value` in the client; dropped when its socket is full
  // (the client is not reading: the records wait for its next fetch anyway).
  void Signal(uint32_t value) {
    std::lock_guard lock(mutex);
    if (eventsFd < 0) return;
    Writer message(Kind::kSignal);
    message.U32(value);
    const std::vector<uint8_t>& bytes = message.Finish();
    (void)::send(eventsFd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  }
};

}  // namespace

struct ServiceCore::Impl {
  std::unique_ptr<Machine> machine;
  std::shared_ptr<SimAdapter> adapter;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  mutable std::mutex mutex;
  std::map<uint64_t, std::shared_ptr<Connection>> connections;
  std::function<void()> changed;
  std::atomic<bool> stopRequested{false};
  std::set<int> serving;  // sockets being served
  std::condition_variable servingDone;
  std::mutex machineMutex;  // the machine's files: reloads and saves
  std::atomic<bool> captureAllowed{true};
  std::mt19937_64 random{std::random_device{}()};
  uint64_t nextId = 1;

  void Changed() {
    std::function<void()> callback;
    {
      std::lock_guard lock(mutex);
      callback = changed;
    }
    if (callback) callback();
  }

  // ---- requests ------------------------------------------------------------------

  void OpenDevice(Connection& c, Reader& r, Writer& w) {
    const std::optional<std::string> path = r.Text(1024);
    if (!r.Done()) return Refuse(w);
    std::string key = *path;
    for (char& ch : key) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::string device = kDevicePath, instance = std::string("\\\\.\\") + kInstanceId;
    for (std::string* name : {&device, &instance})
      for (char& ch : *name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (key != device && key != instance) {
      w.U32(ERROR_FILE_NOT_FOUND).U32(0);
      return;
    }
    std::weak_ptr<Connection> weak;
    {
      std::lock_guard lock(mutex);
      weak = connections[c.id];
    }
    auto port = adapter->OpenPort(
        [weak](uint32_t value) {
          if (auto connection = weak.lock()) connection->Signal(value);
        },
        c.id);
    std::lock_guard lock(c.mutex);
    const uint32_t id = c.nextPort++;
    c.ports.emplace(id, std::move(port));
    w.U32(ERROR_SUCCESS).U32(id);
  }

  std::shared_ptr<platform::Device> Port(Connection& c, uint32_t id) {
    std::lock_guard lock(c.mutex);
    auto found = c.ports.find(id);
    return found == c.ports.end() ? nullptr : found->second;
  }

  void CloseDevice(Connection& c, Reader& r, Writer& w) {
    const std::optional<uint32_t> id = r.U32();
    if (!r.Done()) return Refuse(w);
    std::shared_ptr<platform::Device> port;  // released outside the lock
    {
      std::lock_guard lock(c.mutex);
      auto found = c.ports.find(*id);
      if (found != c.ports.end()) {
        port = std::move(found->second);
        c.ports.erase(found);
      }
    }
    w.U32(port ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
  }

  // A request on one of the client's handles. The buffers come back as far
  // as the driver wrote them: the input up to the bytes it returned (at least
  // its status word), a separate output up to the bytes returned.
  void Control(Connection& c, Reader& r, Writer& w) {
    const auto id = r.U32();
    const auto code = r.U32();
    const auto same = r.U8();
    const auto outLength = r.U32();
    const auto input = r.Bytes(kMaxBuffer);
    if (!r.Done() || *outLength > kMaxBuffer) return Refuse(w);
    std::shared_ptr<platform::Device> port = Port(c, *id);
    if (!port) {
      w.U8(0).U32(ERROR_DEVICE_NOT_CONNECTED).U32(0).Bytes({}).Bytes({});
      return;
    }
    std::vector<uint8_t> in(input->begin(), input->end());
    if (*same != 0) in.resize(std::max<size_t>(in.size(), *outLength));
    std::vector<uint8_t> out(*same != 0 ? 0 : *outLength);
    uint32_t returned = 0, error = 0;
    const auto inLength = static_cast<uint32_t>(input->size());
    void* outBuffer = *same != 0 ? in.data() : (out.empty() ? nullptr : out.data());
    const bool ok = port->Control(*code, in.empty() ? nullptr : in.data(), inLength, outBuffer, *outLength,
                                  &returned, &error);
    const size_t back = std::min<size_t>(in.size(), std::max<uint32_t>(returned, 4));
    w.U8(ok ? 1 : 0).U32(error).U32(returned).Bytes(BytesOf(in.data(), back));
    w.Bytes(BytesOf(out.data(), std::min<size_t>(out.size(), returned)));
    hx::WipeSecret(in.data(), in.size());  // key requests pass through here
  }

  // ---- registry ----------------------------------------------------------------------

  // A key the client may use: a root, or one it opened.
  static bool Owns(Connection& c, uint64_t key) {
    if (Predefined(KeyOf(key))) return true;
    std::lock_guard lock(c.mutex);
    return c.keys.contains(key);
  }
  static void Keep(Connection& c, HKEY key) {
    if (Predefined(key)) return;
    std::lock_guard lock(c.mutex);
    c.keys.insert(ValueOf(key));
  }

  void RegOpen(Connection& c, Reader& r, Writer& w, bool create) {
    const auto key = r.U64();
    const auto subKey = r.OptionalText(4096);
    const auto access = r.U32();
    if (!r.Done()) return Refuse(w);
    if (!Owns(c, *key)) {
      w.U32(ERROR_INVALID_HANDLE).U64(0).U32(0);
      return;
    }
    const char* path = *subKey ? (*subKey)->c_str() : nullptr;
    HKEY result = nullptr;
    DWORD disposition = 0;
    const LONG status =
        create ? RegCreateKeyExA(KeyOf(*key), path, 0, nullptr, 0, *access, nullptr, &result, &disposition)
               : RegOpenKeyExA(KeyOf(*key), path, 0, *access, &result);
    if (status == ERROR_SUCCESS) Keep(c, result);
    w.U32(static_cast<uint32_t>(status)).U64(ValueOf(result)).U32(disposition);
  }

  void RegClose(Connection& c, Reader& r, Writer& w) {
    const auto key = r.U64();
    if (!r.Done()) return Refuse(w);
    if (Predefined(KeyOf(*key))) {
      w.U32(ERROR_SUCCESS);
      return;
    }
    {
      std::lock_guard lock(c.mutex);
      if (c.keys.erase(*key) == 0) {
        w.U32(ERROR_INVALID_HANDLE);
        return;
      }
    }
    w.U32(static_cast<uint32_t>(RegCloseKey(KeyOf(*key))));
  }

  void RegDelete(Connection& c, Reader& r, Writer& w, bool value) {
    const auto key = r.U64();
    const auto name = r.OptionalText(4096);
    if (!r.Done()) return Refuse(w);
    if (!Owns(c, *key)) {
      w.U32(ERROR_INVALID_HANDLE);
      return;
    }
    const char* text = *name ? (*name)->c_str() : nullptr;
    w.U32(
        static_cast<uint32_t>(value ? RegDeleteValueA(KeyOf(*key), text) : RegDeleteKeyA(KeyOf(*key), text)));
  }

  // Enumeration and queries: the caller's pointers as present-flags, its
  // sizes as numbers; what the call wrote comes back.
  void RegEnumKey(Connection& c, Reader& r, Writer& w) {
    const auto key = r.U64();
    const auto index = r.U32();
    const auto flags = r.U32();
    const auto nameSize = r.U32();
    const auto classSize = r.U32();
    const auto writtenLow = r.U32();
    const auto writtenHigh = r.U32();
    if (!r.Done()) return Refuse(w);
    if (!Owns(c, *key)) {
      w.U32(ERROR_INVALID_HANDLE);
      return;
    }
    // The caller's sizes, as far as a message could carry back.
    const uint32_t nameRoom = std::min(*nameSize, kMaxBuffer), classRoom = std::min(*classSize, kMaxBuffer);
    std::vector<char> name(nameRoom + 1), keyClass(classRoom + 1);
    DWORD nameLength = nameRoom, classLength = classRoom;
    FILETIME written{*writtenLow, *writtenHigh};
    const LONG status =
        RegEnumKeyExA(KeyOf(*key), *index, (*flags & 1) ? name.data() : nullptr,
                      (*flags & 2) ? &nameLength : nullptr, nullptr, (*flags & 4) ? keyClass.data() : nullptr,
                      (*flags & 8) ? &classLength : nullptr, (*flags & 16) ? &written : nullptr);
    const size_t nameBack = status == ERROR_SUCCESS ? std::min<size_t>(nameLength + 1, nameRoom) : 0;
    const size_t classBack = (*flags & 4) && classRoom > 0 ? 1 : 0;
    w.U32(static_cast<uint32_t>(status)).U32(nameLength).Bytes(BytesOf(name.data(), nameBack));
    w.U32(classLength).Bytes(BytesOf(keyClass.data(), classBack));
    w.U32(written.dwLowDateTime).U32(written.dwHighDateTime);
  }

  void RegEnumValue(Connection& c, Reader& r, Writer& w) {
    const auto key = r.U64();
    const auto index = r.U32();
    const auto flags = r.U32();
    const auto nameSize = r.U32();
    const auto typeIn = r.U32();
    const auto dataSize = r.U32();
    if (!r.Done()) return Refuse(w);
    if (!Owns(c, *key)) {
      w.U32(ERROR_INVALID_HANDLE);
      return;
    }
    const uint32_t nameRoom = std::min(*nameSize, kMaxBuffer), dataRoom = std::min(*dataSize, kMaxBuffer);
    std::vector<char> name(nameRoom + 1);
    std::vector<uint8_t> data(dataRoom + 1);
    DWORD nameLength = nameRoom, type = *typeIn, dataLength = dataRoom;
    const LONG status =
        RegEnumValueA(KeyOf(*key), *index, (*flags & 1) ? name.data() : nullptr,
                      (*flags & 2) ? &nameLength : nullptr, nullptr, (*flags & 4) ? &type : nullptr,
                      (*flags & 8) ? data.data() : nullptr, (*flags & 16) ? &dataLength : nullptr);
    const bool ok = status == ERROR_SUCCESS;
    w.U32(static_cast<uint32_t>(status)).U32(nameLength);
    w.Bytes(BytesOf(name.data(), ok ? std::min<size_t>(nameLength + 1, nameRoom) : 0));
    w.U32(type).U32(dataLength);
    w.Bytes(BytesOf(data.data(), ok && (*flags & 8) ? std::min<size_t>(dataLength, dataRoom) : 0));
    hx::WipeSecret(data.data(), data.size());
  }

  void RegQueryValue(Connection& c, Reader& r, Writer& w) {
    const auto key = r.U64();
    const auto name = r.OptionalText(4096);
    const auto flags = r.U32();
    const auto typeIn = r.U32();
    const auto dataSize = r.U32();
    if (!r.Done()) return Refuse(w);
    if (!Owns(c, *key)) {
      w.U32(ERROR_INVALID_HANDLE);
      return;
    }
    const uint32_t dataRoom = std::min(*dataSize, kMaxBuffer);
    std::vector<uint8_t> data(dataRoom + 1);
    DWORD type = *typeIn, dataLength = dataRoom;
    const LONG status = RegQueryValueExA(KeyOf(*key), *name ? (*name)->c_str() : nullptr, nullptr,
                                         (*flags & 1) ? &type : nullptr, (*flags & 2) ? data.data() : nullptr,
                                         (*flags & 4) ? &dataLength : nullptr);
    const bool ok = status == ERROR_SUCCESS;
    w.U32(static_cast<uint32_t>(status)).U32(type).U32(dataLength);
    w.Bytes(BytesOf(data.data(), ok && (*flags & 2) ? std::min<size_t>(dataLength, dataRoom) : 0));
    hx::WipeSecret(data.data(), data.size());
  }

  void RegSetValue(Connection& c, Reader& r, Writer& w) {
    const auto key = r.U64();
    const auto name = r.OptionalText(20000);
    const auto type = r.U32();
    const auto present = r.U8();
    const auto length = r.U32();
    const auto data = r.Bytes(kMaxBuffer);
    const auto after = r.U8();
    // The caller's length as it gave it: with no data, the call judges it.
    if (!r.Done() || (*present != 0 && *length != data->size())) return Refuse(w);
    if (!Owns(c, *key)) {
      w.U32(ERROR_INVALID_HANDLE);
      return;
    }
    // The byte after the data, as the caller's memory had it.
    std::vector<uint8_t> bytes(data->begin(), data->end());
    bytes.push_back(*after);
    const LONG status = RegSetValueExA(KeyOf(*key), *name ? (*name)->c_str() : nullptr, 0, *type,
                                       *present != 0 ? bytes.data() : nullptr, *length);
    hx::WipeSecret(bytes.data(), bytes.size());  // a WEP key, stored as a value
    w.U32(static_cast<uint32_t>(status));
  }

  // ---- the service ------------------------------------------------------------------------

  // The asker is not counted among the clients.
  void Status(Writer& w) {
    nlohmann::json status = {{"pid", static_cast<long>(::getpid())},
                             {"uptimeSeconds", std::chrono::duration_cast<std::chrono::seconds>(
                                                   std::chrono::steady_clock::now() - started)
                                                   .count()},
                             {"clients", Clients() - 1},
                             {"handles", adapter->OpenPorts()}};
    if (machine) {
      status["stateDirectory"] = machine->dir().string();
      status["readOnly"] = machine->readOnly();
      status["radiusServer"] = RadiusJson();
    }
    w.Text(status.dump());
  }

  // Where the built-in RADIUS server listens, its secret and its CA: outside
  // peers (eapol_test, a real access point's configuration) need all three.
  nlohmann::json RadiusJson() {
    std::optional<RadiusServerInfo> info;
    {
      std::lock_guard lock(machineMutex);
      info = machine->Radius();
    }
    if (!info) return nullptr;
    return {{"address", info->address}, {"secret", info->secret}, {"caCertificate", info->caCertificate}};
  }

  void Capture(Connection& c, Reader& r, Writer& w) {
    const auto path = r.OptionalText(4096);
    if (!r.Done()) return Refuse(w);
    std::string error;
    bool ok = true;
    if (*path && !captureAllowed.load()) {
      ok = false;
      error = "captures are not allowed here";
    } else if (*path) {
      ok = adapter->StartCapture(**path, &error);
    } else if (c.capturing) {
      adapter->StopCapture();
    }
    {
      std::lock_guard lock(c.mutex);
      c.capturing = *path && ok;
    }
    w.U8(ok ? 1 : 0).Text(error);
  }

  size_t Clients() const {
    std::lock_guard lock(mutex);
    return connections.size();
  }

  // A request that does not read as one: answered with nothing (the client
  // then fails the call), never acted on.
  static void Refuse(Writer& w) { (void)w; }

  // Answers one request; false to hang up on the client.
  bool Handle(Connection& c, const wire::Message& message, Writer& w) {
    Reader r(message.body);
    switch (message.kind) {
      case Kind::kOpenDevice:
        OpenDevice(c, r, w);
        break;
      case Kind::kCloseDevice:
        CloseDevice(c, r, w);
        break;
      case Kind::kControl:
        Control(c, r, w);
        break;
      case Kind::kRegOpenKey:
        RegOpen(c, r, w, false);
        break;
      case Kind::kRegCreateKey:
        RegOpen(c, r, w, true);
        break;
      case Kind::kRegCloseKey:
        RegClose(c, r, w);
        break;
      case Kind::kRegDeleteKey:
        RegDelete(c, r, w, false);
        break;
      case Kind::kRegDeleteValue:
        RegDelete(c, r, w, true);
        break;
      case Kind::kRegEnumKey:
        RegEnumKey(c, r, w);
        break;
      case Kind::kRegEnumValue:
        RegEnumValue(c, r, w);
        break;
      case Kind::kRegQueryValue:
        RegQueryValue(c, r, w);
        break;
      case Kind::kRegSetValue:
        RegSetValue(c, r, w);
        break;
      case Kind::kStatus:
        Status(w);
        break;
      case Kind::kStop:
        stopRequested = true;
        w.U8(1);
        break;
      case Kind::kSave: {
        Lines lines;
        std::lock_guard lock(machineMutex);
        const bool ok = machine == nullptr || machine->Save(&lines);
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        w.U8(ok ? 1 : 0).Text(text);
        break;
      }
      case Kind::kCapture:
        Capture(c, r, w);
        break;
      case Kind::kRequestLog: {
        std::vector<ControlCall> mine;
        for (ControlCall& call : adapter->Calls()) {
          if (call.tag == c.id) mine.push_back(std::move(call));
        }
        w.Text(RequestLogText(mine));
        break;
      }
      case Kind::kPortOpen:
        w.U8(TrafficFlows(*adapter) ? 1 : 0);
        break;
      case Kind::kRadius:
        w.Text(machine ? RadiusJson().dump() : "null");
        break;
      default:
        return false;
    }
    return true;
  }

  // ---- connections -------------------------------------------------------------------------

  std::shared_ptr<Connection> Join(int fd, uint64_t* token) {
    auto connection = std::make_shared<Connection>();
    std::lock_guard lock(mutex);
    connection->id = nextId++;
    connection->token = random();
    connection->fd = fd;
    *token = connection->token;
    connections.emplace(connection->id, connection);
    return connection;
  }

  std::shared_ptr<Connection> Find(uint64_t id, uint64_t token) {
    std::lock_guard lock(mutex);
    auto found = connections.find(id);
    if (found == connections.end() || found->second->token != token) return nullptr;
    return found->second;
  }

  // The client hung up: everything it held goes.
  void Leave(const std::shared_ptr<Connection>& connection) {
    {
      std::lock_guard lock(mutex);
      connections.erase(connection->id);
    }
    std::map<uint32_t, std::shared_ptr<platform::Device>> ports;
    std::set<uint64_t> keys;
    bool capturing;
    {
      std::lock_guard lock(connection->mutex);
      ports.swap(connection->ports);
      keys.swap(connection->keys);
      capturing = connection->capturing;
      if (connection->eventsFd >= 0) ::shutdown(connection->eventsFd, SHUT_RDWR);
    }
    ports.clear();
    for (uint64_t key : keys) RegCloseKey(KeyOf(key));
    if (capturing) adapter->StopCapture();
    Changed();
  }
};

ServiceCore::ServiceCore(std::unique_ptr<Machine> machine) : impl_(std::make_unique<Impl>()) {
  impl_->adapter = machine->shared_adapter();
  impl_->machine = std::move(machine);
}

ServiceCore::ServiceCore(std::shared_ptr<SimAdapter> adapter) : impl_(std::make_unique<Impl>()) {
  impl_->adapter = std::move(adapter);
}

ServiceCore::~ServiceCore() = default;

size_t ServiceCore::Clients() const {
  return impl_->Clients();
}

bool ServiceCore::StopRequested() const {
  return impl_->stopRequested.load();
}

void ServiceCore::OnChange(std::function<void()> changed) {
  std::lock_guard lock(impl_->mutex);
  impl_->changed = std::move(changed);
}

bool ServiceCore::Save(Lines* lines) {
  std::lock_guard lock(impl_->machineMutex);
  return impl_->machine == nullptr || impl_->machine->Save(lines);
}

void ServiceCore::AllowCapture(bool allow) {
  impl_->captureAllowed = allow;
}

Machine* ServiceCore::machine() const {
  return impl_->machine.get();
}

SimAdapter& ServiceCore::adapter() const {
  return *impl_->adapter;
}

void ServiceCore::ShutdownAll() {
  std::lock_guard lock(impl_->mutex);
  for (int fd : impl_->serving) ::shutdown(fd, SHUT_RDWR);
}

void ServiceCore::AwaitServed() {
  std::unique_lock lock(impl_->mutex);
  impl_->servingDone.wait(lock, [this] { return impl_->serving.empty(); });
}

void ServiceCore::ServeOnThread(int fd) {
  // Counted before the thread runs: a shutdown meanwhile waits for it.
  {
    std::lock_guard lock(impl_->mutex);
    impl_->serving.insert(fd);
  }
  std::thread([this, fd] { Serve(fd); }).detach();
}

void ServiceCore::Serve(int fd) {
  // The hive served is this process's own, whatever its own calls use.
  const posix::LocalRegistryScope local;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->serving.insert(fd);
  }
  struct Closer {
    Impl* impl;
    int fd;
    ~Closer() {
      std::lock_guard lock(impl->mutex);
      impl->serving.erase(fd);
      ::close(fd);
      impl->servingDone.notify_all();
    }
  } closer{impl_.get(), fd};
  wire::Inbox inbox(fd);
  std::optional<wire::Message> hello = inbox.Next();
  if (!hello || hello->kind != Kind::kHello) return;
  Reader r(hello->body);
  const auto version = r.U32();
  const auto role = r.U8();
  if (!r.ok() || *version != wire::kVersion || *role > 1) {
    Writer refusal(Kind::kReply);
    refusal.U32(ERROR_NOT_SUPPORTED).U64(0).U64(0);
    wire::SendAll(fd, refusal.Finish());
    return;
  }
  if (*role == 1) {
    // The events socket of a client already joined: the service writes to
    // it; it is read here only to see the client hang up.
    const auto id = r.U64();
    const auto token = r.U64();
    std::shared_ptr<Connection> connection = r.Done() ? impl_->Find(*id, *token) : nullptr;
    Writer reply(Kind::kReply);
    reply.U32(connection ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    if (!wire::SendAll(fd, reply.Finish()) || !connection) return;
    {
      std::lock_guard lock(connection->mutex);
      connection->eventsFd = fd;
    }
    while (inbox.Next()) {
    }
    std::lock_guard lock(connection->mutex);
    connection->eventsFd = -1;
    return;
  }
  uint64_t token = 0;
  std::shared_ptr<Connection> connection = impl_->Join(fd, &token);
  impl_->Changed();
  // A client sees the networks as their file says now; what was wrong with
  // it is told to the client.
  Lines notes;
  if (impl_->machine) {
    std::lock_guard lock(impl_->machineMutex);
    impl_->machine->RefreshAccessPoints(&notes);
  }
  std::string noteText;
  for (const std::string& note : notes) noteText += note + "\n";
  Writer welcome(Kind::kReply);
  welcome.U32(ERROR_SUCCESS).U64(connection->id).U64(token).Text(noteText);
  if (wire::SendAll(fd, welcome.Finish())) {
    while (std::optional<wire::Message> request = inbox.Next()) {
      Writer reply(Kind::kReply);
      if (!impl_->Handle(*connection, *request, reply) || !wire::SendAll(fd, reply.Finish())) break;
      if (request->kind == Kind::kStop) impl_->Changed();
    }
  }
  impl_->Leave(connection);
}

// ---- the process -------------------------------------------------------------------------

namespace {

// A socket address for `path`; a path too long for one is reached through
// the directory's descriptor (/proc/self/fd/N/name), which is short.
bool SocketAddress(const fs::path& path, int dirFd, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::string text = path.string();
  if (text.size() >= sizeof address->sun_path)
    text = "/proc/self/fd/" + std::to_string(dirFd) + "/" + path.filename().string();
  if (text.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, text.c_str(), text.size() + 1);
  return true;
}

void Tell(int fd, const std::string& text) {
  if (fd < 0) return;
  const std::string line = text + "\n";
  (void)!::write(fd, line.data(), line.size());
}

class Log {
 public:
  explicit Log(const fs::path& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  ~Log() {
    if (fd_ >= 0) ::close(fd_);
  }
  void Line(const std::string& text) {
    if (fd_ < 0) return;
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::localtime_r(&now, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    const std::string line = std::string(stamp) + " [" + std::to_string(::getpid()) + "] " + text + "\n";
    (void)!::write(fd_, line.data(), line.size());
  }

 private:
  int fd_ = -1;
};

}  // namespace

int RunService(const ServiceOptions& options) {
  const fs::path dir = fs::absolute(options.dir);
  std::error_code ec;
  fs::create_directories(dir, ec);
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    Tell(options.readyFd, "error: " + dir.string() + ": " + std::strerror(errno));
    return 1;
  }
  // One service per directory: its lock is held for its life.
  const int lock = ::openat(dirFd, kServiceLock, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock < 0) {
    Tell(options.readyFd,
         "error: " + (dir / kServiceLock).string() + ": " + std::strerror(errno) +
             (errno == EROFS || errno == EACCES ? " (the state directory cannot be written)" : ""));
    return 1;
  }
  if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    Tell(options.readyFd, "busy");
    return 0;
  }
  Log log(dir / kServiceLog);
  // Signals are taken in the main loop, never on a serving thread.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const int signals = ::signalfd(-1, &stops, SFD_CLOEXEC);

  Lines lines;
  std::unique_ptr<Machine> machine = Machine::Load(dir, &lines);
  for (const std::string& line : lines) log.Line(line);
  // What the load met is told to the process that started the service.
  if (machine) {
    for (const std::string& line : lines) Tell(options.readyFd, "note: " + line);
  }
  if (!machine) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "; ") + line;
    Tell(options.readyFd, "error: " + (text.empty() ? "the machine cannot start" : text));
    return 1;
  }
  const fs::path socketPath = dir / kServiceSocket;
  sockaddr_un address{};
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0 || !SocketAddress(socketPath, dirFd, &address)) {
    Tell(options.readyFd, "error: " + socketPath.string() + ": cannot make the socket");
    return 1;
  }
  // A socket left by a service that died is stale: the lock says no other runs.
  ::unlinkat(dirFd, kServiceSocket, 0);
  const mode_t mask = ::umask(077);
  const int bound = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::umask(mask);
  if (bound != 0 || ::listen(listener, 64) != 0) {
    Tell(options.readyFd, "error: " + socketPath.string() + ": " + std::strerror(errno));
    return 1;
  }
  ::fchmodat(dirFd, kServiceSocket, 0600, 0);
  struct stat socketInfo {};
  ::fstatat(dirFd, kServiceSocket, &socketInfo, AT_SYMLINK_NOFOLLOW);

  ServiceCore core(std::move(machine));
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  core.OnChange([&] { (void)!::write(wake[1], "x", 1); });
  log.Line("serving " + dir.string() + " on " + socketPath.string());
  Tell(options.readyFd, "ok");
  if (options.readyFd >= 0) ::close(options.readyFd);

  auto lastClient = std::chrono::steady_clock::now();
  bool running = true;
  while (running) {
    int timeout = -1;
    if (options.idle.count() > 0 && core.Clients() == 0) {
      const auto left = options.idle - (std::chrono::steady_clock::now() - lastClient);
      timeout = static_cast<int>(
          std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
    }
    pollfd fds[3] = {{listener, POLLIN, 0}, {signals, POLLIN, 0}, {wake[0], POLLIN, 0}};
    const int ready = ::poll(fds, 3, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (core.Clients() > 0) lastClient = std::chrono::steady_clock::now();
    if (ready == 0 && options.idle.count() > 0 && core.Clients() == 0) {
      log.Line("no client for " + std::to_string(options.idle.count()) + " s: ending");
      break;
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info{};
      (void)!::read(signals, &info, sizeof info);
      log.Line("signal " + std::to_string(info.ssi_signo) + ": ending");
      break;
    }
    if (fds[2].revents & POLLIN) {
      char drained[64];
      while (::read(wake[0], drained, sizeof drained) > 0) {
      }
      lastClient = std::chrono::steady_clock::now();
      if (core.StopRequested()) {
        log.Line("asked to stop: ending");
        running = false;
      }
    }
    if (running && (fds[0].revents & POLLIN)) {
      const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ucred peer{};
      socklen_t size = sizeof peer;
      if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid()) {
        log.Line("refused a client of uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) +
                 ")");
        Writer refusal(Kind::kReply);
        refusal.U32(ERROR_ACCESS_DENIED).U64(0).U64(0);
        wire::SendAll(client, refusal.Finish());
        ::close(client);
        continue;
      }
      core.ServeOnThread(client);
    }
  }
  // No new client; those connected see the end of their sockets.
  ::close(listener);
  struct stat now {};
  if (::fstatat(dirFd, kServiceSocket, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == socketInfo.st_ino)
    ::unlinkat(dirFd, kServiceSocket, 0);
  core.ShutdownAll();
  core.AwaitServed();
  Lines problems;
  if (!core.Save(&problems)) {
    for (const std::string& line : problems) log.Line("not saved: " + line);
  }
  log.Line("ended");
  return 0;
}

}  // namespace hx::sim
