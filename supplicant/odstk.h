// The supplicant toolkit's entry points (odSupp_M), as the library calls them:
// 32-bit words, opaque reference-counted handles, the standard calling
// convention on Windows and plain C names.
//
// Contract the library relies on beyond the signatures:
// - Every int result is 0 for success; non-zero is the toolkit's refusal.
// - The toolkit copies what it needs during each call (network information,
//   frame bodies, texts, lists): it keeps no pointer into the caller's memory
//   once the call has returned.
// - A null or released handle is refused (non-zero result), never used.
// - ODSTK_CONTEXT_CreateIdentity's handle is owned by the context; a caller
//   that keeps the identity takes its own reference with ODSTK_AddRef and
//   drops it with ODSTK_Release.
// - ODSTK_LINK_Thread runs the link, and every callback of the link, on the
//   calling thread until ODSTK_LINK_Terminate (or the link's last release).
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
