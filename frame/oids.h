// Driver request codes and OIDs. Published NDIS OIDs keep their published
// names (the platform's ntddndis.h may already define them); the adapter's
// own OIDs are named OID_HALVEX_<role>.
#pragma once

#include <cstdint>

// Published NDIS OIDs.
#ifndef OID_GEN_HARDWARE_STATUS
#define OID_GEN_HARDWARE_STATUS 0x00010102
#endif
#ifndef OID_GEN_LINK_SPEED
#define OID_GEN_LINK_SPEED 0x00010107
#endif
#ifndef OID_GEN_VENDOR_DESCRIPTION
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#endif
#ifndef OID_GEN_MEDIA_CONNECT_STATUS
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#endif
#ifndef OID_GEN_VENDOR_DRIVER_VERSION
#define OID_GEN_VENDOR_DRIVER_VERSION 0x00010116
#endif
#ifndef OID_802_3_CURRENT_ADDRESS
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#endif
#ifndef OID_802_11_BSSID
#define OID_802_11_BSSID 0x0D010101
#endif
#ifndef OID_802_11_SSID
#define OID_802_11_SSID 0x0D010102
#endif
#ifndef OID_802_11_INFRASTRUCTURE_MODE
#define OID_802_11_INFRASTRUCTURE_MODE 0x0D010108
#endif
#ifndef OID_802_11_ADD_WEP
#define OID_802_11_ADD_WEP 0x0D010113
#endif
#ifndef OID_802_11_DISASSOCIATE
#define OID_802_11_DISASSOCIATE 0x0D010115
#endif
#ifndef OID_802_11_AUTHENTICATION_MODE
#define OID_802_11_AUTHENTICATION_MODE 0x0D010118
#endif
#ifndef OID_802_11_BSSID_LIST_SCAN
#define OID_802_11_BSSID_LIST_SCAN 0x0D01011A
#endif
#ifndef OID_802_11_WEP_STATUS
#define OID_802_11_WEP_STATUS 0x0D01011B
#endif
#ifndef OID_802_11_ADD_KEY
#define OID_802_11_ADD_KEY 0x0D01011D
#endif
#ifndef OID_802_11_REMOVE_KEY
#define OID_802_11_REMOVE_KEY 0x0D01011E
#endif
#ifndef OID_802_11_ASSOCIATION_INFORMATION
#define OID_802_11_ASSOCIATION_INFORMATION 0x0D01011F
#endif
#ifndef OID_802_11_PMKID
#define OID_802_11_PMKID 0x0D010123
#endif
#ifndef OID_802_11_RSSI
#define OID_802_11_RSSI 0x0D010206
#endif
#ifndef OID_802_11_FRAGMENTATION_THRESHOLD
#define OID_802_11_FRAGMENTATION_THRESHOLD 0x0D010209
#endif
#ifndef OID_802_11_RTS_THRESHOLD
#define OID_802_11_RTS_THRESHOLD 0x0D01020A
#endif
#ifndef OID_802_11_RX_ANTENNA_SELECTED
#define OID_802_11_RX_ANTENNA_SELECTED 0x0D01020C
#endif
#ifndef OID_802_11_TX_ANTENNA_SELECTED
#define OID_802_11_TX_ANTENNA_SELECTED 0x0D01020D
#endif
#ifndef OID_802_11_DESIRED_RATES
#define OID_802_11_DESIRED_RATES 0x0D010210
#endif
#ifndef OID_802_11_CONFIGURATION
#define OID_802_11_CONFIGURATION 0x0D010211
#endif
#ifndef OID_802_11_POWER_MODE
#define OID_802_11_POWER_MODE 0x0D010216
#endif
#ifndef OID_802_11_BSSID_LIST
#define OID_802_11_BSSID_LIST 0x0D010217
#endif
#ifndef OID_802_11_STATISTICS
#define OID_802_11_STATISTICS 0x0D020212
#endif

namespace hx {

inline constexpr uint32_t IOCTL_OID_QUERY = 0x00122400;
inline constexpr uint32_t IOCTL_OID_SET = 0x00122440;
inline constexpr uint32_t IOCTL_REGISTER_EVENT = 0x00122480;
inline constexpr uint32_t IOCTL_REGISTER_EXIT_EVENT = 0x00122500;

inline constexpr uint32_t STATUS_SUCCESS_WORD = 0;
inline constexpr uint32_t STATUS_PENDING_WORD = 259;
inline constexpr uint32_t STATUS_UNSUCCESSFUL_WORD = 0xC0000001;

inline constexpr const char* kDeviceName = "\\\\.\\HalvexDev0";

// The adapter's own OIDs.
inline constexpr uint32_t OID_HALVEX_SIGNAL_INFO = 0xFF010204;
inline constexpr uint32_t OID_HALVEX_REGION_CODE = 0xFF010205;
inline constexpr uint32_t OID_HALVEX_PREAMBLE = 0xFF010206;
inline constexpr uint32_t OID_HALVEX_BSSID_SCAN = 0xFF010207;
inline constexpr uint32_t OID_HALVEX_SSID_SCAN = 0xFF010208;
inline constexpr uint32_t OID_HALVEX_CHANNEL = 0xFF010209;
inline constexpr uint32_t OID_HALVEX_WLAN_MODE = 0xFF01020A;
inline constexpr uint32_t OID_HALVEX_CHIP_VERSION = 0xFF01020B;
inline constexpr uint32_t OID_HALVEX_BB_REGISTER = 0xFF01020C;
inline constexpr uint32_t OID_HALVEX_MAC_REGISTER = 0xFF01020D;
inline constexpr uint32_t OID_HALVEX_RF_REGISTER = 0xFF01020E;
inline constexpr uint32_t OID_HALVEX_SSID = 0xFF01020F;
inline constexpr uint32_t OID_HALVEX_RADIO_OFF = 0xFF010210;
inline constexpr uint32_t OID_HALVEX_RADIO_ON = 0xFF010211;
inline constexpr uint32_t OID_HALVEX_CHANNEL_RANGE = 0xFF010212;
inline constexpr uint32_t OID_HALVEX_SIGNAL_THRESHOLD = 0xFF010213;
inline constexpr uint32_t OID_HALVEX_TX_FAIL_THRESHOLD = 0xFF010214;
inline constexpr uint32_t OID_HALVEX_BOOST_MODE = 0xFF010215;
inline constexpr uint32_t OID_HALVEX_BEACON_STATS = 0xFF010216;
inline constexpr uint32_t OID_HALVEX_RSSI_STATS = 0xFF010217;
inline constexpr uint32_t OID_HALVEX_RESET_STATISTICS = 0xFF010218;
inline constexpr uint32_t OID_HALVEX_QS_SECURITY_INFO = 0xFF010219;
inline constexpr uint32_t OID_HALVEX_QS_SETUP_REQUEST = 0xFF01021A;
inline constexpr uint32_t OID_HALVEX_QS_AP_INFO = 0xFF01021B;
inline constexpr uint32_t OID_HALVEX_EAPOL_TX = 0xFF01021C;
inline constexpr uint32_t OID_HALVEX_SCAN_LIST = 0xFF01021D;
inline constexpr uint32_t OID_HALVEX_ADHOC_G_MODE = 0xFF01021E;
inline constexpr uint32_t OID_HALVEX_TX_POWER = 0xFF01021F;
// Event records: the driver fills the request after the OID word with a
// record count and whole records, never more than the request's room, and
// keeps every record that does not fit for the next fetch. The library
// sends 4 + the area's size, so all the room it names is read back.
inline constexpr uint32_t OID_HALVEX_EVENT_RECORDS = 0xFF010220;
inline constexpr uint32_t OID_HALVEX_GUI_MONITOR_MODE = 0xFF010221;
inline constexpr uint32_t OID_HALVEX_CCX_OPTION = 0xFF010222;
inline constexpr uint32_t OID_HALVEX_REGION_CTRL = 0xFF010223;
inline constexpr uint32_t OID_HALVEX_RADAR_DETECTED = 0xFF010224;
inline constexpr uint32_t OID_HALVEX_WMM_SUPPORT = 0xFF010225;
inline constexpr uint32_t OID_HALVEX_CCX_CONFIGURATION = 0xFFCCA000;
inline constexpr uint32_t OID_HALVEX_CCX_NETWORK_EAP = 0xFFCCA001;
inline constexpr uint32_t OID_HALVEX_CCX_ROGUE_AP = 0xFFCCA002;
inline constexpr uint32_t OID_HALVEX_CCX_REPORT_ROGUE_APS = 0xFFCCA003;
inline constexpr uint32_t OID_HALVEX_CCX_NOTIFY_AUTH_SUCCESS = 0xFFCCA004;
inline constexpr uint32_t OID_HALVEX_CCX_CCKM_REQUEST = 0xFFCCA006;
inline constexpr uint32_t OID_HALVEX_CCX_CCKM_RESULT = 0xFFCCA007;

}  // namespace hx
