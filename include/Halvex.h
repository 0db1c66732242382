// Halvex: the control library of the Halvex 802.11 adapter family.
//
// Every export returns a signed 32-bit result (see HALVEX_RESULT_*) unless it
// is declared void. Exports are C++ free functions with the default calling
// convention; several names are overloaded.
#ifndef HALVEX_H
#define HALVEX_H

#include "HalvexTypes.h"

#if !defined(_WIN32) && defined(__GNUC__)
#define HALVEX_API __attribute__((visibility("default")))
#else
#define HALVEX_API
#endif

#ifdef __cplusplus
#define HALVEX_STATIC_ASSERT(e, m) static_assert(e, m)
#else
#define HALVEX_STATIC_ASSERT(e, m) _Static_assert(e, m)
#endif

// ---- Result codes -----------------------------------------------------------
#define HALVEX_RESULT_SUCCESS 0
#define HALVEX_RESULT_FAILURE 1     // refused handle, STATUS_UNSUCCESSFUL, own failure
#define HALVEX_RESULT_BAD_BUFFER 3  // probe failed or too short; nothing sent
#define HALVEX_RESULT_JOIN_TIMEOUT 4
#define HALVEX_STATUS_PENDING 259

// ---- Window messages ----------------------------------------------------------
#ifndef WM_APP
#define WM_APP 0x8000
#endif
#define HALVEX_WM_NOTIFY WM_APP         // wParam: driver event code or one below
#define HALVEX_MSG_TRACE_TEXT 1006      // lParam: NUL-terminated trace line
#define HALVEX_MSG_SUPP_CONNECTED 1008  // lParam: 0
#define HALVEX_MSG_STATUS_TEXT 1012     // lParam: NUL-terminated status text
#define HALVEX_MSG_SUPP_LINK_TIMEOUT 0xF0000009u

// ---- Records known by size (layouts are contracts with the driver) -----------
typedef struct _HALVEX_SSID_SCAN {
  UCHAR Status[4];  // the request's status word after the scan
  UCHAR SsidLength;
  UCHAR Ssid[32];
  UCHAR Channel;  // 0: all channels
  UCHAR Reserved[12];
} HALVEX_SSID_SCAN, *PHALVEX_SSID_SCAN;

typedef struct _HALVEX_BSSID_SCAN {
  UCHAR Status[4];
  UCHAR Bssid[6];
  UCHAR Channel;
  UCHAR Reserved[9];
} HALVEX_BSSID_SCAN, *PHALVEX_BSSID_SCAN;

typedef struct _HALVEX_REGION_CTRL {
  ULONG RegionCode;
  ULONG Flags;
  UCHAR Channels[80];
} HALVEX_REGION_CTRL, *PHALVEX_REGION_CTRL;

typedef struct _HALVEX_QUICKSETUP_SSID_INFO {
  ULONG Status;
  ULONG SsidLength;
  UCHAR Ssid[32];
  ULONG AuthMode;
  ULONG WepStatus;
  ULONG Channel;
} HALVEX_QUICKSETUP_SSID_INFO, *PHALVEX_QUICKSETUP_SSID_INFO;

typedef struct _HALVEX_QUICKSETUP_SEC_INFO {
  ULONG Length;
  ULONG AuthMode;
  ULONG Encryption;
  ULONG KeyLength;
  UCHAR Key[64];
  UCHAR Passphrase[88];
} HALVEX_QUICKSETUP_SEC_INFO, *PHALVEX_QUICKSETUP_SEC_INFO;

typedef struct _HALVEX_QUICKSETUP_SETUP_REQ {
  ULONG Request;
  ULONG Parameter;
} HALVEX_QUICKSETUP_SETUP_REQ, *PHALVEX_QUICKSETUP_SETUP_REQ;

typedef struct _RSSI_STATS {
  LONG Current;
  LONG Average;
  LONG Minimum;
  LONG Maximum;
} RSSI_STATS, *PRSSI_STATS;

typedef struct _BEACON_STATS {
  ULONG Received;
  ULONG Missed;
} BEACON_STATS, *PBEACON_STATS;

// The connection snapshot: stored settings of the last good connection.
typedef struct _CONNECTIONINFO {
  char ProfileName[40];
  UCHAR DesiredSSID[32];
  ULONG WirelessMode;
  ULONG NetworkMode;
  ULONG Channel;
  ULONG AuthMode;
  ULONG WepStatus;
  ULONG TxWepKey;
  ULONG WepKeySize;
  UCHAR WepKey1[32];
  UCHAR WepKey2[32];
  UCHAR WepKey3[32];
  UCHAR WepKey4[32];
} CONNECTIONINFO, *PCONNECTIONINFO;

HALVEX_STATIC_ASSERT(sizeof(ULONG) == 4, "ULONG is 32 bits");
HALVEX_STATIC_ASSERT(sizeof(HALVEX_SSID_SCAN) == 50, "HALVEX_SSID_SCAN size");
HALVEX_STATIC_ASSERT(sizeof(HALVEX_BSSID_SCAN) == 20, "HALVEX_BSSID_SCAN size");
HALVEX_STATIC_ASSERT(sizeof(HALVEX_REGION_CTRL) == 88, "HALVEX_REGION_CTRL size");
HALVEX_STATIC_ASSERT(sizeof(HALVEX_QUICKSETUP_SSID_INFO) == 52, "QUICKSETUP_SSID_INFO size");
HALVEX_STATIC_ASSERT(sizeof(HALVEX_QUICKSETUP_SEC_INFO) == 168, "QUICKSETUP_SEC_INFO size");
HALVEX_STATIC_ASSERT(sizeof(HALVEX_QUICKSETUP_SETUP_REQ) == 8, "QUICKSETUP_SETUP_REQ size");
HALVEX_STATIC_ASSERT(sizeof(RSSI_STATS) == 16, "RSSI_STATS size");
HALVEX_STATIC_ASSERT(sizeof(BEACON_STATS) == 8, "BEACON_STATS size");
HALVEX_STATIC_ASSERT(sizeof(CONNECTIONINFO) == 228, "CONNECTIONINFO size");
#ifdef HALVEX_PLATFORM_NDIS
// Newer SDKs append counters to the published record; the library reads and
// writes only its first 104 bytes (HALVEX_STATISTICS_SIZE).
HALVEX_STATIC_ASSERT(sizeof(NDIS_802_11_STATISTICS) >= 104, "NDIS_802_11_STATISTICS size");
#else
HALVEX_STATIC_ASSERT(sizeof(NDIS_802_11_STATISTICS) == 104, "NDIS_802_11_STATISTICS size");
#endif
#define HALVEX_STATISTICS_SIZE 104
HALVEX_STATIC_ASSERT(sizeof(NDIS_802_11_CONFIGURATION) == 32, "NDIS_802_11_CONFIGURATION size");
HALVEX_STATIC_ASSERT(sizeof(NDIS_802_11_SSID) == 36, "NDIS_802_11_SSID size");
HALVEX_STATIC_ASSERT(sizeof(NDIS_802_11_ASSOCIATION_INFORMATION) == 40, "association info size");

#ifdef __cplusplus

// ---- Lifecycle and adapter handle --------------------------------------------
HALVEX_API int HalvexInitialize(HWND window);
HALVEX_API int HalvexOpenAdapter(void*& adapter);
HALVEX_API int HalvexCloseAdapter(void*& adapter);
HALVEX_API int HalvexRegisterEvent(void* adapter, unsigned char* buffer, ULONG length);
HALVEX_API int HalvexRegisterExitEvent(void* adapter, unsigned char* buffer, ULONG length);
HALVEX_API int HalvexUnlockPages(void* adapter);

// ---- Status and parameter queries --------------------------------------------
HALVEX_API int HalvexGetConnectStatus(void* adapter);
HALVEX_API int HalvexGetMacAddress(void* adapter, unsigned char* buffer, ULONG length);
HALVEX_API int HalvexQuerySsid(void* adapter, unsigned char* buffer, ULONG length);
HALVEX_API int HalvexQueryBssid(void* adapter, unsigned char* bssid);
HALVEX_API int HalvexQueryAuthMode(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryNetworkMode(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryWepStatus(void* adapter, ULONG& value);
HALVEX_API int HalvexQuerySignalInfo(void* adapter, ULONG& signal, ULONG& quality);
HALVEX_API int HalvexQueryRssi(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryLinkSpeed(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryPreamble(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryTxAntenna(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRxAntenna(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryFragThreshold(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRTSThreshold(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryChannel(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryPowerMode(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryDataRate(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryHardwareStatus(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryChipVersion(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryFirmwareVersion(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegionCode(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegionCtrl(void* adapter, HALVEX_REGION_CTRL* record);
HALVEX_API int HalvexQueryWlanMode(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRadioControl(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryBoostMode(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryInterOperabilityMode(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryTxPower(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryQuickSetupAPInfo(void* adapter, HALVEX_QUICKSETUP_SSID_INFO* record);
HALVEX_API int HalvexQueryChannelRange(void* adapter, ULONG& value);
HALVEX_API int HalvexQuerySignalThreshold(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryTxFailThreshold(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryConfiguration(void* adapter, NDIS_802_11_CONFIGURATION* record);
HALVEX_API int HalvexQueryCCXOption(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryWMMSupport(void* adapter, ULONG& value);

// ---- Scan list and association information -----------------------------------
HALVEX_API int HalvexQueryScanList(void* adapter, unsigned char* buffer, ULONG length);
HALVEX_API int HalvexQueryScanListLength(void* adapter, unsigned char* buffer, ULONG length, ULONG& returned);
HALVEX_API int HalvexQueryAssocInfo(void* adapter, unsigned char* buffer, ULONG& returned);

// ---- Statistics and registers ------------------------------------------------
HALVEX_API int HalvexQueryStatistics(void* adapter, NDIS_802_11_STATISTICS* record);
HALVEX_API int HalvexQueryRssiStat(void* adapter, RSSI_STATS* record);
HALVEX_API int HalvexQueryBeaconStatistics(void* adapter, BEACON_STATS* record);
HALVEX_API int HalvexResetStatistics(void* adapter);
HALVEX_API int HalvexQueryRfRegister(void* adapter, ULONG reg, ULONG& value);
HALVEX_API int HalvexQueryBbRegister(void* adapter, ULONG reg, ULONG& value);
HALVEX_API int HalvexQueryMacRegister(void* adapter, ULONG reg, ULONG& value);
HALVEX_API int HalvexSetRfRegister(void* adapter, ULONG reg, ULONG value);
HALVEX_API int HalvexSetBbRegister(void* adapter, ULONG reg, ULONG value);
HALVEX_API int HalvexSetMacRegister(void* adapter, ULONG reg, ULONG value);

// ---- Parameter settings ------------------------------------------------------
HALVEX_API int HalvexSetAuthMode(void* adapter, ULONG mode);
HALVEX_API int HalvexSetNetworkMode(void* adapter, ULONG mode);
HALVEX_API int HalvexSetWepStatus(void* adapter, ULONG status);
HALVEX_API int HalvexSetPreamble(void* adapter, ULONG preamble);
HALVEX_API int HalvexSetTxAntenna(void* adapter, ULONG antenna);
HALVEX_API int HalvexSetRxAntenna(void* adapter, ULONG antenna);
HALVEX_API int HalvexSetFragThreshold(void* adapter, ULONG threshold);
HALVEX_API int HalvexSetRTSThreshold(void* adapter, ULONG threshold);
HALVEX_API int HalvexSetChannel(void* adapter, ULONG channel);
HALVEX_API int HalvexSetPowerMode(void* adapter, ULONG mode);
HALVEX_API int HalvexSetDataRate(void* adapter, ULONG rate);
HALVEX_API int HalvexSetWlanMode(void* adapter, ULONG mode);
HALVEX_API int HalvexSetRadioControl(void* adapter, ULONG state);
HALVEX_API int HalvexSetBoostMode(void* adapter, ULONG mode);
HALVEX_API int HalvexSetInterOperabilityMode(void* adapter, ULONG mode);
HALVEX_API int HalvexSetTxPower(void* adapter, ULONG level);
HALVEX_API int HalvexSetAdHocGMode(void* adapter, ULONG mode);
HALVEX_API int HalvexSetAdHocWlanMode(void* adapter, ULONG mode);
HALVEX_API int HalvexSetChannelRange(void* adapter, ULONG range);
HALVEX_API int HalvexSetSignalThreshold(void* adapter, ULONG thresholds);
HALVEX_API int HalvexSetTxFailThreshold(void* adapter, ULONG thresholds);
HALVEX_API int HalvexSetConfiguration(void* adapter, NDIS_802_11_CONFIGURATION* config);
HALVEX_API int HalvexSetWMMSupport(void* adapter, ULONG mode);
HALVEX_API int HalvexSetCCXOption(void* adapter, ULONG option);

// ---- Scanning ----------------------------------------------------------------
HALVEX_API int HalvexScan(void* adapter);
HALVEX_API int HalvexScan(void* adapter, ULONG mode);
HALVEX_API int HalvexSsidScan(void* adapter, HALVEX_SSID_SCAN* scan);
HALVEX_API int HalvexSsidScan(void* adapter, HALVEX_SSID_SCAN* scan, ULONG mode);
HALVEX_API int HalvexBssidScan(void* adapter, HALVEX_BSSID_SCAN* scan);
HALVEX_API int HalvexBssidScan(void* adapter, HALVEX_BSSID_SCAN* scan, ULONG mode);

// ---- Joining -----------------------------------------------------------------
HALVEX_API int HalvexSetSsid(void* adapter, char* ssid, ULONG length);
HALVEX_API int HalvexSetSsid(void* adapter, char* ssid, ULONG length, int selector);
HALVEX_API int HalvexSetDisassociate(void* adapter);

// ---- WEP keys ----------------------------------------------------------------
HALVEX_API int HalvexSetWepKey(void* adapter, unsigned int index, unsigned char* key, unsigned int keyLength,
                               int transmit);

// ---- Security and vendor commands --------------------------------------------
HALVEX_API int HalvexSetEAPOLTx(void* adapter, const unsigned char* source, const unsigned char* destination,
                                const unsigned char* body, ULONG bodyLength);
HALVEX_API int HalvexSetPreAuthEAPOLTx(void* adapter, const unsigned char* source,
                                       const unsigned char* destination, const unsigned char* body,
                                       ULONG bodyLength);
HALVEX_API int HalvexSetAddKey(void* adapter, void* key, ULONG length);
HALVEX_API int HalvexSetRemoveKey(void* adapter, void* key, ULONG length);
HALVEX_API int HalvexSetWPAWepKey(void* adapter, NDIS_802_11_WEP* wep, unsigned int length);
HALVEX_API int HalvexSetPMKID(void* adapter, NDIS_802_11_PMKID* pmkid, ULONG length);
HALVEX_API int HalvexSetFswCCXConfiguration(void* adapter, ULONG config);
HALVEX_API int HalvexSetFswCCXNetworkEap(void* adapter, ULONG value);
HALVEX_API int HalvexSetFswCCXRogueAP(void* adapter, unsigned char* data, ULONG length);
HALVEX_API int HalvexSetFswCCXReportRogueAPs(void* adapter, unsigned char* data);
HALVEX_API int HalvexSetFswCCXNotifyAuthSuccess(void* adapter, unsigned char* data, ULONG length);
HALVEX_API int HalvexSetFswCCXCCKMRequest(void* adapter, unsigned char* data, ULONG length);
HALVEX_API int HalvexSetFswCCXCCKMResult(void* adapter, unsigned char* data, ULONG length);
HALVEX_API int HalvexSetGUIMonitorMode(void* adapter, ULONG mode);
HALVEX_API int HalvexRadarDetected(void* adapter);
HALVEX_API int HalvexSetQSSecurityInfo(void* adapter, HALVEX_QUICKSETUP_SEC_INFO* info);
HALVEX_API int HalvexSetQSSetupRequest(void* adapter, HALVEX_QUICKSETUP_SETUP_REQ* request);
HALVEX_API int HalvexSetRegionCtrl(void* adapter, HALVEX_REGION_CTRL* ctrl);

// ---- Registry: adapter settings and generic access ---------------------------
HALVEX_API int HalvexQueryRegPowerMode(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegDataRate(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegPreamble(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegTxAntenna(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegRxAntenna(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegRTSThreshold(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegFragThreshold(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegTxPower(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegBoostMode(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegWMMSupport(void* adapter, ULONG& value);
HALVEX_API int HalvexQueryRegWiFiEnable(void* adapter, ULONG& value);
HALVEX_API int HalvexSetRegWiFiEnable(void* adapter, ULONG value);
HALVEX_API int HalvexQueryRegistry(const char* keyPath, const char* valueName, char* buffer, ULONG length);
HALVEX_API int HalvexQueryRegistry(const char* keyPath, const char* valueName, ULONG& value);
HALVEX_API int HalvexSetRegistry(const char* keyPath, const char* valueName, const char* data, ULONG length,
                                 int multiString);
HALVEX_API int HalvexSetRegistry(const char* keyPath, const char* valueName, ULONG value);

// ---- Driver and adapter identity ---------------------------------------------
HALVEX_API int HalvexQueryDeviceDesc(void* adapter, char* buffer, ULONG length);
HALVEX_API int HalvexQueryDriverVersion(void* adapter, char* buffer, ULONG length);
HALVEX_API int HalvexQueryDriverDate(void* adapter, char* buffer, ULONG length);
HALVEX_API int HalvexQueryProfileInUse(void* adapter, char* buffer, ULONG length);
HALVEX_API int HalvexSetProfileInUse(void* adapter, char* name, ULONG length);
HALVEX_API int HalvexQueryAdapterName(void* adapter, char* buffer, ULONG length);
HALVEX_API int HalvexQueryRegistryPath(void* adapter, char* buffer, ULONG length);
HALVEX_API int HalvexQueryDhcp9x(void* adapter);

// ---- Connection snapshot -----------------------------------------------------
HALVEX_API int HalvexRegisterConnInfo(void* adapter);
HALVEX_API int HalvexRevertConnInfo(void* adapter);
HALVEX_API int HalvexQueryLastConn(void* adapter, CONNECTIONINFO* record);

// ---- Configuration service coexistence and events ----------------------------
HALVEX_API int HalvexQueryWZCStatusCheck(int& answer);
HALVEX_API int HalvexGetEventCode(void* adapter, unsigned char* buffer, ULONG length);

// ---- 802.1X/WPA supplicant ---------------------------------------------------
HALVEX_API int HalvexWPAInitialize();
HALVEX_API void HalvexWPATerminate();
HALVEX_API void HalvexWPAPortUp();
HALVEX_API void HalvexWPAPortDown();
HALVEX_API int HalvexWPASetNetworkInfo(void* adapter, ULONG mode, ULONG cipher, unsigned char* passphrase,
                                       char* ssid, unsigned char* ownAddress, unsigned char* bssid);
HALVEX_API int HalvexSetWPAInformation(void* adapter, ULONG kind, ULONG mode, ULONG cipher,
                                       unsigned char* passphrase, char* ssid);
HALVEX_API int HalvexSetWPAInformation(void* adapter, ULONG mode, ULONG cipher, unsigned char* passphrase,
                                       char* ssid);
HALVEX_API int HalvexWPACreateIdentityTLS(char* user, unsigned char* certificate);
HALVEX_API int HalvexWPACreateIdentityPEAP(char* user, char* domain, char* password);
HALVEX_API int HalvexWPACreateIdentityPEAP(char* user, char* domain, char* password, ULONG* methods,
                                           ULONG count, int disableResponse, char* response);
HALVEX_API int HalvexWPACreateIdentityTtls(char* user, char* domain, char* password, char* anonymous);
HALVEX_API int HalvexWPACreateIdentityLEAP(char* user, char* domain, char* password);
HALVEX_API void HalvexWPATrace(ULONG level);
HALVEX_API int HalvexGetWPASuppStatus(ULONG which);

#endif  // __cplusplus

#endif  // HALVEX_H
