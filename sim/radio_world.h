// The radio world behind the simulated adapter: the access points a scan
// finds, the one the adapter is associated with, its counters and registers.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace hx::sim {

using Bytes = std::vector<uint8_t>;
using MacAddress = std::array<uint8_t, 6>;

struct AccessPoint {
  std::string ssid;
  MacAddress bssid{};
  uint32_t dsConfig = 2437000;  // kHz
  int32_t rssi = -50;           // dBm
  int32_t quality = 80;         // percent, as the driver reports it
  uint16_t capabilities = 0x0001;
  uint16_t beaconInterval = 100;
  uint32_t privacy = 0;
  uint32_t linkSpeed = 540000;  // 100 bit/s units
  uint32_t infrastructure = 1;  // Ndis802_11Infrastructure
  Bytes ies;                    // variable elements, after the 12 fixed bytes
};

// Information elements as an access point sends them.
Bytes SsidElement(const std::string& ssid);
Bytes RatesElement();
Bytes DsElement(uint32_t channel);
Bytes RsnElement();  // WPA2-PSK, CCMP
Bytes WpaElement();  // WPA-PSK, TKIP

class RadioWorld {
 public:
  // Three access points (open, WPA, WPA2), associated with the first.
  static RadioWorld Default();

  std::vector<AccessPoint> accessPoints;
  std::optional<size_t> current;  // index of the associated access point

  // An NDIS_802_11_BSSID_LIST_EX holding the entries that fit `room` bytes.
  Bytes ScanList(uint32_t room) const;
  // An NDIS_802_11_ASSOCIATION_INFORMATION for the current access point.
  Bytes AssociationInfo() const;
  // The world's answer of a query OID, if it has one. `request` is the
  // payload the caller sent (register reads carry the register number).
  std::optional<Bytes> Answer(uint32_t oid, const uint8_t* request, uint32_t size) const;
  // Applies a set OID the world models; false when it does not.
  bool Apply(uint32_t oid, const uint8_t* payload, uint32_t size);

  void ResetCounters();
  uint32_t Register(uint32_t oid, uint32_t reg) const;

  std::array<uint64_t, 12> counters{};  // the statistics record's counters, in order
  int32_t rssiAverage = -52, rssiMinimum = -70, rssiMaximum = -40;
  uint32_t beaconsReceived = 0, beaconsMissed = 0;

 private:
  const AccessPoint* Current() const;
  std::map<uint32_t, std::map<uint32_t, uint32_t>> registers_;  // by OID, then number
};

// Builds the entry bytes of one access point (Length already set).
Bytes BssidEntry(const AccessPoint& ap);

}  // namespace hx::sim
