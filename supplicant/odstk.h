// The supplicant toolkit's entry points (odSupp_M), as the library calls them:
// 32-bit words, opaque reference-counted handles, the standard calling
// convention on Windows and plain C names.
//
// Contract the library relies on beyond the signatures:
// - Every int result is 0 for success; non-zero is the toolkit's refusal.
// - The toolkit copies what it needs during each call (network information
//   and the bytes its pointers lead to, frame bodies, sources, texts, lists,
//   request entries): it keeps no pointer into the caller's memory once the
//   call has returned. The library frees or reuses that memory right after.
// - ODSTK_LINK_ReceiveAuthenticationEvent reads one request entry: the first,
//   its Length bytes (the library hands over only entries that lie wholly in
//   the driver's record). ODSTK_LINK_ReceivePMKIDCandidateListEvent reads
//   NumCandidates entries after the list's two words (the library hands over
//   only lists whose entries lie in the record).
// - A null or released handle is refused (non-zero result), never used.
// - ODSTK_CONTEXT_CreateIdentity's handle is owned by the context; a caller
//   that keeps the identity takes its own reference with ODSTK_AddRef and
//   drops it with ODSTK_Release.
// - ODSTK_LINK_Thread runs the link, and every callback of the link, on the
//   calling thread until ODSTK_LINK_Terminate (or the link's last release).
// - The event record a callback receives is the toolkit's; the callback may
//   write the answers its type defines (a word, a blob) and the status words
//   that requests leave in records passed in place, and nothing else. Blob
//   bytes made by ODSTK_AllocBlob belong to the toolkit, which frees them
//   once it has read the answer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "HalvexTypes.h"

#ifdef _WIN32
#define ODSTK_CALL __stdcall
#ifdef ODSTK_BUILDING
#define ODSTK_API __declspec(dllexport)
#else
#define ODSTK_API __declspec(dllimport)
#endif
#else
#define ODSTK_CALL
#define ODSTK_API __attribute__((visibility("default")))
#endif

typedef void* ODSTK_HANDLE;  // context, link or identity

// A block the toolkit fills with a copy (ODSTK_AllocBlob), inside a
// ToolkitEvent. The toolkit owns the copied bytes.
typedef struct _ODSTK_BLOB {
  ULONG Length;
  unsigned char* Data;
} ODSTK_BLOB, *PODSTK_BLOB;

// The network information a link runs on (72 bytes on 32-bit targets, where
// the pointers are 32-bit addresses). The pointed-to bytes stay the caller's.
// On 64-bit hosts the pointers are 8 bytes, naturally aligned: Passphrase 40,
// Ssid 48, SsidLength 56, RequestIes 64, RequestIesLength 72, BeaconIes 80,
// BeaconIesLength 88, ResponseIes 96, ResponseIesLength 104; 112 bytes in all.
// Size holds sizeof the record.
typedef struct _SUPP_NETWORK_INFO {
  ULONG Size;
  ULONG NetworkKind;
  ULONG Protocol;
  ULONG Use8021X;
  ULONG KeyManagement;
  ULONG Cipher;
  UCHAR OwnAddress[6];
  UCHAR Bssid[6];
  char* Passphrase;  // NUL-terminated or null
  UCHAR* Ssid;
  ULONG SsidLength;
  UCHAR* RequestIes;
  ULONG RequestIesLength;
  UCHAR* BeaconIes;
  ULONG BeaconIesLength;
  UCHAR* ResponseIes;
  ULONG ResponseIesLength;
} SUPP_NETWORK_INFO, *PSUPP_NETWORK_INFO;

#if defined(__cplusplus) && (UINTPTR_MAX == 0xFFFFFFFFu || defined(_M_IX86) || defined(__i386__))
static_assert(sizeof(SUPP_NETWORK_INFO) == 72, "SUPP_NETWORK_INFO is 72 bytes on 32-bit targets");
static_assert(offsetof(SUPP_NETWORK_INFO, OwnAddress) == 24, "OwnAddress offset");
static_assert(offsetof(SUPP_NETWORK_INFO, Passphrase) == 36, "Passphrase offset");
static_assert(offsetof(SUPP_NETWORK_INFO, RequestIes) == 48, "RequestIes offset");
static_assert(offsetof(SUPP_NETWORK_INFO, BeaconIes) == 56, "BeaconIes offset");
static_assert(offsetof(SUPP_NETWORK_INFO, ResponseIesLength) == 68, "ResponseIesLength offset");
static_assert(sizeof(ODSTK_BLOB) == 8, "ODSTK_BLOB is two words on 32-bit targets");
#endif

// ---- Link events (ToolkitEvent) ------------------------------------------------
// Every event begins with a reserved word and the event type. Words and
// records of the types below sit at the same byte offsets on every build; the
// three types that carry pointers (8, 13, 25) have records of their own, laid
// out by the C rules of the build: on 32-bit targets their pointers are 4
// bytes and the offsets are those of the 32-bit interface (asserted below); on
// 64-bit hosts the pointers are 8 bytes, naturally aligned:
//   ODSTK_EVENT_FRAME   Destination 16, Body 24, BodyLength 32 (size 40)
//   ODSTK_EVENT_ANSWER  Answer.Length 24, Answer.Data 32 (size 40)
// (32-bit: Destination 12, Body 16, BodyLength 20; Answer.Length 20, Data 24.)
#define ODSTK_EVENT_TYPE_OFFSET 4
#define ODSTK_EVENT_RECORD_OFFSET 16      // types 5, 7, 18, 19, 20: record or block
#define ODSTK_EVENT_LINK_STATE_OFFSET 16  // type 1
#define ODSTK_EVENT_WORD_OFFSET 20        // type 2: auth state; 14, 30: answer; 18: data length
#define ODSTK_EVENT_DATA_OFFSET 20        // types 9, 10, 17: CCX blocks
#define ODSTK_EVENT_KEY_OFFSET 24         // type 6: NDIS_802_11_KEY

typedef struct _ODSTK_EVENT_HEADER {
  ULONG Reserved;
  ULONG Type;
} ODSTK_EVENT_HEADER, *PODSTK_EVENT_HEADER;

// Types 8 (EAPOL to the access point) and 25 (pre-authentication frame to
// Destination). Destination is used by type 25 only.
typedef struct _ODSTK_EVENT_FRAME {
  ULONG Reserved;
  ULONG Type;
  ULONG Reserved2;
  const UCHAR* Destination;  // 6 bytes
  const UCHAR* Body;
  ULONG BodyLength;
} ODSTK_EVENT_FRAME, *PODSTK_EVENT_FRAME;

// Type 13: the toolkit asks for a text; the answer goes into Answer through
// ODSTK_AllocBlob.
typedef struct _ODSTK_EVENT_ANSWER {
  ULONG Reserved;
  ULONG Type;
  ULONG Reserved2[3];
  ODSTK_BLOB Answer;
} ODSTK_EVENT_ANSWER, *PODSTK_EVENT_ANSWER;

#if defined(__cplusplus) && (UINTPTR_MAX == 0xFFFFFFFFu || defined(_M_IX86) || defined(__i386__))
static_assert(offsetof(ODSTK_EVENT_FRAME, Destination) == 12, "type 25 destination at 12");
static_assert(offsetof(ODSTK_EVENT_FRAME, Body) == 16, "EAPOL body pointer at 16");
static_assert(offsetof(ODSTK_EVENT_FRAME, BodyLength) == 20, "EAPOL body length at 20");
static_assert(offsetof(ODSTK_EVENT_ANSWER, Answer) == 20, "type 13 blob at 20");
#elif defined(__cplusplus) && UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(ODSTK_EVENT_FRAME, Destination) == 16 && offsetof(ODSTK_EVENT_FRAME, Body) == 24 &&
                  offsetof(ODSTK_EVENT_FRAME, BodyLength) == 32 && sizeof(ODSTK_EVENT_FRAME) == 40,
              "64-bit frame event layout");
static_assert(offsetof(ODSTK_EVENT_ANSWER, Answer) == 24 && sizeof(ODSTK_EVENT_ANSWER) == 40,
              "64-bit answer event layout");
static_assert(sizeof(SUPP_NETWORK_INFO) == 112, "64-bit network information layout");
#endif

// The link's event callback: `value` is the one given to
// ODSTK_LINK_SetCallbackA, `event` points to a ToolkitEvent record.
typedef void(ODSTK_CALL* ODSTK_LINK_CALLBACK)(ULONG value, void* event);
// A trace line: `text` NUL-terminated or null; `data`/`length` an optional block.
typedef void(ODSTK_CALL* ODSTK_TRACE_CALLBACK)(ULONG level, ULONG value, const char* text, const void* data,
                                               ULONG length);

#ifdef __cplusplus
extern "C" {
#endif

// Toolkit and handles.
ODSTK_API int ODSTK_CALL ODSTK_Initialize(void);
ODSTK_API int ODSTK_CALL ODSTK_Terminate(void);
ODSTK_API ULONG ODSTK_CALL ODSTK_AddRef(ODSTK_HANDLE handle);   // the new count; 0 if refused
ODSTK_API ULONG ODSTK_CALL ODSTK_Release(ODSTK_HANDLE handle);  // the new count; 0 frees
ODSTK_API int ODSTK_CALL ODSTK_CreateContext(ODSTK_HANDLE* context);

// Context.
ODSTK_API int ODSTK_CALL ODSTK_CONTEXT_Initialize(ODSTK_HANDLE context);
ODSTK_API int ODSTK_CALL ODSTK_CONTEXT_CreateLinkAsynchronousA(ODSTK_HANDLE context, ODSTK_HANDLE* link);
ODSTK_API int ODSTK_CALL ODSTK_CONTEXT_CreateIdentity(ODSTK_HANDLE context, ODSTK_HANDLE* identity);

// Link.
ODSTK_API int ODSTK_CALL ODSTK_LINK_SetCallbackA(ODSTK_HANDLE link, ODSTK_LINK_CALLBACK callback,
                                                 ULONG value);
ODSTK_API int ODSTK_CALL ODSTK_LINK_Initialize(ODSTK_HANDLE link);
ODSTK_API int ODSTK_CALL ODSTK_LINK_Thread(ODSTK_HANDLE link);
ODSTK_API int ODSTK_CALL ODSTK_LINK_Terminate(ODSTK_HANDLE link);
ODSTK_API int ODSTK_CALL ODSTK_LINK_SetIdentity(ODSTK_HANDLE link, ODSTK_HANDLE identity);
ODSTK_API int ODSTK_CALL ODSTK_LINK_SetSessionResumptionTimeout(ODSTK_HANDLE link, ULONG seconds);
ODSTK_API int ODSTK_CALL ODSTK_LINK_SetNetworkInfoA(ODSTK_HANDLE link, const SUPP_NETWORK_INFO* info);
ODSTK_API int ODSTK_CALL ODSTK_LINK_PortUp(ODSTK_HANDLE link);
ODSTK_API int ODSTK_CALL ODSTK_LINK_PortDown(ODSTK_HANDLE link);
ODSTK_API int ODSTK_CALL ODSTK_LINK_ReceiveEapol(ODSTK_HANDLE link, const UCHAR* body, ULONG length);
ODSTK_API int ODSTK_CALL ODSTK_LINK_ReceivePreauthEapol(ODSTK_HANDLE link, const UCHAR* source,
                                                        const UCHAR* body, ULONG length);
ODSTK_API int ODSTK_CALL
ODSTK_LINK_ReceiveAuthenticationEvent(ODSTK_HANDLE link, const NDIS_802_11_AUTHENTICATION_REQUEST* requests);
ODSTK_API int ODSTK_CALL
ODSTK_LINK_ReceivePMKIDCandidateListEvent(ODSTK_HANDLE link, const NDIS_802_11_PMKID_CANDIDATE_LIST* list);
ODSTK_API int ODSTK_CALL ODSTK_LINK_CCKM_StartReassociation(ODSTK_HANDLE link, const void* block);

// Identity. Texts may be null.
ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetUserNameA(ODSTK_HANDLE identity, const char* text);
ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetPasswordA(ODSTK_HANDLE identity, const char* text);
ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetAnonymousIdentityA(ODSTK_HANDLE identity, const char* text);
// method 0: the outer list; else the inner list of method 21, 25 or 43.
ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetEapTypeList(ODSTK_HANDLE identity, ULONG method, const ULONG* list,
                                                       ULONG count);
ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetTtlsInnerAuthProtocol(ODSTK_HANDLE identity, ULONG value);
ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetNoPasswordInGTC(ODSTK_HANDLE identity, ULONG method, ULONG flag);
ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_SetUserCertificate(ODSTK_HANDLE identity,
                                                           const UCHAR* id);  // 20 bytes
ODSTK_API int ODSTK_CALL ODSTK_IDENTITY_Initialize(ODSTK_HANDLE identity);

// Events and trace.
ODSTK_API int ODSTK_CALL ODSTK_AllocBlob(ODSTK_BLOB* blob, const void* data, ULONG length);
ODSTK_API int ODSTK_CALL ODSTK_ProcessCallbackA(void* event);
ODSTK_API int ODSTK_CALL ODSTK_SetTraceCallbackA(ODSTK_TRACE_CALLBACK callback);
ODSTK_API int ODSTK_CALL ODSTK_SetTraceLevel(ULONG level);

#ifdef __cplusplus
}
#endif
