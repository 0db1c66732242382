// Test control of the stand-in supplicant toolkit, exported beside its ODSTK_*
// calls. Tests (and the utility, when it runs against the stand-in) use it to
// script results, deliver events on a link's thread and read back every call
// the toolkit received. All calls are thread-safe.
#pragma once

#include "supplicant/odstk.h"

#ifdef __cplusplus
#include <string>
#include <vector>
#endif

#define ODSIM_API ODSTK_API

// Handle kinds for ODSIM_LiveHandles.
#define ODSIM_KIND_ANY 0
#define ODSIM_KIND_CONTEXT 1
#define ODSIM_KIND_LINK 2
#define ODSIM_KIND_IDENTITY 3

// Results of the delivery calls.
#define ODSIM_DELIVERED 0
#define ODSIM_NOT_A_LINK 1      // null, released or not a link; or the link was terminated
#define ODSIM_TIMED_OUT 2       // not delivered within the bound; the event was withdrawn
#define ODSIM_ON_LINK_THREAD 3  // a synchronous post from the link's own thread would never finish

// Byte fields of the recorded network information.
#define ODSIM_FIELD_PASSPHRASE 0  // without its NUL
#define ODSIM_FIELD_SSID 1
#define ODSIM_FIELD_REQUEST_IES 2
#define ODSIM_FIELD_BEACON_IES 3
#define ODSIM_FIELD_RESPONSE_IES 4

// The last network information a link was given (accepted or not), copied.
typedef struct _ODSIM_NETWORK_INFO {
  int Result;  // what ODSTK_LINK_SetNetworkInfoA returned
  ULONG Size;
  ULONG NetworkKind;
  ULONG Protocol;
  ULONG Use8021X;
  ULONG KeyManagement;
  ULONG Cipher;
  UCHAR OwnAddress[6];
  UCHAR Bssid[6];
  ULONG HasPassphrase;
  ULONG SsidLength;  // the lengths as given; bytes were copied only behind non-null pointers
  ULONG RequestIesLength;
  ULONG BeaconIesLength;
  ULONG ResponseIesLength;
} ODSIM_NETWORK_INFO;

#ifdef __cplusplus
extern "C" {
#endif

// Back to a fresh toolkit: no handles (running link threads are told to stop),
// no records, no scripts, no trace callback, level 0, nothing held, the
// supplicant engine off.
ODSIM_API void ODSIM_Reset(void);
// 1 between ODSTK_Initialize and ODSTK_Terminate.
ODSIM_API int ODSIM_ToolkitInitialized(void);

// The next `times` calls named `call` (e.g. "ODSTK_CreateContext") return
// `result`; times 0 keeps it until reset or rescripted. A non-zero result
// makes the Create calls fail and yield a null handle. Returns 1 for a name
// that has no int result.
ODSIM_API int ODSIM_ScriptResult(const char* call, int result, ULONG times);

// Every call received, in order, as text: Name(arg, ...). Handles appear as
// context#N, link#N, identity#N (N counts creations since reset), null or
// stale; texts quoted; byte blocks and lists in brackets, bytes as two hex
// digits. ODSIM_GetCall returns the size the text needs with its NUL (0 past
// the end) and copies as much as fits.
ODSIM_API ULONG ODSIM_CallCount(void);
ODSIM_API ULONG ODSIM_GetCall(ULONG index, char* buffer, ULONG size);
// N when the call was made on the thread running link#N's ODSTK_LINK_Thread, else 0.
ODSIM_API ULONG ODSIM_GetCallLinkThread(ULONG index);
// The number of the thread that made a call; ODSIM_CurrentThread is the
// caller's. Numbers are unique in the process.
ODSIM_API ULONG ODSIM_GetCallThread(ULONG index);
ODSIM_API ULONG ODSIM_CurrentThread(void);
ODSIM_API void ODSIM_ClearCalls(void);
// Passwords appear in the record as <secret> (null as null) unless a test
// asks for them (1; 0 again after a reset): a record that lasts must not
// keep what the call was given to use.
ODSIM_API void ODSIM_RecordSecrets(int on);
// Calls that named a null, released or wrong-kind handle.
ODSIM_API ULONG ODSIM_InvalidHandleCalls(void);

// Handles.
ODSIM_API ULONG ODSIM_LiveHandles(ULONG kind);
// Waits until at most `count` handles of `kind` are live: 0 then, else 1.
ODSIM_API int ODSIM_WaitLiveHandles(ULONG kind, ULONG count, ULONG timeoutMs);
ODSIM_API ULONG ODSIM_RefCount(ODSTK_HANDLE handle);  // 0 unless live
ODSIM_API ULONG ODSIM_DescribeHandle(ODSTK_HANDLE handle, char* buffer, ULONG size);
// The live handle of `kind` numbered `ordinal` (kind#ordinal; 0: the newest
// one), or null: how a program that did not create a handle (the library
// did) reaches it.
ODSIM_API ODSTK_HANDLE ODSIM_FindHandle(ULONG kind, ULONG ordinal);

// Link state: 1/0, or -1 when `link` is not a live link.
ODSIM_API int ODSIM_PortState(ODSTK_HANDLE link);
ODSIM_API int ODSIM_LinkThreadRunning(ODSTK_HANDLE link);
// 1 on a thread that is running some link's ODSTK_LINK_Thread.
ODSIM_API int ODSIM_OnLinkThread(void);
// Threads inside ODSTK_LINK_Thread right now, freed links' included; the wait
// returns 0 once there are none.
ODSIM_API ULONG ODSIM_RunningLinkThreads(void);
ODSIM_API int ODSIM_WaitLinkThreadsStopped(ULONG timeoutMs);
// 0 and the record; 1 when the link is not live or was never given any.
ODSIM_API int ODSIM_GetNetworkInfo(ODSTK_HANDLE link, ODSIM_NETWORK_INFO* info);
// The bytes of one ODSIM_FIELD_*: returns their count, copies as much as fits.
ODSIM_API ULONG ODSIM_GetNetworkInfoBytes(ODSTK_HANDLE link, ULONG field, void* buffer, ULONG size);

// Delivers `event` in place to the link's callback on the link's thread and
// returns once the callback has returned (answers written into the record are
// then visible to the caller). Waits at most timeoutMs for the thread.
ODSIM_API int ODSIM_PostEvent(ODSTK_HANDLE link, void* event, ULONG timeoutMs);
// Queues a copy of `length` bytes (8-byte aligned) and returns at once.
ODSIM_API int ODSIM_QueueEvent(ODSTK_HANDLE link, const void* event, ULONG length);
// Waits until the link has nothing queued or in delivery.
ODSIM_API int ODSIM_WaitIdle(ODSTK_HANDLE link, ULONG timeoutMs);

// Calls the trace callback on the calling thread, whatever the trace level
// (the level set is kept for ODSIM_TraceLevel). 0 delivered, 1 no callback.
ODSIM_API int ODSIM_EmitTrace(ULONG level, ULONG value, const char* text, const void* data, ULONG length);
// The same, delivered on the link's thread like ODSIM_PostEvent.
ODSIM_API int ODSIM_PostTrace(ODSTK_HANDLE link, ULONG level, ULONG value, const char* text, const void* data,
                              ULONG length, ULONG timeoutMs);
ODSIM_API ULONG ODSIM_TraceLevel(void);

// Switches the supplicant engine on (1) or off (0; so after ODSIM_Reset).
// While on, a link whose port is up and whose accepted network information
// says Use8021X 1 runs 802.1X itself: each ODSTK_LINK_ReceiveEapol body is
// copied and handled on the link's thread, which raises the link events of
// the exchange there, one at a time:
//   Request/Identity  15 and 1 (state 2) when it opens a session; then 8 with
//                     the identity (TTLS: the anonymous one, when set). A
//                     method this build cannot run (the TLS-based ones
//                     without a TLS library) ends it at once: 2 (state 3)
//   method requests   8 for each answer: the identity's outer method (its
//                     EAP type list for method 0: 13 EAP-TLS, 25 PEAPv0, 21
//                     EAP-TTLS, 17 LEAP), a Nak naming it for any other. The
//                     TLS-based methods check the server's certificate
//                     against the CAs ODSIM_TrustCertificateFile gave, then
//                     ask with 14 (answer word 0: go on). PEAP runs
//                     EAP-MSCHAPv2 or GTC inside as its method-25 list allows
//                     (an empty list allows both), GTC asking with 13 when the
//                     identity's NoPasswordInGTC for method 25 is 1 (the
//                     answer blob is the response); TTLS sends PAP or
//                     MS-CHAP-V2 by the identity's inner protocol (1 PAP,
//                     4 MS-CHAP-V2, or ODSIM_SetTtlsInnerProtocol's); EAP-TLS
//                     presents the store's certificate whose thumbprint the
//                     identity's certificate names
//   Success           2 (state 7) once the method finished; the 4-way
//                     handshake then runs on the first 32 bytes of the MSK
//                     (LEAP: its 16-byte key) as below, without its own 2
//   Failure, or a method that fails
//                     2 (state 3), and a trace line saying why; ends it
// A link whose accepted network information says pre-shared key
// (Use8021X 0, KeyManagement 1, Cipher 3 or 2, and a pass phrase) runs the
// handshakes on the PMK of pass phrase and SSID instead. The 4-way handshake
// on EAPOL-Key frames (message 2 carries the RSN or WPA element of the
// association request), the group key handshake for each rekey:
//   message 1         1 (state 3) at the first of a session; then 8
//   message 3         2 (state 7), 8 (message 4), 6 (pairwise key: index
//                     0xC0000000, the TK), 6 (group key: index 0x20000000 |
//                     key ID, the RSC of the frame, the GTK), 1 (state 4), 3;
//                     a retransmitted message 3 only brings 8 again. Its RSN
//                     element must be the one the network announced (its
//                     beacon or probe response; the association's when the
//                     scan list had none), or 16 ends the link
//   group message 1   6 (group key, unless it is the one installed), 8
// WPA with TKIP (key descriptor version 1, HMAC-MD5 MICs): message 3 carries
// the WPA element and no group key, so the group key comes with the group
// key handshake that follows, and 1 (state 4) and 3 with it.
//   time-out          no message 3 within the handshake time-out from the
//                     port coming up (802.1X: from its Success): 2 (state
//                     3) once a message 2 was sent (a wrong pass phrase),
//                     else 1 (state 7)
// Frames that do not read as such, fail their MIC or replay a counter are
// dropped with a trace line. Every accepted network information starts the
// handshake afresh.
// ODSTK_LINK_ReceiveEapol then returns 1 for a link the engine cannot serve
// (port down, neither 802.1X nor pre-shared-key information, terminated). A
// port down ends the session and drops its frames not yet handled. Trace
// lines: 3 for each EAPOL body received or sent (the body as data), 4 for
// each EAP or handshake step, 1 for a failure.
ODSIM_API void ODSIM_EnableSupplicant(int on);
// The handshake time-out of pre-shared-key links (2000 ms after a reset).
ODSIM_API void ODSIM_SetHandshakeTimeout(ULONG milliseconds);
// The stand-in's certificate stores, as a real toolkit has the system's.
// A CA certificate (PEM) a server's certificate may chain to: 0, or 1 when
// the file is not a certificate. A null path forgets every CA trusted so far.
ODSIM_API int ODSIM_TrustCertificateFile(const char* path);
// The station's certificate and unencrypted key (PEM) for EAP-TLS: 0 and its
// SHA-1 thumbprint (what ODSTK_IDENTITY_SetUserCertificate names) in
// `thumbprint`, or 1 when either file does not read or the key is not the
// certificate's. `why` (may be null) gets the reason, cut to its size.
ODSIM_API int ODSIM_AddCertificate(const char* certificateFile, const char* keyFile, UCHAR thumbprint[20],
                                   char* why, ULONG whySize);
// The TTLS inner protocol every identity runs (1 PAP, 4 MS-CHAP-V2), in place
// of the one it was given; 0 (after a reset): the identity's.
ODSIM_API void ODSIM_SetTtlsInnerProtocol(ULONG protocol);

// Blobs made by ODSTK_AllocBlob that the toolkit still holds: the engine frees
// the answers it read; blobs of posted events stay until reset or terminate.
ODSIM_API ULONG ODSIM_LiveBlobs(void);

// While held, ODSTK_ProcessCallbackA blocks its caller (a link thread stuck
// in a callback). ODSIM_WaitHeld returns 0 once some caller is blocked.
ODSIM_API void ODSIM_HoldProcessCallback(int hold);
ODSIM_API int ODSIM_WaitHeld(ULONG timeoutMs);

#ifdef __cplusplus
}

namespace odsim {

inline std::string Call(ULONG index) {
  std::string text(ODSIM_GetCall(index, nullptr, 0), '\0');
  if (text.empty()) return text;
  ODSIM_GetCall(index, text.data(), static_cast<ULONG>(text.size()));
  text.pop_back();
  return text;
}

inline std::vector<std::string> Calls() {
  std::vector<std::string> calls;
  for (ULONG i = 0, n = ODSIM_CallCount(); i < n; ++i) calls.push_back(Call(i));
  return calls;
}

// The calls made on the calling thread only.
inline std::vector<std::string> CallsOnThisThread() {
  std::vector<std::string> calls;
  const ULONG self = ODSIM_CurrentThread();
  for (ULONG i = 0, n = ODSIM_CallCount(); i < n; ++i) {
    if (ODSIM_GetCallThread(i) == self) calls.push_back(Call(i));
  }
  return calls;
}

// The calls' names only, without their arguments.
inline std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const std::string& call : Calls()) names.push_back(call.substr(0, call.find('(')));
  return names;
}

inline std::string Describe(ODSTK_HANDLE handle) {
  std::string text(ODSIM_DescribeHandle(handle, nullptr, 0), '\0');
  ODSIM_DescribeHandle(handle, text.data(), static_cast<ULONG>(text.size()));
  text.pop_back();
  return text;
}

inline std::vector<unsigned char> NetworkInfoBytes(ODSTK_HANDLE link, ULONG field) {
  std::vector<unsigned char> bytes(ODSIM_GetNetworkInfoBytes(link, field, nullptr, 0));
  ODSIM_GetNetworkInfoBytes(link, field, bytes.data(), static_cast<ULONG>(bytes.size()));
  return bytes;
}

}  // namespace odsim
#endif
