#include "tools/commands.h"

#include <fmt/format.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

#include "Halvex.h"
#include "HalvexSim.h"
#include "tools/interrupt.h"
#include "tools/output.h"
#include "tools/parameters.h"
#include "tools/stored.h"
#include "tools/text.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace halvexctl {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

constexpr int kNotSupported = static_cast<int>(0xC00000BB);

const char* MessageName(uint64_t code) {
  switch (code) {
    case 0:
      return "disconnected";
    case 1:
      return "connected";
    case 2:
      return "adapter removed";
    case 3:
      return "roamed";
    case 4:
      return "link lost";
    case 5:
      return "media specific";
    case 6:
      return "scan done";
    case 8:
      return "radio on";
    case 9:
      return "radio off";
    case HALVEX_MSG_TRACE_TEXT:
      return "trace";
    case HALVEX_MSG_SUPP_CONNECTED:
      return "supplicant connected";
    case HALVEX_MSG_STATUS_TEXT:
      return "status";
    case HALVEX_MSG_SUPP_LINK_TIMEOUT:
      return "supplicant link time-out";
    default:
      return "";
  }
}

size_t Width(const std::string& text) {
  // Code points, not bytes: continuation bytes take no column.
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The columns -f asks for, in its order; all when it names none.
std::vector<size_t> Chosen(const Output& out, const std::vector<Field>& fields) {
  std::vector<size_t> chosen;
  if (out.fields.empty()) {
    for (size_t i = 0; i < fields.size(); ++i) chosen.push_back(i);
    return chosen;
  }
  for (const std::string& name : out.fields) {
    for (size_t i = 0; i < fields.size(); ++i) {
      if (name == fields[i].name) chosen.push_back(i);
    }
  }
  return chosen;
}

json SupplicantJson() {
  const int state = HalvexGetWPASuppStatus(0), link = HalvexGetWPASuppStatus(1),
            auth = HalvexGetWPASuppStatus(2);
  return {{"state", state},
          {"link", link},
          {"authentication", auth},
          {"stateText", SupplicantStateText(state)},
          {"linkText", LinkStateText(link)},
          {"authenticationText", AuthStateText(auth)}};
}

std::string SupplicantText(const json& s) {
  return fmt::format("{} (link {}, authentication {})", s["stateText"].get<std::string>(),
                     s["linkText"].get<std::string>(), s["authenticationText"].get<std::string>());
}

}  // namespace

// ---- speaking ----------------------------------------------------------------------

void PrintListing(const Output& out, const std::vector<Field>& fields,
                  const std::vector<std::vector<std::string>>& rows) {
  if (out.json) return;
  const std::vector<size_t> chosen = Chosen(out, fields);
  if (out.terse) {
    for (const auto& row : rows) {
      std::string line;
      for (size_t i = 0; i < chosen.size(); ++i) line += (i == 0 ? "" : ":") + TerseField(row[chosen[i]]);
      fmt::print("{}\n", line);
    }
    std::fflush(stdout);
    return;
  }
  std::vector<size_t> widths;
  for (size_t c : chosen) {
    size_t width = Width(fields[c].header);
    for (const auto& row : rows) width = std::max(width, Width(Escape(row[c])));
    widths.push_back(width);
  }
  auto line = [&](auto cell) {
    std::string text;
    for (size_t i = 0; i < chosen.size(); ++i) {
      const std::string shown = cell(chosen[i]);
      const std::string pad(widths[i] - Width(shown), ' ');
      const bool last = i + 1 == chosen.size();
      text += (i == 0 ? "" : "  ") + (fields[chosen[i]].right ? pad + shown : last ? shown : shown + pad);
    }
    fmt::print("{}\n", text);
  };
  line([&](size_t c) { return std::string(fields[c].header); });
  for (const auto& row : rows) line([&](size_t c) { return Escape(row[c]); });
  std::fflush(stdout);
}

void PrintRecord(const Output& out, const std::vector<Field>& fields,
                 const std::vector<std::optional<std::string>>& values) {
  if (out.json) return;
  size_t width = 14;
  for (const Field& f : fields) width = std::max(width, Width(f.header) + 3);
  for (size_t c : Chosen(out, fields)) {
    if (out.terse) {
      fmt::print("{}:{}\n", fields[c].name, values[c] ? TerseField(*values[c]) : std::string());
    } else {
      const std::string label = std::string(fields[c].header) + ":";
      fmt::print("{}{}{}\n", label, std::string(width - Width(label), ' '),
                 values[c] ? Escape(*values[c]) : std::string("unavailable"));
    }
  }
  std::fflush(stdout);
}

int Usage(const Output& out, const std::string& text) {
  if (out.json) {
    std::cerr << json{{"error", text}, {"usage", true}}.dump(-1, ' ', false, json::error_handler_t::replace)
              << "\n";
  } else {
    std::fprintf(stderr, "halvexctl: %s\nRun with --help for more information.\n", Escape(text).c_str());
  }
  return kUsage;
}

int Failed(Output& out, const std::string& what, const char* call, int result) {
  out.data["error"] = what;
  out.data["call"] = call;
  out.data["result"] = result;
  if (!out.json) {
    const char* words = result == kNotSupported ? ": not supported by the adapter's driver" : "";
    fmt::print(stderr, "halvexctl: {} ({} result {}{})\n", Escape(what), call, result, words);
  }
  return kFailure;
}

int Refused(Output& out, const std::string& what) {
  out.data["error"] = what;
  out.data["result"] = nullptr;
  if (!out.json) fmt::print(stderr, "halvexctl: {}\n", Escape(what));
  return kFailure;
}

int Interrupted(Output& out, const std::string& what) {
  out.data["interrupted"] = interrupt::Name();
  out.data["afterInterrupt"] = what;
  // Said on stderr even with --json, where the document carries it too.
  fmt::print(stderr, "halvexctl: interrupted ({}): {}\n", interrupt::Name(), Escape(what));
  return interrupt::ExitCode();
}

void Finish(const Output& out) {
  if (out.json && !out.printed)
    std::cout << out.data.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

std::string TextOf(int (*query)(void*, char*, ULONG), void* adapter, int* result) {
  char text[260] = {};
  *result = query(adapter, text, sizeof text - 1);
  return *result == HALVEX_RESULT_SUCCESS ? std::string(text) : std::string();
}

// ---- reading the adapter -------------------------------------------------------------

int Info(Session* session, Invocation&, Output& out) {
  void* a = session->adapter();
  json& d = out.data;
  const std::pair<const char*, int (*)(void*, char*, ULONG)> texts[] = {
      {"description", HalvexQueryDeviceDesc},   {"driverVersion", HalvexQueryDriverVersion},
      {"driverDate", HalvexQueryDriverDate},    {"adapterName", HalvexQueryAdapterName},
      {"registryKey", HalvexQueryRegistryPath}, {"profile", HalvexQueryProfileInUse}};
  for (const auto& [name, query] : texts) {
    int result = 0;
    const std::string text = TextOf(query, a, &result);
    d[name] = result == 0 ? json(text) : json(nullptr);
  }
  unsigned char mac[6] = {};
  d["mac"] = HalvexGetMacAddress(a, mac, sizeof mac) == 0 ? json(MacText(mac)) : json(nullptr);
  ULONG chip = 0, firmware = 0;
  d["chipVersion"] =
      HalvexQueryChipVersion(a, chip) == 0 ? json(fmt::format("0x{:08X}", chip)) : json(nullptr);
  d["firmwareVersion"] =
      HalvexQueryFirmwareVersion(a, firmware) == 0 ? json(fmt::format("0x{:08X}", firmware)) : json(nullptr);
  int managed = 0;
  const int check = HalvexQueryWZCStatusCheck(managed);
  d["windowsWirelessService"] = check != 0     ? "not running"
                                : managed != 0 ? "manages the adapter"
                                               : "leaves it alone";
  d["simulated"] = session->simulated();
  const std::pair<Field, const char*> rows[] = {
      {{"description", "Description"}, "description"},
      {{"driver-version", "Driver version"}, "driverVersion"},
      {{"driver-date", "Driver date"}, "driverDate"},
      {{"mac", "MAC address"}, "mac"},
      {{"adapter-name", "Adapter name"}, "adapterName"},
      {{"registry-key", "Registry key"}, "registryKey"},
      {{"profile", "Profile"}, "profile"},
      {{"chip-version", "Chip version"}, "chipVersion"},
      {{"firmware", "Firmware"}, "firmwareVersion"},
      {{"windows-wireless", "Windows wireless"}, "windowsWirelessService"}};
  std::vector<Field> fields;
  std::vector<std::optional<std::string>> values;
  for (const auto& [field, key] : rows) {
    fields.push_back(field);
    values.push_back(d[key].is_null() ? std::nullopt : std::optional<std::string>(d[key].get<std::string>()));
  }
  PrintRecord(out, fields, values);
  return 0;
}

int Status(Session* session, Invocation&, Output& out) {
  void* a = session->adapter();
  json& d = out.data;
  const bool connected = HalvexGetConnectStatus(a) == 1;
  d["connected"] = connected;
  std::vector<std::optional<std::string>> values(9);
  values[0] = connected ? "connected" : "not connected";
  if (connected) {
    // The library writes the SSID and a NUL after it: 33 bytes for a full one.
    unsigned char ssid[34] = {};
    unsigned char bssid[6] = {};
    ULONG channel = 0, rssi = 0, speed = 0;
    if (HalvexQuerySsid(a, ssid, sizeof ssid - 1) == 0) {
      const std::string text(reinterpret_cast<char*>(ssid), strnlen(reinterpret_cast<char*>(ssid), 32));
      d["ssid"] = text;
      values[1] = text;
    } else {
      d["ssid"] = nullptr;
    }
    d["bssid"] = HalvexQueryBssid(a, bssid) == 0 ? json(MacText(bssid)) : json(nullptr);
    if (!d["bssid"].is_null()) values[2] = d["bssid"].get<std::string>();
    if (HalvexQueryChannel(a, channel) == 0) {
      d["channel"] = channel;
      d["frequencyMhz"] = FrequencyOf(channel);
      values[3] = std::to_string(channel);
      values[4] = fmt::format("{} MHz", FrequencyOf(channel));
    } else {
      d["channel"] = nullptr;
    }
    if (HalvexQueryRssi(a, rssi) == 0) {
      const auto dbm = static_cast<int32_t>(rssi);
      d["signalDbm"] = dbm;
      d["bars"] = Bars(dbm);
      values[5] = fmt::format("{} dBm", dbm);
      values[6] = BarsText(dbm);
    }
    if (HalvexQueryLinkSpeed(a, speed) == 0) {
      d["linkSpeedMbps"] = speed / 10000.0;
      values[7] = fmt::format("{:g} Mbit/s", speed / 10000.0);
    } else {
      d["linkSpeedMbps"] = nullptr;
    }
  }
  d["supplicant"] = SupplicantJson();
  values[8] = SupplicantText(d["supplicant"]);
  if (session->simulated()) d["portOpen"] = HalvexSimPortOpen() == 1;
  const std::vector<Field> fields = {
      {"connection", "Connection"}, {"ssid", "SSID"},     {"bssid", "BSSID"}, {"channel", "Channel"},
      {"frequency", "Frequency"},   {"signal", "Signal"}, {"bars", "Bars"},   {"link-speed", "Link speed"},
      {"supplicant", "Supplicant"}};
  if (!connected && out.fields.empty() && !out.terse) {
    // Not connected: the link's lines would all be empty.
    PrintRecord(out, {fields[0], fields[8]}, {values[0], values[8]});
  } else {
    PrintRecord(out, fields, values);
  }
  return 0;
}

std::vector<Network> ScanNetworks(Session& session, const Output& out, const std::string& ssid, int* result,
                                  const char** call) {
  *call = ssid.empty() ? "HalvexScan" : "HalvexSsidScan";
  interrupt::SignalAt("scan");
  *result = WithProgress(out, "Scanning", [&] {
    if (ssid.empty()) return HalvexScan(session.adapter());
    HALVEX_SSID_SCAN directed{};
    directed.SsidLength = static_cast<UCHAR>(std::min<size_t>(ssid.size(), 32));
    std::copy_n(ssid.begin(), directed.SsidLength, directed.Ssid);
    return HalvexSsidScan(session.adapter(), &directed);
  });
  std::vector<unsigned char> list(24576);
  ULONG returned = 0;
  const int listed =
      HalvexQueryScanListLength(session.adapter(), list.data(), static_cast<ULONG>(list.size()), returned);
  if (*result == HALVEX_RESULT_SUCCESS && listed != HALVEX_RESULT_SUCCESS) {
    *result = listed;
    *call = "HalvexQueryScanListLength";
  }
  if (listed != HALVEX_RESULT_SUCCESS) return {};
  return ReadScanList(list.data(), std::min<size_t>(returned, list.size()));
}

int Scan(Session* session, Invocation& in, Output& out) {
  int result = 0;
  const char* call = "";
  std::vector<Network> networks = ScanNetworks(*session, out, in.scanSsid, &result, &call);
  if (interrupt::Requested()) return Interrupted(out, "the scan ended; nothing is shown");
  if (result != HALVEX_RESULT_SUCCESS) return Failed(out, "the scan failed", call, result);
  if (!in.scanSsid.empty()) std::erase_if(networks, [&](const Network& n) { return n.ssid != in.scanSsid; });
  json list = json::array();
  std::vector<std::vector<std::string>> rows;
  for (const Network& n : networks) {
    list.push_back({{"ssid", n.ssid},
                    {"bssid", MacText(n.bssid)},
                    {"channel", n.channel},
                    {"frequencyMhz", FrequencyOf(n.channel)},
                    {"signalDbm", n.rssi},
                    {"bars", Bars(n.rssi)},
                    {"security", n.security}});
    rows.push_back({n.ssid, MacText(n.bssid), std::to_string(n.channel),
                    fmt::format("{} MHz", FrequencyOf(n.channel)), fmt::format("{} dBm", n.rssi),
                    BarsText(n.rssi), n.security});
  }
  out.data["networks"] = list;
  PrintListing(out,
               {{"ssid", "SSID"},
                {"bssid", "BSSID"},
                {"channel", "CH", true},
                {"frequency", "FREQ", true},
                {"signal", "SIGNAL", true},
                {"bars", "BARS"},
                {"security", "SECURITY"}},
               rows);
  if (!in.scanSsid.empty() && networks.empty()) return Refused(out, in.scanSsid + " is not in range");
  return 0;
}

int Disconnect(Session* session, Invocation&, Output& out) {
  HalvexWPAPortDown();
  const int result = HalvexSetDisassociate(session->adapter());
  out.data["result"] = result;
  if (result != HALVEX_RESULT_SUCCESS)
    return Failed(out, "the disassociation failed", "HalvexSetDisassociate", result);
  Say(out, "Disconnected\n");
  return 0;
}

// ---- radio parameters ------------------------------------------------------------------

namespace {

// One parameter as the adapter answers it and as the registry stores it: its
// JSON, the words shown after the value, and the result of the query.
struct Reading {
  json data;
  std::string value, shows, stored;
  int result = 0;
};

Reading ReadParameter(void* a, const Parameter& p) {
  Reading r;
  json& d = r.data;
  d["name"] = p.name;
  ULONG value = 0;
  r.result = p.query(a, value);
  if (r.result == HALVEX_RESULT_SUCCESS) {
    d["value"] = value;
    d["text"] = ValueText(p, value);
    r.value = ValueText(p, value);
  } else {
    d["value"] = nullptr;
    d["result"] = r.result;
    r.value = r.result == kNotSupported ? "not supported" : fmt::format("not reported (result {})", r.result);
  }
  if (r.result == HALVEX_RESULT_SUCCESS && p.query == HalvexQueryChannel) {
    // The driver reports the channel it is on: the association's, or its own.
    unsigned char ssid[34] = {};
    if (HalvexGetConnectStatus(a) == 1 && HalvexQuerySsid(a, ssid, sizeof ssid - 1) == 0) {
      const std::string name(reinterpret_cast<char*>(ssid), strnlen(reinterpret_cast<char*>(ssid), 32));
      d["shows"] = "association";
      d["ssid"] = name;
      r.shows = "the channel of the association with " + name;
    } else {
      d["shows"] = "adapter";
      r.shows = "the adapter's own channel: not associated";
    }
  }
  r.stored = "not stored";
  d["registryValue"] = p.registryValue;
  d["stored"] = nullptr;
  const auto key = AdapterKeyPath(a);
  const auto s = key ? ReadStoredValue(*key, p.registryValue) : std::nullopt;
  if (!key) {
    r.stored = "the adapter's registry key is unknown";
  } else if (s) {
    const std::optional<std::string> text = s->Text();
    const auto number = text ? StoredNumber(*text, p.form) : std::nullopt;
    const uint32_t storedValue = number.value_or(0);  // a plain word: GCC 12 misreads the optional's
    d["storedType"] = s->type;
    if (text) d["storedText"] = *text;
    if (number) {
      d["stored"] = storedValue;
      const bool hexForm = p.form == Form::kHexadecimal;
      d["storedForm"] = hexForm ? "hexadecimal" : "decimal";
      r.stored = "stored: " + ValueText(p, storedValue) +
                 (hexForm ? ", as hexadecimal \"" + *text + "\"" : std::string());
    } else if (text) {
      r.stored = "stored: \"" + *text + "\", not a number";
    } else {
      // Written by another tool in a type the library does not read as a number.
      r.stored =
          fmt::format("stored as registry type {}, which the library does not read as a number", s->type);
    }
  }
  return r;
}

}  // namespace

int Get(Session* session, Invocation& in, Output& out) {
  void* a = session->adapter();
  if (in.parameter.empty()) {
    json list = json::array();
    std::vector<std::vector<std::string>> rows;
    for (const Parameter& p : Parameters()) {
      Reading r = ReadParameter(a, p);
      list.push_back(r.data);
      rows.push_back({p.name, r.value + (r.shows.empty() ? "" : " (" + r.shows + ")"), r.stored});
    }
    out.data["parameters"] = list;
    PrintListing(out, {{"name", "NAME"}, {"value", "VALUE"}, {"stored", "STORED"}}, rows);
    return 0;
  }
  const Parameter* p = FindParameter(in.parameter);
  Reading r = ReadParameter(a, *p);
  out.data = r.data;
  if (r.result == kNotSupported)
    return Failed(out, fmt::format("the adapter's driver does not support {}", p->name), p->queryName,
                  r.result);
  if (r.result != HALVEX_RESULT_SUCCESS)
    return Failed(out, fmt::format("the adapter did not report {}", p->name), p->queryName, r.result);
  Say(out, "{} = {}{}  ({})\n", p->name, r.value, r.shows.empty() ? "" : "  (" + Escape(r.shows) + ")",
      Escape(r.stored));
  return 0;
}

int Set(Session* session, Invocation& in, Output& out) {
  const Parameter* p = FindParameter(in.parameter);
  const uint32_t value = in.parsedSettings.front().second;
  const int result = p->set(session->adapter(), value);
  out.data["name"] = p->name;
  out.data["value"] = value;
  out.data["result"] = result;
  if (result == kNotSupported)
    return Failed(out, fmt::format("the adapter's driver does not support {}", p->name), p->setName, result);
  if (result != HALVEX_RESULT_SUCCESS)
    return Failed(out, fmt::format("the adapter refused {}", p->name), p->setName, result);
  out.data["storedAs"] = StoredText(value, p->form);
  Say(out, "{} set to {}\n", p->name, ValueText(*p, value));
  return 0;
}

int Stats(Session* session, Invocation& in, Output& out) {
  void* a = session->adapter();
  if (in.reset) {
    const int result = HalvexResetStatistics(a);
    if (result != 0) return Failed(out, "the counters were not reset", "HalvexResetStatistics", result);
    out.data["reset"] = true;
  }
  NDIS_802_11_STATISTICS s{};
  s.Length = sizeof s;
  const int result = HalvexQueryStatistics(a, &s);
  if (result != 0)
    return Failed(out, "the adapter did not report its counters", "HalvexQueryStatistics", result);
  const std::pair<const char*, const LARGE_INTEGER*> counters[] = {
      {"transmittedFragments", &s.TransmittedFragmentCount},
      {"multicastTransmitted", &s.MulticastTransmittedFrameCount},
      {"failed", &s.FailedCount},
      {"retries", &s.RetryCount},
      {"multipleRetries", &s.MultipleRetryCount},
      {"rtsSuccesses", &s.RTSSuccessCount},
      {"rtsFailures", &s.RTSFailureCount},
      {"ackFailures", &s.ACKFailureCount},
      {"duplicates", &s.FrameDuplicateCount},
      {"receivedFragments", &s.ReceivedFragmentCount},
      {"multicastReceived", &s.MulticastReceivedFrameCount},
      {"fcsErrors", &s.FCSErrorCount}};
  json& c = out.data["counters"] = json::object();
  for (const auto& [name, value] : counters) {
    c[name] = value->QuadPart;
    Say(out, "{:<22}{}\n", name, value->QuadPart);
  }
  RSSI_STATS rssi{};
  if (HalvexQueryRssiStat(a, &rssi) == 0) {
    out.data["rssi"] = {{"current", rssi.Current},
                        {"average", rssi.Average},
                        {"minimum", rssi.Minimum},
                        {"maximum", rssi.Maximum}};
    Say(out, "{:<22}current {} dBm, average {}, minimum {}, maximum {}\n", "rssi", rssi.Current, rssi.Average,
        rssi.Minimum, rssi.Maximum);
  }
  BEACON_STATS beacons{};
  if (HalvexQueryBeaconStatistics(a, &beacons) == 0) {
    out.data["beacons"] = {{"received", beacons.Received}, {"missed", beacons.Missed}};
    Say(out, "{:<22}received {}, missed {}\n", "beacons", beacons.Received, beacons.Missed);
  }
  return 0;
}

json MessageJson(const hx::sim::Message& m) {
  json j = {{"code", m.code}, {"name", MessageName(m.code)}};
  if (m.hasText) j["text"] = m.text;
  return j;
}

std::string MessageText(const hx::sim::Message& m) {
  return fmt::format("WM_APP {:>10}  {}{}", m.code, MessageName(m.code),
                     m.hasText ? "  " + Escape(m.text) : "");
}

int Events(Session* session, Invocation& in, Output& out) {
  if (in.trace != 0) HalvexWPATrace(in.trace);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(in.seconds);
  size_t next = session->messages().Messages().size(), shown = 0;
  out.printed = true;  // line by line, as the messages come
  interrupt::SignalAt("events");
  while (!interrupt::Requested() && (in.count == 0 || shown < in.count)) {
    const auto now = std::chrono::steady_clock::now();
    if (in.seconds != 0 && now >= deadline) break;
    const auto left =
        in.seconds != 0 ? std::chrono::duration_cast<milliseconds>(deadline - now) : milliseconds(60000);
    session->messages().WaitForCount(next + 1, left);
    const std::vector<hx::sim::Message> all = session->messages().Messages();
    for (; next < all.size() && (in.count == 0 || shown < in.count); ++next, ++shown) {
      if (out.json) {
        std::cout << MessageJson(all[next]).dump(-1, ' ', false, json::error_handler_t::replace) << std::endl;
      } else {
        fmt::print("{}\n", MessageText(all[next]));
        std::fflush(stdout);
      }
    }
  }
  if (interrupt::Requested()) {
    if (in.trace != 0) HalvexWPATrace(0);
    return Interrupted(out,
                       in.trace != 0 ? "stopped following; the trace is off again" : "stopped following");
  }
  return 0;
}

int Demo(Session* session, Invocation& in, Output& out) {
  json steps = json::array();
  int failures = 0;
  int status = 0;
  const auto step = [&](const char* title, auto run) {
    if (status != 0) return;
    Say(out, "\n== {} ==\n", title);
    Output inner;
    inner.json = out.json;
    inner.terminal = out.terminal;
    const int result = run(inner);
    if (result > kUsage) status = result;  // interrupted
    failures += result != 0 ? 1 : 0;
    steps.push_back({{"step", title}, {"report", inner.data}});
  };
  Invocation plain;
  step("Adapter", [&](Output& o) { return Info(session, plain, o); });
  step("Scan", [&](Output& o) { return Scan(session, plain, o); });
  Invocation open, wep, corp;
  open.join.ssid = "HalvexOpen";
  wep.join.ssid = "HalvexWEP";
  wep.join.wepKey = "Key!!";
  corp.join.ssid = "HalvexCorp";
  corp.join.eap = "peap";
  corp.join.user = "alice";
  corp.join.domain = "CORP";
  corp.join.password = "s3cret";
  step("Open network", [&](Output& o) { return Join(session, open, o); });
  step("WEP network", [&](Output& o) { return Join(session, wep, o); });
  step("802.1X network (PEAP)", [&](Output& o) { return Join(session, corp, o); });
  step("Status", [&](Output& o) { return Status(session, plain, o); });
  step("Connection snapshot", [&](Output& o) { return ProfileSnapshot(session, plain, o); });
  step("Disconnect", [&](Output& o) { return Disconnect(session, plain, o); });
  Say(out, "\n== Window messages ==\n");
  json messages = json::array();
  for (const hx::sim::Message& m : session->messages().Messages()) {
    messages.push_back(MessageJson(m));
    Say(out, "{}\n", MessageText(m));
  }
  out.data = {{"steps", steps}, {"messages", messages}};
  (void)in;
  if (status != 0) return status;
  return failures == 0 ? 0 : kFailure;
}

// ---- secrets ------------------------------------------------------------------------------

std::optional<std::string> ReadSecret(const std::string& prompt, const std::string& file, std::string* why) {
  std::string secret;
  if (!file.empty()) {
    std::ifstream in(file, std::ios::binary);
    if (!in || !std::getline(in, secret)) {
      *why = file + ": cannot be read";
      return std::nullopt;
    }
  } else {
#ifdef _WIN32
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(input, &mode) != 0;
    if (console) {
      std::fprintf(stderr, "%s", Escape(prompt).c_str());
      SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    const bool read = static_cast<bool>(std::getline(std::cin, secret));
    if (console) {
      SetConsoleMode(input, mode);
      std::fprintf(stderr, "\n");
    }
#else
    termios saved{};
    const bool console = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
    std::optional<interrupt::Waker> restore;
    if (console) {
      std::fprintf(stderr, "%s", Escape(prompt).c_str());
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
      // Ctrl-C at the prompt: nothing has begun; give the terminal its echo back.
      restore.emplace([saved] {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fprintf(stderr, "\nhalvexctl: interrupted (%s) at the prompt; nothing was done\n",
                     interrupt::Name());
        std::_Exit(interrupt::ExitCode());
      });
    }
    const bool read = static_cast<bool>(std::getline(std::cin, secret));
    restore.reset();
    if (console) {
      tcsetattr(STDIN_FILENO, TCSANOW, &saved);
      std::fprintf(stderr, "\n");
    }
#endif
    if (!read) {
      *why = "no secret given on standard input";
      return std::nullopt;
    }
  }
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return secret;
}

bool ResolveCredentials(Invocation& in, std::string* why) {
  JoinRequest& r = in.join;
  if (r.ssid.empty() || r.ssid.size() > 32) {
    *why = "an SSID has 1 to 32 bytes";
    return false;
  }
  if (!in.wepKeyText.empty()) {
    const auto key = WepKeyBytes(in.wepKeyText);
    if (!key) {
      *why = "a WEP key has 5 or 13 characters, or 10 or 26 hex digits";
      return false;
    }
    r.wepKey = *key;
  }
  if (!in.pskText.empty() || !in.pskFile.empty()) {
    std::string psk = in.pskText;
    if (in.pskText == "-" || !in.pskFile.empty()) {
      const auto read =
          ReadSecret("Pass phrase for " + r.ssid + ": ", in.pskFile == "-" ? "" : in.pskFile, why);
      if (!read) return false;
      psk = *read;
    }
    if (!IsPskText(psk)) {
      *why = "a pass phrase has 8 to 63 printable characters, or is the key itself as 64 hex digits";
      return false;
    }
    r.psk = psk;
  }
  for (const auto& [method, text] : in.methodUsers) {
    if (text.empty()) continue;
    r.eap = method;
    // USER or USER@DOMAIN (DOMAIN\USER is how the supplicant composes it).
    const size_t at = text.rfind('@');
    r.user = at == std::string::npos ? text : text.substr(0, at);
    r.domain = at == std::string::npos ? "" : text.substr(at + 1);
    if (r.user.empty()) {
      *why = "--" + method + " needs a user name";
      return false;
    }
    const bool innerFits =
        r.inner.empty() || (r.eap == "peap" && r.inner != "pap") || (r.eap == "ttls" && r.inner != "gtc");
    if (!innerFits) {
      *why = "--inner " + r.inner + " does not go with --" + r.eap;
      return false;
    }
    if (r.eap != "tls") {
      const auto password = ReadSecret("Password for " + r.user + ": ", in.passwordFile, why);
      if (!password) return false;
      r.password = *password;
    }
  }
  if (!r.inner.empty() && r.eap != "peap" && r.eap != "ttls") {
    *why = "--inner goes with --peap or --ttls";
    return false;
  }
  if (!r.ca.empty() && r.eap != "peap" && r.eap != "ttls" && r.eap != "tls") {
    *why = "--ca goes with --tls, --peap or --ttls";
    return false;
  }
  return true;
}

}  // namespace halvexctl
