// watch: the link as a picture, redrawn in place on a terminal (link state,
// network, signal with bars and a sparkline of the last minute, speed, the
// supplicant's state in words, the last events); plain timestamped lines
// when stdout is not a terminal, one JSON document per reading with --json.
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <iostream>
#include <optional>

#include "Halvex.h"
#include "tools/interrupt.h"
#include "tools/output.h"
#include "tools/text.h"

namespace halvexctl {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

struct Reading {
  bool connected = false;
  std::string ssid, bssid;
  uint32_t channel = 0;
  std::optional<int32_t> dbm;
  std::optional<double> mbps;
  int state = 0, link = 0, auth = 0;
};

Reading Read(void* a) {
  Reading r;
  r.connected = HalvexGetConnectStatus(a) == 1;
  r.state = HalvexGetWPASuppStatus(0);
  r.link = HalvexGetWPASuppStatus(1);
  r.auth = HalvexGetWPASuppStatus(2);
  if (!r.connected) return r;
  unsigned char ssid[34] = {}, bssid[6] = {};
  ULONG channel = 0, rssi = 0, speed = 0;
  if (HalvexQuerySsid(a, ssid, sizeof ssid - 1) == 0)
    r.ssid.assign(reinterpret_cast<char*>(ssid), strnlen(reinterpret_cast<char*>(ssid), 32));
  if (HalvexQueryBssid(a, bssid) == 0) r.bssid = MacText(bssid);
  if (HalvexQueryChannel(a, channel) == 0) r.channel = channel;
  if (HalvexQueryRssi(a, rssi) == 0) r.dbm = static_cast<int32_t>(rssi);
  if (HalvexQueryLinkSpeed(a, speed) == 0) r.mbps = speed / 10000.0;
  return r;
}

bool Utf8Locale() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      const std::string v(value);
      return v.find("UTF-8") != std::string::npos || v.find("utf8") != std::string::npos ||
             v.find("UTF8") != std::string::npos || v.find("utf-8") != std::string::npos;
    }
  }
  return false;
}

// A reading's signal and when it was taken.
struct Sample {
  std::chrono::steady_clock::time_point at;
  std::optional<int32_t> dbm;
};

// The last minute, a column a second, each showing the weakest signal read
// in its second in eight steps from -95 dBm up to -35 dBm; a gap where there
// was no reading or no link.
std::string Sparkline(const std::deque<Sample>& samples, std::chrono::steady_clock::time_point now,
                      bool unicode) {
  static const char* const kBlocks[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                        "\u2585", "\u2586", "\u2587", "\u2588"};
  static const char kAscii[] = "_.-~=*#@";
  std::optional<int32_t> weakest[60];
  for (const Sample& s : samples) {
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - s.at).count();
    if (age < 0 || age >= 60 || !s.dbm) continue;
    auto& column = weakest[59 - age];
    column = column ? std::min(*column, *s.dbm) : *s.dbm;
  }
  std::string line;
  for (const auto& w : weakest) {
    if (!w) {
      line += ' ';
      continue;
    }
    const int step = std::clamp((*w + 95) * 8 / 61, 0, 7);
    line += unicode ? std::string(kBlocks[step]) : std::string(1, kAscii[step]);
  }
  return line;
}

std::string Clock() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
#ifdef _WIN32
  localtime_s(&parts, &now);
#else
  localtime_r(&now, &parts);
#endif
  return fmt::format("{:%H:%M:%S}", parts);
}

std::string EventText(const hx::sim::Message& m) {
  if (m.hasText) return Escape(m.text);
  switch (m.code) {
    case 0:
      return "disconnected";
    case 1:
      return "connected";
    case 3:
      return "roamed";
    case 4:
      return "link lost";
    case 6:
      return "scan done";
    case 8:
      return "radio on";
    case 9:
      return "radio off";
    case HALVEX_MSG_SUPP_CONNECTED:
      return "supplicant connected";
    default:
      return fmt::format("message {}", m.code);
  }
}

json ReadingJson(const Reading& r) {
  json j = {{"connected", r.connected},
            {"supplicant",
             {{"state", r.state},
              {"link", r.link},
              {"authentication", r.auth},
              {"stateText", SupplicantStateText(r.state)}}}};
  if (r.connected) {
    j["ssid"] = r.ssid;
    j["bssid"] = r.bssid;
    j["channel"] = r.channel;
    j["frequencyMhz"] = FrequencyOf(r.channel);
    if (r.dbm) j["signalDbm"] = *r.dbm;
    if (r.mbps) j["linkSpeedMbps"] = *r.mbps;
  }
  return j;
}

// The screen, one string; lines end in "erase to the end of the line".
std::string Screen(const Reading& r, const std::deque<Sample>& samples, const std::deque<std::string>& events,
                   bool unicode) {
  std::string s = fmt::format("halvexctl watch  {}  (Ctrl-C ends it)\x1b[K\n\x1b[K\n", Clock());
  const auto line = [&](const char* label, const std::string& value) {
    s += fmt::format("{:<13}{}\x1b[K\n", label, value);
  };
  line("Link:", r.connected ? "connected" : "not connected");
  line("SSID:", r.connected ? Escape(r.ssid) : "-");
  line("BSSID:", r.connected ? r.bssid : "-");
  line("Channel:", r.connected ? fmt::format("{} ({} MHz)", r.channel, FrequencyOf(r.channel)) : "-");
  line("Signal:", r.dbm ? fmt::format("{} dBm  {}", *r.dbm, BarsText(*r.dbm)) : "-");
  line("Last minute:", Sparkline(samples, std::chrono::steady_clock::now(), unicode));
  line("Link speed:", r.mbps ? fmt::format("{:g} Mbit/s", *r.mbps) : "-");
  line("Supplicant:", fmt::format("{} (link {}, authentication {})", SupplicantStateText(r.state),
                                  LinkStateText(r.link), AuthStateText(r.auth)));
  s += "\x1b[K\nLast events:\x1b[K\n";
  if (events.empty()) s += "  none yet\x1b[K\n";
  for (const std::string& e : events) s += "  " + e + "\x1b[K\n";
  return s + "\x1b[J";
}

}  // namespace

int Watch(Session* session, Invocation& in, Output& out) {
  void* a = session->adapter();
  const bool screen = out.terminal && !out.json;
  const bool unicode = Utf8Locale();
  const auto every = milliseconds(static_cast<int64_t>(in.interval * 1000));
  std::deque<Sample> samples;
  std::deque<std::string> events;
  size_t next = session->messages().Messages().size();
  out.printed = true;
  // The alternate screen keeps the user's scrollback; the cursor is hidden
  // while the view is drawn, and both come back however the view ends.
  if (screen) fmt::print("\x1b[?1049h\x1b[?25l");
  for (unsigned readings = 0; !interrupt::Requested() && (in.count == 0 || readings < in.count); ++readings) {
    const Reading r = Read(a);
    const auto now = std::chrono::steady_clock::now();
    samples.push_back({now, r.dbm});
    while (now - samples.front().at >= std::chrono::seconds(60)) samples.pop_front();
    const std::vector<hx::sim::Message> all = session->messages().Messages();
    for (; next < all.size(); ++next) {
      if (all[next].code == 6) continue;  // the scans' own noise
      const std::string text = fmt::format("{}  {}", Clock(), EventText(all[next]));
      if (!screen && !out.json) fmt::print("{}  event  {}\n", Clock(), EventText(all[next]));
      events.push_back(text);
      if (events.size() > 5) events.pop_front();
    }
    if (screen) {
      fmt::print("\x1b[H{}", Screen(r, samples, events, unicode));
    } else if (out.json) {
      json j = ReadingJson(r);
      j["time"] = Clock();
      std::cout << j.dump(-1, ' ', false, json::error_handler_t::replace) << std::endl;
    } else {
      fmt::print("{}  {}  {}  {}  {}  supplicant {}\n", Clock(), r.connected ? "connected" : "not connected",
                 r.connected ? Escape(r.ssid) + " " + r.bssid + fmt::format(" ch {}", r.channel) : "-",
                 r.dbm ? fmt::format("{} dBm {}", *r.dbm, BarsText(*r.dbm)) : "-",
                 r.mbps ? fmt::format("{:g} Mbit/s", *r.mbps) : "-", SupplicantStateText(r.state));
    }
    std::fflush(stdout);
    interrupt::SignalAt("watch");
    if (in.count != 0 && readings + 1 >= in.count) break;
    // Woken early by an event to show, or by Ctrl-C.
    const auto until = std::chrono::steady_clock::now() + every;
    while (!interrupt::Requested()) {
      const auto left = std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0 || session->messages().WaitForCount(next + 1, left)) break;
    }
  }
  if (screen) fmt::print("\x1b[?25h\x1b[?1049l");
  std::fflush(stdout);
  if (interrupt::Requested()) return Interrupted(out, "the view is closed");
  return 0;
}

}  // namespace halvexctl
