// Internal to the stand-in toolkit: its objects, the handle table, the call
// record and the scripts. One mutex guards all of it; functions named
// ...Locked expect it held. Callbacks into the library are always made with
// it released, so they may call the toolkit again.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "crypto/secret.h"
#include "toolkit/odsim.h"

namespace odstk_sim {

enum class Kind { kContext = ODSIM_KIND_CONTEXT, kLink = ODSIM_KIND_LINK, kIdentity = ODSIM_KIND_IDENTITY };

struct Object {
  Object(Kind k, uintptr_t v, unsigned n) : kind(k), value(v), ordinal(n) {}
  virtual ~Object() = default;
  const Kind kind;
  const uintptr_t value;   // the handle's value; never reused in a process
  const unsigned ordinal;  // the N of kind#N
  ULONG refs = 1;
};

struct Identity : Object {
  using Object::Object;
  bool initialized = false;
  // What the supplicant engine answers with; a null text is kept as empty.
  std::string userName;
  hx::crypto::SecretBytes password;
  std::string anonymous;
  std::map<ULONG, std::vector<ULONG>> eapTypes;  // by method (0: the outer list), the last list set
  ULONG ttlsInnerProtocol = 0;
  std::map<ULONG, ULONG> noPasswordInGtc;  // by method, the last flag set
  std::optional<std::array<UCHAR, 20>> certificate;
};

// A certificate of the stand-in's store, found by its SHA-1 thumbprint.
struct StoredCertificate {
  std::array<UCHAR, 20> thumbprint{};
  std::string certificateFile, keyFile;
};

struct Context : Object {
  using Object::Object;
  bool initialized = false;
  // The creation reference of every identity made in this context.
  std::vector<std::shared_ptr<Object>> identities;
};

// One piece of work for a link's thread: an event or a trace line.
struct Delivery {
  enum class State { kQueued, kRunning, kDone, kDropped };
  std::function<void()> run;
  State state = State::kQueued;
  std::unique_ptr<std::max_align_t[]> copy;  // queued events own their bytes
  bool step = false;                         // a supplicant engine step: a port down drops it
};

struct NetworkInfoRecord {
  ODSIM_NETWORK_INFO fixed{};
  hx::crypto::SecretBytes bytes[5];  // by ODSIM_FIELD_*; the pass phrase among them
};

// What the engine needs of the last network information a link accepted.
// (Outside Link: clang cannot default-construct a nested class with member
// initialisers inside its enclosing class.)
struct AcceptedNetwork {
  ULONG use8021X = 0;
  ULONG keyManagement = 0;
  ULONG cipher = 0;
  UCHAR ownAddress[6] = {};
  UCHAR bssid[6] = {};
  hx::crypto::SecretBytes passphrase;  // without its NUL
  std::vector<UCHAR> ssid, requestIes, beaconIes;
};

// The pre-shared-key handshake of a link (psk.cpp), and its EAP exchange
// (engine.cpp).
struct PskState;
struct EapState;

struct Link : Object {
  using Object::Object;
  std::shared_ptr<Object> context;
  std::shared_ptr<Object> identity;
  ODSTK_LINK_CALLBACK callback = nullptr;
  ULONG callbackValue = 0;
  bool initialized = false;
  bool terminated = false;
  bool threadRunning = false;
  bool delivering = false;
  bool portUp = false;
  ULONG resumptionTimeout = 0;
  std::deque<std::shared_ptr<Delivery>> queue;
  std::condition_variable wake;  // the link's thread waits here
  std::unique_ptr<NetworkInfoRecord> networkInfo;
  // What the supplicant engine runs on: the last network information the
  // link accepted, and its session (bumped when a port down stops it).
  std::optional<AcceptedNetwork> accepted;
  uint64_t session = 0;
  bool sessionRunning = false;  // an identity request was answered; until success, failure or port down
  // A timer of the link's thread: once the deadline passes, `onDeadline`
  // runs there as an engine step.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  std::function<void()> onDeadline;
  // Touched by the link's thread only (engine steps run nowhere else).
  std::shared_ptr<PskState> psk;
  std::shared_ptr<EapState> eap;
};

struct CallRecord {
  std::string text;
  unsigned linkThread;
  unsigned thread;
};

struct Script {
  int result;
  ULONG remaining;  // 0: until reset
};

// The library's answers (a GTC response among them): wiped when freed.
struct Blob {
  hx::WipedBlock bytes;
  size_t length;
};

// How long a pre-shared-key link waits, from its port coming up, for its
// 4-way handshake to complete.
inline constexpr ULONG kHandshakeTimeoutMs = 2000;

struct State {
  std::mutex mu;
  std::condition_variable changed;  // deliveries finished, links stopped, holds
  std::unordered_map<uintptr_t, std::shared_ptr<Object>> handles;
  uintptr_t nextValue = 0x51000;
  unsigned ordinals[4] = {};
  std::vector<CallRecord> calls;
  std::map<std::string, Script, std::less<>> scripts;
  ULONG invalidCalls = 0;
  bool initialized = false;
  ODSTK_TRACE_CALLBACK trace = nullptr;
  ULONG traceLevel = 0;
  std::deque<Blob> blobs;  // bytes made by ODSTK_AllocBlob
  bool engine = false;     // ODSIM_EnableSupplicant
  ULONG handshakeTimeoutMs = kHandshakeTimeoutMs;
  bool recordSecrets = false;  // ODSIM_RecordSecrets
  bool hold = false;
  unsigned held = 0;
  unsigned runningThreads = 0;
  // The stand-in's certificate stores: the CAs a server's certificate must
  // chain to, and the station's own certificates with their keys.
  std::vector<std::string> trustedCaFiles;
  std::vector<StoredCertificate> certificates;
  ULONG ttlsInnerOverride = 0;  // 0: as the identity says
};

State& Toolkit();
using Lock = std::unique_lock<std::mutex>;

// The link whose ODSTK_LINK_Thread runs on this thread, or null.
Link*& CurrentLinkThread();
// A number for the calling thread, unique in the process.
unsigned CurrentThreadNumber();

// Handles.
std::shared_ptr<Object> CreateLocked(Kind kind);
std::shared_ptr<Object> FindLocked(ODSTK_HANDLE handle);
// The object if it is live and of `kind`; otherwise counts an invalid call.
template <class T>
std::shared_ptr<T> FindLocked(ODSTK_HANDLE handle, Kind kind) {
  std::shared_ptr<Object> object = FindLocked(handle);
  if (!object || object->kind != kind) {
    ++Toolkit().invalidCalls;
    return nullptr;
  }
  return std::static_pointer_cast<T>(object);
}
void AddRefLocked(const std::shared_ptr<Object>& object);
void ReleaseLocked(const std::shared_ptr<Object>& object);
// Stops a link: its thread returns and what was queued is dropped.
void TerminateLinkLocked(Link& link);
// Queues `run` for the link's thread; the link must be live and running on.
std::shared_ptr<Delivery> QueueLocked(Link& link, std::function<void()> run);

// Sets the link's timer (replacing one set before) or clears it.
void ArmTimerLocked(Link& link, std::chrono::milliseconds delay, std::function<void()> run);
void DisarmTimerLocked(Link& link);

// The supplicant engine (engine.cpp). A received EAPOL body is copied and
// queued as a step on the link's thread: 0, or 1 when the link cannot take it.
int ReceiveEapolLocked(const std::shared_ptr<Link>& link, const UCHAR* body, ULONG length);
// Whether the engine answers the link's frames now.
bool ServesLocked(const Link& link);
// A network the pre-shared-key handshake serves: WPA2 with CCMP or WPA with
// TKIP, and a pass phrase.
bool IsPskNetwork(const AcceptedNetwork& network);
// Ends the link's session: its queued steps are dropped, its state reset.
void StopSessionLocked(Link& link);
// The port of a pre-shared-key link came up: its handshake's clock starts.
void StartPskSessionLocked(const std::shared_ptr<Link>& link);
// One received EAPOL-Key frame, on the link's thread.
void RunPskStep(std::shared_ptr<Link> link, uint64_t session, const std::vector<UCHAR>& frame);
// 802.1X gave the session its PMK (on the link's thread): the 4-way
// handshake may start, and its clock does.
void StartEnterpriseHandshake(const std::shared_ptr<Link>& link, uint64_t session,
                              hx::crypto::SecretBytes pmk);
void ResetLocked();

// The call record and scripts.
void RecordLocked(std::string text);
// Empties the call record, wiping what it held (a test may have asked for
// secrets in it).
void ClearCallsLocked();
int ScriptedLocked(std::string_view call, int normal);
bool IsScriptable(std::string_view call);

// Texts for the call record.
std::string HandleText(ODSTK_HANDLE handle);  // lock held
std::string QuotedText(const char* text);
std::string HexBytes(const void* data, size_t length);
std::string WordList(const ULONG* list, ULONG count);

// Exceptions never leave an entry point.
template <class R, class F>
R Guard(R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

}  // namespace odstk_sim
