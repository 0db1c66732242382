// A user-mode model of the adapter's driver, reachable as a device through the
// platform layer. It honours the driver's side of the request channel and
// records everything it receives, so tests can check requests byte for byte.
//
// Unscripted, it behaves as the adapter in its radio world: a scan request is
// taken (the general scan with status 0, the directed ones STATUS_PENDING)
// and completes with a scan-done event (code 6) a little later;
// a join (an SSID set) is answered STATUS_PENDING and settles a little later
// with a connection event: 1 when the network takes the station, 0 when it is
// absent or refuses the station's authentication mode or privacy, 4 when the
// WEP key does not match. A disassociation drops the association and reports
// code 0. Every parameter it supports answers its default (kDefaultWords in
// sim_adapter.cpp) until it is set; sets become the OID's stored answer; keys, PMKIDs and
// transmitted EAPOL frames are also kept in the world's station record.
// Every transmitted frame is reported sent (code 133); an access point that
// uses 802.1X or a pre-shared key answers with received-frame records (code
// 132: a 32-bit length, then the Ethernet frame), starting right after the
// join's code 1. An 802.1X access point relays the station's EAP to its
// RADIUS server and the server's answers back as they come; once the server
// accepts the station, the 4-way handshake follows on the PMK it sent. An
// access point sends a key message again when its answer does not come
// within the retry interval, and after its last attempt disassociates the
// station (code 0).
// A scripted OID answers as its script says and has no effect on the world.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/capture.h"
#include "sim/radio_world.h"
#include "sim/radius_link.h"
#include "sim/timeline.h"

namespace hx::sim {

using Bytes = std::vector<uint8_t>;

inline constexpr const char* kDevicePath = "\\\\.\\HalvexDev0";
inline constexpr uint32_t kStatusPending = 259;
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001;

// One control call as the driver saw it.
struct ControlCall {
  uint32_t code = 0;
  uint32_t inLength = 0;
  uint32_t outLength = 0;
  Bytes input;       // the input buffer as it arrived
  uint64_t tag = 0;  // its handle's tag (OpenPort)
  uint32_t Oid() const;
  Bytes Payload() const;  // input bytes after the OID word
};

// How the driver answers requests for one OID (a test's script).
struct Response {
  enum class Kind {
    kAnswer,          // query: succeed with `answer`; set: succeed, word 0 = status
    kFail,            // fail the call, word 0 = status, `bytesReturned` (default 4)
    kPendingReply,    // query: fail with 259, then deliver `answer` as a code-7 record
    kPendingNoReply,  // query: fail with 259 and never answer
  };
  Kind kind = Kind::kAnswer;
  uint32_t status = 0;
  std::optional<Bytes> answer;            // default: the adapter's own answer
  std::optional<uint32_t> bytesReturned;  // override of the reported count
  bool pendingOnce = false;               // drop the script after one use

  static Response Answer(Bytes data) { return {Kind::kAnswer, 0, std::move(data), std::nullopt, false}; }
  static Response Word(uint32_t value);
  static Response Fail(uint32_t status, uint32_t bytesReturned = 4) {
    return {Kind::kFail, status, std::nullopt, bytesReturned, false};
  }
  // A failed call that still wrote an answer (bytesReturned above 4).
  static Response FailWithData(uint32_t status, Bytes data, uint32_t bytesReturned) {
    return {Kind::kFail, status, std::move(data), bytesReturned, false};
  }
  static Response SetStatus(uint32_t status) {
    return {Kind::kAnswer, status, std::nullopt, std::nullopt, false};
  }
  static Response Pending(Bytes reply) {
    return {Kind::kPendingReply, kStatusPending, std::move(reply), std::nullopt, false};
  }
  static Response PendingForever() {
    return {Kind::kPendingNoReply, kStatusPending, std::nullopt, std::nullopt, false};
  }
};

// Sets an event a port's opener registered, given the 4-byte value it handed
// over: in this process, SetEvent on it; for a port of another process, a
// message to it.
using PortSignal = std::function<void(uint32_t event)>;

class SimAdapter : public platform::Device, public std::enable_shared_from_this<SimAdapter> {
 public:
  static std::shared_ptr<SimAdapter> Create();
  ~SimAdapter() override;

  // A handle of the adapter's own, as each CreateFileA of its path gets one:
  // its requests, the events registered on it, and its queue of event
  // records. Every driver event goes to every handle open at the time; the
  // answer to a handle's pending request goes to that handle alone. Requests
  // made on the adapter itself (Control) use a handle of their own, made on
  // first use.
  // `tag` marks the handle's requests in the log (a client's, in a service).
  std::shared_ptr<platform::Device> OpenPort(PortSignal signal = {}, uint64_t tag = 0);
  std::shared_ptr<platform::Device> Open() override { return OpenPort(); }
  size_t OpenPorts() const;

  // Makes the adapter reachable under `path` (and removes it again).
  void Install(const std::string& path = kDevicePath);
  void Uninstall();

  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override;

  // ---- instrument --------------------------------------------------------
  std::vector<ControlCall> Calls() const;
  std::vector<ControlCall> CallsFor(uint32_t oid) const;
  void ClearCalls();
  // The log keeps the last this many calls: a driver that runs for long (a
  // machine's service, a watch polling it) would otherwise grow without end.
  static constexpr size_t kLoggedCalls = 20000;
  // Stops (or resumes) logging calls: a benchmark's thousands of whole-area
  // fetches would otherwise fill the log.
  void KeepCallLog(bool on);
  // Keeps the payloads of key requests (WEP keys, keys, PMKIDs, quick-setup
  // security) and transmitted EAPOL frames in the log as they came; by
  // default they are logged as zeros, so no secret outlives its request in a
  // driver that runs for long.
  void KeepSecretsInLog(bool keep);
  void Script(uint32_t oid, Response response);
  void ClearScript(uint32_t oid);

  // Queues a driver event record and signals the notify event.
  void InjectEvent(uint32_t code, const Bytes& data = {});
  // The next fetch returns exactly these bytes as the event area.
  void InjectRawArea(Bytes area);
  // The same for an area handed over again and again, without a copy.
  void InjectRawArea(std::shared_ptr<const Bytes> area);
  // Register reads are answered later, each with its register number + 1.
  void SetPendingRegisterEcho(bool on);
  // Makes the driver refuse (or accept again) the two event registrations.
  void RefuseRegistrations(bool refuse);
  // The adapter goes away: the exit event is signalled, requests fail.
  void Remove();
  // How long a scan and a join take before their event is reported.
  void SetDelays(std::chrono::milliseconds scan, std::chrono::milliseconds join);
  // Runs `hook` on the requesting thread as each query or set request
  // arrives, before the adapter handles it (null: none). It may inject events.
  void OnRequest(std::function<void(uint32_t oid)> hook);
  // The radio is switched by hand (its switch, not a request): the driver
  // reports code 8 (on) or 9 (off).
  void SwitchRadio(bool on);

  // The events of the handle that registered last.
  HANDLE NotifyEvent() const;
  HANDLE ExitEvent() const;

  // How long a WPA2-PSK access point waits for the answer to a key message
  // before it sends the message again.
  void SetHandshakeRetry(std::chrono::milliseconds interval);
  // How long an 802.1X access point waits for its RADIUS server's answer
  // before it sends the request again, and how often it sends it in all.
  void SetRadiusTiming(std::chrono::milliseconds interval, unsigned attempts);
  // The associated WPA2-PSK access point starts a group key handshake with a
  // new group key; false when it has none to run (no completed handshake).
  bool RekeyGroup();
  // Traffic flows between the station and its WPA2-PSK access point: the
  // handshake completed and the driver holds the pairwise key the access
  // point derived.
  bool PortOpen() const;

  // Writes every frame the adapter carries (EAPOL and pre-authentication
  // frames, transmitted and received) to a pcap file at `path` (Ethernet
  // link type), replacing it and any capture running; false, with *error
  // set when given, if the file cannot be created.
  bool StartCapture(const std::string& path, std::string* error);
  void StopCapture();

  // ---- the adapter's own state ---------------------------------------------
  // Stored answer of a query OID (sets of the same OID replace it).
  void SetValue(uint32_t oid, Bytes value);
  void SetWord(uint32_t oid, uint32_t value);
  std::optional<Bytes> Value(uint32_t oid) const;
  std::optional<uint32_t> Word(uint32_t oid) const;
  // Every stored answer, by OID.
  std::map<uint32_t, Bytes> Values() const;
  // The access points, the current association, counters and registers that
  // answer every query no script or stored value answers.
  void SetWorld(RadioWorld world);
  // The networks in range change; a dropped association is reported (code 0).
  void ReplaceAccessPoints(std::vector<AccessPoint> points);
  RadioWorld World() const;

 private:
  struct Port;
  class PortDevice;
  SimAdapter();
  bool ControlOn(const std::shared_ptr<Port>& port, uint32_t code, void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned, uint32_t* error);
  void ClosePort(const std::shared_ptr<Port>& port);
  std::shared_ptr<Port> DefaultPort();
  bool Query(Port& port, uint32_t oid, uint8_t* buffer, uint32_t size, uint32_t* returned, uint32_t* error);
  bool Set(uint32_t oid, uint8_t* buffer, uint32_t size, uint32_t* error);
  bool Command(uint32_t oid, uint8_t* buffer, uint32_t size);
  void FinishJoin(const std::string& ssid);
  // An EAPOL transmit request's payload: reported sent, then shown to the
  // access point's authenticator.
  void TransmitLocked(const uint8_t* payload, uint32_t size);
  // Queues one received-frame record for each frame, in order.
  void DeliverFramesLocked(const std::vector<Bytes>& frames);
  // Sets the retransmission timer the access point's handshake waits on.
  void ArmAuthenticatorLocked();
  // Sends what the access point wants of its RADIUS server, if anything.
  void RelayToServerLocked();
  void OnRadiusAnswer(RadiusAnswer answer);
  MacAddress OwnAddressLocked() const;
  void ReportLinkLocked(std::optional<uint32_t> code);
  std::optional<uint32_t> WordLocked(uint32_t oid) const;
  Bytes FetchRecords(Port& port, uint32_t capacity);
  void SignalRestLocked(const Port& port) const;
  // Queues a record for every open handle, or for `port` alone.
  void QueueRecordLocked(uint32_t code, const Bytes& data);
  void QueueRecordLocked(Port& port, uint32_t code, const Bytes& data) const;
  void SignalLocked(const Port& port, uint32_t event) const;

  mutable std::mutex mutex_;
  std::string path_;
  bool removed_ = false;
  bool logCalls_ = true;
  bool keepSecrets_ = false;
  bool refuseRegistrations_ = false;
  bool pendingRegisterEcho_ = false;
  std::vector<std::shared_ptr<Port>> ports_;  // open handles
  std::shared_ptr<Port> defaultPort_;         // the adapter's own, once used
  uint32_t lastNotifyEvent_ = 0;              // the 4-byte handle values registered last
  uint32_t lastExitEvent_ = 0;
  std::deque<ControlCall> calls_;  // the last kLoggedCalls
  std::map<uint32_t, Response> scripts_;
  std::function<void(uint32_t)> requestHook_;
  std::map<uint32_t, Bytes> values_;
  std::shared_ptr<const Bytes> rawArea_;  // for the next fetch on any handle
  RadioWorld world_ = RadioWorld::Default();
  std::chrono::milliseconds scanDelay_{20};
  std::chrono::milliseconds joinDelay_{10};
  // A real access point's one second, shortened for the simulation.
  std::chrono::milliseconds handshakeRetry_{200};
  std::optional<uint64_t> armedTicket_;
  PcapWriter capture_;
  // Last: its actions use the members above, so it stops before they go.
  Timeline timeline_;
  // Its answers come on its own thread, into the members above: it goes first.
  RadiusLink radius_{[this](RadiusAnswer answer) { OnRadiusAnswer(std::move(answer)); }};
};

// The requests as text, one per line: the control code's name, the buffer
// sizes, the OID and the first 16 bytes of the payload.
std::string RequestLogText(const std::vector<ControlCall>& calls);

// Little-endian word helpers for building and reading driver buffers.
Bytes WordBytes(uint32_t value);
uint32_t ReadWord(const uint8_t* p);

}  // namespace hx::sim
