// Base Win32 and NDIS types used by Halvex.h.
//
// With a Windows SDK (or mingw-w64) the platform's own <windows.h> and
// <ntddndis.h> supply them; elsewhere (POSIX hosts, or a bare MSVC-target
// compile without an SDK) this header defines them with the published layouts.
#ifndef HALVEX_TYPES_H
#define HALVEX_TYPES_H

#if defined(_WIN32) && defined(__has_include)
#if __has_include(<windows.h>) && __has_include(<ntddndis.h>)
#define HALVEX_PLATFORM_NDIS 1
#endif
#endif

#ifdef HALVEX_PLATFORM_NDIS
#include <windows.h>
// ntddndis.h needs windows.h first: keep them apart.
#include <ntddndis.h>
#else

#include <stdint.h>

#ifndef HALVEX_WIN32_BASE_TYPES
#define HALVEX_WIN32_BASE_TYPES
#ifdef _WIN32
typedef unsigned long ULONG;
typedef long LONG;
#else
// The interface's 32-bit words stay 32 bits on LP64 hosts.
typedef uint32_t ULONG;
typedef int32_t LONG;
#endif
typedef unsigned short USHORT;
typedef unsigned char UCHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef struct HWND__* HWND;
typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER;
#endif

typedef UCHAR NDIS_802_11_MAC_ADDRESS[6];
typedef ULONG NDIS_802_11_KEY_INDEX;
typedef ULONGLONG NDIS_802_11_KEY_RSC;
typedef LONG NDIS_802_11_RSSI;
typedef UCHAR NDIS_802_11_RATES[8];
typedef UCHAR NDIS_802_11_RATES_EX[16];
typedef UCHAR NDIS_802_11_PMKID_VALUE[16];

typedef enum _NDIS_802_11_NETWORK_TYPE {
  Ndis802_11FH,
  Ndis802_11DS,
  Ndis802_11OFDM5,
  Ndis802_11OFDM24,
  Ndis802_11NetworkTypeMax
} NDIS_802_11_NETWORK_TYPE;

typedef enum _NDIS_802_11_NETWORK_INFRASTRUCTURE {
  Ndis802_11IBSS,
  Ndis802_11Infrastructure,
  Ndis802_11AutoUnknown,
  Ndis802_11InfrastructureMax
} NDIS_802_11_NETWORK_INFRASTRUCTURE;

typedef struct _NDIS_802_11_SSID {
  ULONG SsidLength;
  UCHAR Ssid[32];
} NDIS_802_11_SSID, *PNDIS_802_11_SSID;

typedef struct _NDIS_802_11_CONFIGURATION_FH {
  ULONG Length;
  ULONG HopPattern;
  ULONG HopSet;
  ULONG DwellTime;
} NDIS_802_11_CONFIGURATION_FH, *PNDIS_802_11_CONFIGURATION_FH;

typedef struct _NDIS_802_11_CONFIGURATION {
  ULONG Length;
  ULONG BeaconPeriod;
  ULONG ATIMWindow;
  ULONG DSConfig;
  NDIS_802_11_CONFIGURATION_FH FHConfig;
} NDIS_802_11_CONFIGURATION, *PNDIS_802_11_CONFIGURATION;

typedef struct _NDIS_802_11_STATISTICS {
  ULONG Length;
  LARGE_INTEGER TransmittedFragmentCount;
  LARGE_INTEGER MulticastTransmittedFrameCount;
  LARGE_INTEGER FailedCount;
  LARGE_INTEGER RetryCount;
  LARGE_INTEGER MultipleRetryCount;
  LARGE_INTEGER RTSSuccessCount;
  LARGE_INTEGER RTSFailureCount;
  LARGE_INTEGER ACKFailureCount;
  LARGE_INTEGER FrameDuplicateCount;
  LARGE_INTEGER ReceivedFragmentCount;
  LARGE_INTEGER MulticastReceivedFrameCount;
  LARGE_INTEGER FCSErrorCount;
} NDIS_802_11_STATISTICS, *PNDIS_802_11_STATISTICS;

typedef struct _NDIS_802_11_WEP {
  ULONG Length;
  ULONG KeyIndex;
  ULONG KeyLength;
  UCHAR KeyMaterial[1];
} NDIS_802_11_WEP, *PNDIS_802_11_WEP;

typedef struct _NDIS_802_11_KEY {
  ULONG Length;
  ULONG KeyIndex;
  ULONG KeyLength;
  NDIS_802_11_MAC_ADDRESS BSSID;
  NDIS_802_11_KEY_RSC KeyRSC;
  UCHAR KeyMaterial[1];
} NDIS_802_11_KEY, *PNDIS_802_11_KEY;

typedef struct _NDIS_802_11_REMOVE_KEY {
  ULONG Length;
  ULONG KeyIndex;
  NDIS_802_11_MAC_ADDRESS BSSID;
} NDIS_802_11_REMOVE_KEY, *PNDIS_802_11_REMOVE_KEY;

typedef struct _BSSID_INFO {
  NDIS_802_11_MAC_ADDRESS BSSID;
  NDIS_802_11_PMKID_VALUE PMKID;
} BSSID_INFO, *PBSSID_INFO;

typedef struct _NDIS_802_11_PMKID {
  ULONG Length;
  ULONG BSSIDInfoCount;
  BSSID_INFO BSSIDInfo[1];
} NDIS_802_11_PMKID, *PNDIS_802_11_PMKID;

typedef struct _NDIS_802_11_AUTHENTICATION_REQUEST {
  ULONG Length;
  NDIS_802_11_MAC_ADDRESS Bssid;
  ULONG Flags;
} NDIS_802_11_AUTHENTICATION_REQUEST, *PNDIS_802_11_AUTHENTICATION_REQUEST;

typedef struct _PMKID_CANDIDATE {
  NDIS_802_11_MAC_ADDRESS BSSID;
  ULONG Flags;
} PMKID_CANDIDATE, *PPMKID_CANDIDATE;

typedef struct _NDIS_802_11_PMKID_CANDIDATE_LIST {
  ULONG Version;
  ULONG NumCandidates;
  PMKID_CANDIDATE CandidateList[1];
} NDIS_802_11_PMKID_CANDIDATE_LIST, *PNDIS_802_11_PMKID_CANDIDATE_LIST;

typedef struct _NDIS_802_11_AI_REQFI {
  USHORT Capabilities;
  USHORT ListenInterval;
  NDIS_802_11_MAC_ADDRESS CurrentAPAddress;
} NDIS_802_11_AI_REQFI, *PNDIS_802_11_AI_REQFI;

typedef struct _NDIS_802_11_AI_RESFI {
  USHORT Capabilities;
  USHORT StatusCode;
  USHORT AssociationId;
} NDIS_802_11_AI_RESFI, *PNDIS_802_11_AI_RESFI;

typedef struct _NDIS_802_11_ASSOCIATION_INFORMATION {
  ULONG Length;
  USHORT AvailableRequestFixedIEs;
  NDIS_802_11_AI_REQFI RequestFixedIEs;
  ULONG RequestIELength;
  ULONG OffsetRequestIEs;
  USHORT AvailableResponseFixedIEs;
  NDIS_802_11_AI_RESFI ResponseFixedIEs;
  ULONG ResponseIELength;
  ULONG OffsetResponseIEs;
} NDIS_802_11_ASSOCIATION_INFORMATION, *PNDIS_802_11_ASSOCIATION_INFORMATION;

typedef struct _NDIS_802_11_FIXED_IEs {
  UCHAR Timestamp[8];
  USHORT BeaconInterval;
  USHORT Capabilities;
} NDIS_802_11_FIXED_IEs, *PNDIS_802_11_FIXED_IEs;

typedef struct _NDIS_WLAN_BSSID_EX {
  ULONG Length;
  NDIS_802_11_MAC_ADDRESS MacAddress;
  UCHAR Reserved[2];
  NDIS_802_11_SSID Ssid;
  ULONG Privacy;
  NDIS_802_11_RSSI Rssi;
  NDIS_802_11_NETWORK_TYPE NetworkTypeInUse;
  NDIS_802_11_CONFIGURATION Configuration;
  NDIS_802_11_NETWORK_INFRASTRUCTURE InfrastructureMode;
  NDIS_802_11_RATES_EX SupportedRates;
  ULONG IELength;
  UCHAR IEs[1];
} NDIS_WLAN_BSSID_EX, *PNDIS_WLAN_BSSID_EX;

typedef struct _NDIS_802_11_BSSID_LIST_EX {
  ULONG NumberOfItems;
  NDIS_WLAN_BSSID_EX Bssid[1];
} NDIS_802_11_BSSID_LIST_EX, *PNDIS_802_11_BSSID_LIST_EX;

#endif  // HALVEX_PLATFORM_NDIS

#endif  // HALVEX_TYPES_H
