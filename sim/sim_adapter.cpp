#include "sim/sim_adapter.h"

#include "platform/wipe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Halvex.h"
#include "frame/oids.h"

namespace hx::sim {
namespace {

constexpr uint32_t kStatusNotSupported = 0xC00000BB;
constexpr uint32_t kDisconnectedCode = 0;
constexpr uint32_t kScanDoneCode = 6;
constexpr uint32_t kPendingReplyCode = 7;
constexpr uint32_t kRadioOnCode = 8;
constexpr uint32_t kRadioOffCode = 9;
constexpr uint32_t kFrameReceivedCode = 132;
constexpr uint32_t kFrameSentCode = 133;
constexpr uint32_t kMediaConnected = 0;
constexpr uint32_t kMediaDisconnected = 1;
constexpr uint32_t kPendingReplyBytes = 100;

void WriteWord(uint8_t* p, uint32_t value) {
  std::memcpy(p, &value, 4);
}

// Requests whose payload is key material or may hold a secret (an EAPOL
// frame carries a GTC password in clear): never kept as the OID's answer,
// and in the log only while a test asks for it.
bool CarriesSecret(uint32_t oid) {
  switch (oid) {
    case OID_802_11_ADD_WEP:
    case OID_802_11_ADD_KEY:
    case OID_802_11_PMKID:
    case OID_HALVEX_QS_SECURITY_INFO:
    case OID_HALVEX_EAPOL_TX:
      return true;
    default:
      return false;
  }
}

Bytes Text(const char* text) {
  const size_t n = std::strlen(text);
  return Bytes(text, text + n + 1);
}

}  // namespace

Bytes WordBytes(uint32_t value) {
  Bytes b(4);
  WriteWord(b.data(), value);
  return b;
}

uint32_t ReadWord(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

uint32_t ControlCall::Oid() const {
  return input.size() >= 4 ? ReadWord(input.data()) : 0;
}

Bytes ControlCall::Payload() const {
  return input.size() > 4 ? Bytes(input.begin() + 4, input.end()) : Bytes{};
}

Response Response::Word(uint32_t value) {
  return Answer(WordBytes(value));
}

// One open handle's part of the driver.
struct SimAdapter::Port {
  uint64_t tag = 0;
  std::vector<Bytes> records;  // queued event records, each with its header
  uint32_t notifyEvent = 0;    // the 4-byte handle values its opener registered
  uint32_t exitEvent = 0;
  PortSignal signal;
};

class SimAdapter::PortDevice final : public platform::Device {
 public:
  PortDevice(std::shared_ptr<SimAdapter> adapter, std::shared_ptr<Port> port)
      : adapter_(std::move(adapter)), port_(std::move(port)) {}
  ~PortDevice() override { adapter_->ClosePort(port_); }
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override {
    return adapter_->ControlOn(port_, code, in, inLength, out, outLength, returned, error);
  }

 private:
  std::shared_ptr<SimAdapter> adapter_;
  std::shared_ptr<Port> port_;
};

std::shared_ptr<platform::Device> SimAdapter::OpenPort(PortSignal signal, uint64_t tag) {
  auto port = std::make_shared<Port>();
  port->tag = tag;
  port->signal = std::move(signal);
  {
    std::lock_guard lock(mutex_);
    ports_.push_back(port);
  }
  return std::make_shared<PortDevice>(shared_from_this(), std::move(port));
}

void SimAdapter::ClosePort(const std::shared_ptr<Port>& port) {
  std::lock_guard lock(mutex_);
  std::erase(ports_, port);
}

size_t SimAdapter::OpenPorts() const {
  std::lock_guard lock(mutex_);
  return ports_.size();
}

std::shared_ptr<SimAdapter::Port> SimAdapter::DefaultPort() {
  std::lock_guard lock(mutex_);
  if (!defaultPort_) {
    defaultPort_ = std::make_shared<Port>();
    ports_.push_back(defaultPort_);
  }
  return defaultPort_;
}

std::shared_ptr<SimAdapter> SimAdapter::Create() {
  return std::shared_ptr<SimAdapter>(new SimAdapter());
}

namespace {

// The driver's defaults for the parameters it keeps as plain words, as it
// answers them before anything was set (the radio and the channel belong to
// the radio world).
struct DefaultWord {
  uint32_t oid;
  uint32_t value;
};
constexpr DefaultWord kDefaultWords[] = {
    {OID_GEN_MEDIA_CONNECT_STATUS, 1},  // disconnected
    {OID_GEN_HARDWARE_STATUS, 0},       // ready
    {OID_GEN_VENDOR_DRIVER_VERSION, 0x00020105},
    {OID_HALVEX_CHIP_VERSION, 0x0E2B0003},
    {OID_802_11_AUTHENTICATION_MODE, 0},  // open
    {OID_802_11_WEP_STATUS, 1},           // disabled
    {OID_802_11_INFRASTRUCTURE_MODE, 1},  // infrastructure
    {OID_802_11_POWER_MODE, 0},           // constantly awake
    {OID_802_11_FRAGMENTATION_THRESHOLD, 2346},
    {OID_802_11_RTS_THRESHOLD, 2347},     // off
    {OID_802_11_TX_ANTENNA_SELECTED, 2},  // diversity
    {OID_802_11_RX_ANTENNA_SELECTED, 2},
    {OID_HALVEX_TX_POWER, 100},  // percent
    {OID_HALVEX_PREAMBLE, 2},    // automatic
    {OID_HALVEX_WLAN_MODE, 2},   // 802.11b and g
    {OID_HALVEX_BOOST_MODE, 0},
    {OID_HALVEX_WMM_SUPPORT, 1},
    {OID_HALVEX_CHANNEL_RANGE, 0x07FF},  // channels 1 to 11
    {OID_HALVEX_SIGNAL_THRESHOLD, 0},    // no signal alarms
    {OID_HALVEX_TX_FAIL_THRESHOLD, 0},
    {OID_HALVEX_ADHOC_G_MODE, 1},
    {OID_HALVEX_CCX_OPTION, 0},
    {OID_HALVEX_REGION_CODE, 0x10},
};

}  // namespace

SimAdapter::SimAdapter() {
  for (const DefaultWord& d : kDefaultWords) values_[d.oid] = WordBytes(d.value);
  values_[OID_802_3_CURRENT_ADDRESS] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  values_[OID_GEN_VENDOR_DESCRIPTION] = Text("Halvex 802.11g Wireless Adapter");
  // The rate array as a set leaves it: all zero, the rate chosen by the driver.
  values_[OID_802_11_DESIRED_RATES] = Bytes(8, 0);
}

SimAdapter::~SimAdapter() {
  timeline_.Stop();
}

void SimAdapter::Install(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    path_ = path;
    removed_ = false;
  }
  platform::RegisterDevice(path, shared_from_this());
}

void SimAdapter::Uninstall() {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    path = path_;
  }
  if (!path.empty()) platform::UnregisterDevice(path);
}

bool SimAdapter::Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                         uint32_t* returned, uint32_t* error) {
  return ControlOn(DefaultPort(), code, in, inLength, out, outLength, returned, error);
}

bool SimAdapter::ControlOn(const std::shared_ptr<Port>& port, uint32_t code, void* in, uint32_t inLength,
                           void* out, uint32_t outLength, uint32_t* returned, uint32_t* error) {
  *returned = 0;
  *error = 0;
  auto* input = static_cast<uint8_t*>(in);
  const bool request =
      (code == IOCTL_OID_QUERY || code == IOCTL_OID_SET) && input != nullptr && inLength >= 4;
  std::function<void(uint32_t)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = requestHook_;
  }
  if (hook && request) hook(ReadWord(input));
  {
    std::lock_guard lock(mutex_);
    if (logCalls_) {
      ControlCall call{code, inLength, outLength, {}, port->tag};
      if (input != nullptr) call.input.assign(input, input + inLength);
      // The key's bytes go; what was asked, and how long, stays.
      if (!keepSecrets_ && request && CarriesSecret(ReadWord(input)))
        std::fill(call.input.begin() + 4, call.input.end(), uint8_t{0});
      calls_.push_back(std::move(call));
      if (calls_.size() > kLoggedCalls) {
        WipeSecret(calls_.front().input.data(), calls_.front().input.capacity());
        calls_.pop_front();
      }
    }
    if (removed_) {
      if (input != nullptr && inLength >= 4) WriteWord(input, kStatusUnsuccessful);
      *error = ERROR_GEN_FAILURE;
      return false;
    }
  }
  switch (code) {
    case IOCTL_REGISTER_EVENT:
    case IOCTL_REGISTER_EXIT_EVENT: {
      std::lock_guard lock(mutex_);
      if (input == nullptr || inLength < 4 || refuseRegistrations_) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
      }
      const uint32_t event = ReadWord(input);
      (code == IOCTL_REGISTER_EVENT ? port->notifyEvent : port->exitEvent) = event;
      (code == IOCTL_REGISTER_EVENT ? lastNotifyEvent_ : lastExitEvent_) = event;
      return true;
    }
    case IOCTL_OID_QUERY:
      if (input == nullptr || inLength < 4 || out != in || outLength != inLength) break;
      return Query(*port, ReadWord(input), input, inLength, returned, error);
    case IOCTL_OID_SET:
      if (input == nullptr || inLength < 4) break;
      return Set(ReadWord(input), input, inLength, error);
    default:
      break;
  }
  *error = ERROR_INVALID_PARAMETER;
  return false;
}

bool SimAdapter::Query(Port& port, uint32_t oid, uint8_t* buffer, uint32_t size, uint32_t* returned,
                       uint32_t* error) {
  std::unique_lock lock(mutex_);
  const uint32_t room = size - 4;
  std::optional<Response> script;
  if (auto it = scripts_.find(oid); it != scripts_.end()) {
    script = it->second;
    if (it->second.pendingOnce) scripts_.erase(it);
  }

  auto writeAnswer = [&](const Bytes& answer) {
    const uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(answer.size()));
    if (n != 0) std::memcpy(buffer + 4, answer.data(), n);
    return n;
  };
  auto fail = [&](uint32_t status, uint32_t count) {
    WriteWord(buffer, status);
    *returned = count;
    *error = ERROR_GEN_FAILURE;
    return false;
  };

  if (script && script->kind != Response::Kind::kAnswer) {
    if (script->kind == Response::Kind::kFail) {
      if (script->answer) writeAnswer(*script->answer);
      return fail(script->status, script->bytesReturned.value_or(4));
    }
    if (script->kind == Response::Kind::kPendingReply) {
      Bytes reply = script->answer.value_or(Bytes{});
      reply.resize(kPendingReplyBytes, 0);
      QueueRecordLocked(port, kPendingReplyCode, reply);
    }
    return fail(kStatusPending, 4);
  }

  const bool registerRead =
      oid == OID_HALVEX_RF_REGISTER || oid == OID_HALVEX_BB_REGISTER || oid == OID_HALVEX_MAC_REGISTER;
  if (registerRead && pendingRegisterEcho_ && !script && room >= 4) {
    Bytes reply(kPendingReplyBytes, 0);
    WriteWord(reply.data() + 4, ReadWord(buffer + 4) + 1);
    QueueRecordLocked(port, kPendingReplyCode, reply);
    return fail(kStatusPending, 4);
  }

  Bytes answer;
  std::shared_ptr<const Bytes> raw;  // an injected area, written as it is
  if (script && script->answer) {
    answer = *script->answer;
  } else if (oid == OID_HALVEX_EVENT_RECORDS && rawArea_) {
    raw = std::move(rawArea_);
    SignalRestLocked(port);
  } else if (oid == OID_HALVEX_EVENT_RECORDS) {
    answer = FetchRecords(port, room);
  } else if (auto it = values_.find(oid); it != values_.end()) {
    answer = it->second;
  } else if (auto world = world_.Answer(oid, buffer + 4, room)) {
    answer = std::move(*world);
  } else {
    return fail(kStatusNotSupported, 4);
  }
  const uint32_t n = writeAnswer(raw ? *raw : answer);
  *returned = script && script->bytesReturned ? *script->bytesReturned : 4 + n;
  return true;
}

bool SimAdapter::Set(uint32_t oid, uint8_t* buffer, uint32_t size, uint32_t* error) {
  std::lock_guard lock(mutex_);
  std::optional<Response> script;
  if (auto it = scripts_.find(oid); it != scripts_.end()) {
    script = it->second;
    if (it->second.pendingOnce) scripts_.erase(it);
  }
  if (!script && Command(oid, buffer, size)) return true;
  const Response response = script.value_or(Response::SetStatus(0));
  WriteWord(buffer, response.status);
  if (response.kind == Response::Kind::kFail) {
    *error = ERROR_GEN_FAILURE;
    return false;
  }
  if (response.status == 0 || response.status == kStatusPending) {
    // Registers, counters and the radio live in the radio world; other sets
    // become the OID's stored answer.
    const bool associated = world_.current.has_value();
    const bool modelled = !script && world_.Apply(oid, buffer + 4, size - 4);
    // The radio switched off by request takes the link along, unannounced.
    if (associated && !world_.current) ReportLinkLocked(std::nullopt);
    if (!script && oid == OID_HALVEX_EAPOL_TX) TransmitLocked(buffer + 4, size - 4);
    if (modelled || CarriesSecret(oid)) return true;
    values_[oid] = Bytes(buffer + 4, buffer + size);
  }
  return true;
}

// The requests a driver answers now and completes later, or that change the
// association. False for every other OID.
bool SimAdapter::Command(uint32_t oid, uint8_t* buffer, uint32_t size) {
  const uint8_t* payload = buffer + 4;
  switch (oid) {
    case OID_802_11_BSSID_LIST_SCAN:
    case OID_HALVEX_SSID_SCAN:
    case OID_HALVEX_BSSID_SCAN:
      // The adapter's own directed scans say they are under way; the general
      // one is simply taken.
      WriteWord(buffer, oid == OID_802_11_BSSID_LIST_SCAN ? 0 : kStatusPending);
      world_.Scan(oid, payload, size - 4);
      timeline_.After(scanDelay_, [this] {
        std::lock_guard lock(mutex_);
        if (!removed_) QueueRecordLocked(kScanDoneCode, {});
      });
      return true;
    case OID_802_11_SSID:
    case OID_HALVEX_SSID: {
      if (size - 4 < sizeof(NDIS_802_11_SSID)) return false;
      const uint32_t length = std::min<uint32_t>(ReadWord(payload), 32);
      std::string ssid(reinterpret_cast<const char*>(payload + 4), length);
      WriteWord(buffer, kStatusPending);
      timeline_.After(joinDelay_, [this, ssid = std::move(ssid)] { FinishJoin(ssid); });
      return true;
    }
    case OID_802_11_DISASSOCIATE:
      WriteWord(buffer, 0);
      if (world_.Disassociate()) ReportLinkLocked(kDisconnectedCode);
      return true;
    default:
      return false;
  }
}

void SimAdapter::FinishJoin(const std::string& ssid) {
  std::lock_guard lock(mutex_);
  if (removed_) return;
  const JoinOutcome outcome = world_.Join(ssid, WordLocked(OID_802_11_AUTHENTICATION_MODE).value_or(0),
                                          WordLocked(OID_802_11_WEP_STATUS).value_or(ndis::kWepDisabled));
  ReportLinkLocked(LinkCode(outcome));
  if (outcome != JoinOutcome::kConnected) return;
  DeliverFramesLocked(world_.StartAuthenticator(OwnAddressLocked()));
  ArmAuthenticatorLocked();
}

void SimAdapter::TransmitLocked(const uint8_t* payload, uint32_t size) {
  // A 16-bit frame length and two reserved bytes, then the frame.
  if (size < 4) return;
  QueueRecordLocked(kFrameSentCode, {});
  const uint32_t length = payload[0] | (payload[1] << 8);
  if (length > size - 4) return;  // the frame was cut short: no peer could read it
  capture_.Write(payload + 4, length);
  const bool associated = world_.current.has_value();
  DeliverFramesLocked(world_.AuthenticatorReceive(payload + 4, length, OwnAddressLocked()));
  if (associated && !world_.current) ReportLinkLocked(kDisconnectedCode);
  RelayToServerLocked();
  ArmAuthenticatorLocked();
}

void SimAdapter::RelayToServerLocked() {
  const std::optional<RadiusRequest> request = world_.TakeRadiusRequest();
  if (!request) return;
  // No server to ask: the answer is that there is none.
  if (std::optional<RadiusAnswer> now = radius_.Send(*request))
    DeliverFramesLocked(world_.RadiusAnswered(*now, OwnAddressLocked()));
}

void SimAdapter::OnRadiusAnswer(RadiusAnswer answer) {
  std::lock_guard lock(mutex_);
  if (removed_) return;
  DeliverFramesLocked(world_.RadiusAnswered(answer, OwnAddressLocked()));
  ArmAuthenticatorLocked();
}

void SimAdapter::ArmAuthenticatorLocked() {
  const std::optional<uint64_t> ticket = world_.AuthenticatorTimer();
  if (!ticket || armedTicket_ == ticket) return;
  armedTicket_ = ticket;
  timeline_.After(handshakeRetry_, [this, ticket = *ticket] {
    std::lock_guard lock(mutex_);
    if (removed_) return;
    const bool associated = world_.current.has_value();
    DeliverFramesLocked(world_.AuthenticatorTimedOut(ticket, OwnAddressLocked()));
    if (associated && !world_.current) ReportLinkLocked(kDisconnectedCode);
    ArmAuthenticatorLocked();
  });
}

void SimAdapter::DeliverFramesLocked(const std::vector<Bytes>& frames) {
  for (const Bytes& frame : frames) {
    capture_.Write(frame.data(), frame.size());
    world_.station.receivedFrames.push_back(frame);
    Bytes data = WordBytes(static_cast<uint32_t>(frame.size()));
    data.insert(data.end(), frame.begin(), frame.end());
    QueueRecordLocked(kFrameReceivedCode, data);
  }
}

MacAddress SimAdapter::OwnAddressLocked() const {
  MacAddress address{};
  if (auto it = values_.find(OID_802_3_CURRENT_ADDRESS); it != values_.end())
    std::copy_n(it->second.begin(), std::min<size_t>(it->second.size(), address.size()), address.begin());
  return address;
}

// Keeps the media state in step with the association, and reports `code`.
void SimAdapter::ReportLinkLocked(std::optional<uint32_t> code) {
  values_[OID_GEN_MEDIA_CONNECT_STATUS] = WordBytes(world_.current ? kMediaConnected : kMediaDisconnected);
  if (code) QueueRecordLocked(*code, {});
}

// Records left for a later fetch signal again: the library resets the
// notify event before it fetches.
void SimAdapter::SignalRestLocked(const Port& port) const {
  if (!port.records.empty()) SignalLocked(port, port.notifyEvent);
}

Bytes SimAdapter::FetchRecords(Port& port, uint32_t capacity) {
  Bytes area(4, 0);
  uint32_t count = 0;
  auto it = port.records.begin();
  // Whole records only, in order; the rest waits for the next fetch. A record
  // no area could hold is dropped, or it would stop the queue for good.
  for (; it != port.records.end(); ++it) {
    if (area.size() + it->size() > capacity) {
      if (count != 0 || 4 + it->size() <= capacity) break;
      continue;
    }
    area.insert(area.end(), it->begin(), it->end());
    ++count;
  }
  port.records.erase(port.records.begin(), it);
  WriteWord(area.data(), count);
  SignalRestLocked(port);
  return area;
}

void SimAdapter::QueueRecordLocked(uint32_t code, const Bytes& data) {
  for (const std::shared_ptr<Port>& port : ports_) QueueRecordLocked(*port, code, data);
}

void SimAdapter::QueueRecordLocked(Port& port, uint32_t code, const Bytes& data) const {
  const uint32_t padded = static_cast<uint32_t>((data.size() + 3) & ~size_t{3});
  Bytes record(8 + padded, 0);
  WriteWord(record.data(), 8 + padded);
  WriteWord(record.data() + 4, code);
  if (!data.empty()) std::memcpy(record.data() + 8, data.data(), data.size());
  port.records.push_back(std::move(record));
  SignalLocked(port, port.notifyEvent);
}

void SimAdapter::SignalLocked(const Port& port, uint32_t event) const {
  if (event == 0) return;
  if (port.signal)
    port.signal(event);
  else
    SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(event)));
}

namespace {

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

}  // namespace

std::string RequestLogText(const std::vector<ControlCall>& calls) {
  std::string text;
  char line[160];
  for (const ControlCall& call : calls) {
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

std::vector<ControlCall> SimAdapter::Calls() const {
  std::lock_guard lock(mutex_);
  return std::vector<ControlCall>(calls_.begin(), calls_.end());
}

std::vector<ControlCall> SimAdapter::CallsFor(uint32_t oid) const {
  std::lock_guard lock(mutex_);
  std::vector<ControlCall> matching;
  for (const ControlCall& call : calls_) {
    if ((call.code == IOCTL_OID_QUERY || call.code == IOCTL_OID_SET) && call.Oid() == oid)
      matching.push_back(call);
  }
  return matching;
}

void SimAdapter::KeepSecretsInLog(bool keep) {
  std::lock_guard lock(mutex_);
  keepSecrets_ = keep;
}

void SimAdapter::ClearCalls() {
  std::lock_guard lock(mutex_);
  // The log holds what was sent, keys among them: a driver's copies never
  // reach the caller's heap.
  for (ControlCall& call : calls_) WipeSecret(call.input.data(), call.input.capacity());
  calls_.clear();
}

void SimAdapter::Script(uint32_t oid, Response response) {
  std::lock_guard lock(mutex_);
  scripts_[oid] = std::move(response);
}

void SimAdapter::ClearScript(uint32_t oid) {
  std::lock_guard lock(mutex_);
  scripts_.erase(oid);
}

void SimAdapter::InjectEvent(uint32_t code, const Bytes& data) {
  std::lock_guard lock(mutex_);
  QueueRecordLocked(code, data);
}

void SimAdapter::KeepCallLog(bool on) {
  std::lock_guard lock(mutex_);
  logCalls_ = on;
}

void SimAdapter::InjectRawArea(Bytes area) {
  InjectRawArea(std::make_shared<const Bytes>(std::move(area)));
}

void SimAdapter::InjectRawArea(std::shared_ptr<const Bytes> area) {
  std::lock_guard lock(mutex_);
  rawArea_ = std::move(area);
  for (const std::shared_ptr<Port>& port : ports_) SignalLocked(*port, port->notifyEvent);
}

void SimAdapter::OnRequest(std::function<void(uint32_t oid)> hook) {
  std::lock_guard lock(mutex_);
  requestHook_ = std::move(hook);
}

void SimAdapter::SetDelays(std::chrono::milliseconds scan, std::chrono::milliseconds join) {
  std::lock_guard lock(mutex_);
  scanDelay_ = scan;
  joinDelay_ = join;
}

void SimAdapter::SwitchRadio(bool on) {
  std::lock_guard lock(mutex_);
  const bool associated = world_.current.has_value();
  world_.SetRadio(on);
  if (associated && !world_.current) ReportLinkLocked(std::nullopt);
  QueueRecordLocked(on ? kRadioOnCode : kRadioOffCode, {});
}

void SimAdapter::SetHandshakeRetry(std::chrono::milliseconds interval) {
  std::lock_guard lock(mutex_);
  handshakeRetry_ = interval;
}

void SimAdapter::SetRadiusTiming(std::chrono::milliseconds interval, unsigned attempts) {
  radius_.SetTiming(interval, attempts);
}

bool SimAdapter::RekeyGroup() {
  std::lock_guard lock(mutex_);
  const std::vector<Bytes> frames = world_.RekeyGroup(OwnAddressLocked());
  if (frames.empty()) return false;
  DeliverFramesLocked(frames);
  ArmAuthenticatorLocked();
  return true;
}

bool SimAdapter::PortOpen() const {
  std::lock_guard lock(mutex_);
  return world_.PortOpen();
}

bool SimAdapter::StartCapture(const std::string& path, std::string* error) {
  std::lock_guard lock(mutex_);
  return capture_.Open(path, error);
}

void SimAdapter::StopCapture() {
  std::lock_guard lock(mutex_);
  capture_.Close();
}

void SimAdapter::SetPendingRegisterEcho(bool on) {
  std::lock_guard lock(mutex_);
  pendingRegisterEcho_ = on;
}

void SimAdapter::RefuseRegistrations(bool refuse) {
  std::lock_guard lock(mutex_);
  refuseRegistrations_ = refuse;
}

void SimAdapter::Remove() {
  {
    std::lock_guard lock(mutex_);
    removed_ = true;
    for (const std::shared_ptr<Port>& port : ports_) SignalLocked(*port, port->exitEvent);
  }
  Uninstall();
}

HANDLE SimAdapter::NotifyEvent() const {
  std::lock_guard lock(mutex_);
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(lastNotifyEvent_));
}

HANDLE SimAdapter::ExitEvent() const {
  std::lock_guard lock(mutex_);
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(lastExitEvent_));
}

void SimAdapter::SetValue(uint32_t oid, Bytes value) {
  std::lock_guard lock(mutex_);
  values_[oid] = std::move(value);
}

void SimAdapter::SetWord(uint32_t oid, uint32_t value) {
  SetValue(oid, WordBytes(value));
}

std::optional<Bytes> SimAdapter::Value(uint32_t oid) const {
  std::lock_guard lock(mutex_);
  if (auto it = values_.find(oid); it != values_.end()) return it->second;
  return std::nullopt;
}

void SimAdapter::SetWorld(RadioWorld world) {
  std::lock_guard lock(mutex_);
  world_ = std::move(world);
}

std::map<uint32_t, Bytes> SimAdapter::Values() const {
  std::lock_guard lock(mutex_);
  return values_;
}

void SimAdapter::ReplaceAccessPoints(std::vector<AccessPoint> points) {
  std::lock_guard lock(mutex_);
  if (world_.ReplaceAccessPoints(std::move(points))) ReportLinkLocked(kDisconnectedCode);
}

RadioWorld SimAdapter::World() const {
  std::lock_guard lock(mutex_);
  return world_;
}

std::optional<uint32_t> SimAdapter::Word(uint32_t oid) const {
  std::lock_guard lock(mutex_);
  return WordLocked(oid);
}

std::optional<uint32_t> SimAdapter::WordLocked(uint32_t oid) const {
  auto it = values_.find(oid);
  if (it == values_.end() || it->second.size() < 4) return std::nullopt;
  return ReadWord(it->second.data());
}

}  // namespace hx::sim
