// How the commands speak: text for people (outside data escaped), listings
// and records that -t and -f shape, progress on a terminal, and the
// interrupt's word.
#pragma once

#include <fmt/format.h>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/commands.h"
#include "tools/text.h"

namespace halvexctl {

// Text for people, only when the output is not JSON.
template <typename... Args>
void Say(const Output& out, fmt::format_string<Args...> format, Args&&... args) {
  if (out.json) return;
  fmt::print(format, std::forward<Args>(args)...);
  std::fflush(stdout);
}

// One column of a listing, or one line of a record.
struct Field {
  const char* name;    // as -f names it
  const char* header;  // as the plain form shows it
  bool right = false;  // numbers: right-aligned
};

// Rows of raw cells (escaped here): a table with a header line, or with -t
// colon-separated fields; -f picks and orders the columns.
void PrintListing(const Output& out, const std::vector<Field>& fields,
                  const std::vector<std::vector<std::string>>& rows);
// One record: "Header:  value" lines (null: unavailable), or with -t
// "field:value" lines.
void PrintRecord(const Output& out, const std::vector<Field>& fields,
                 const std::vector<std::optional<std::string>>& values);

// Runs `call` on this thread while a spinner turns on a terminal; nothing is
// drawn in JSON output or when stdout is not a terminal. The library is only
// ever called from the utility's own thread.
template <typename Call>
auto WithProgress(const Output& out, const std::string& label, Call call) {
  if (out.json || !out.terminal) return call();
  std::mutex lock;
  std::condition_variable changed;
  bool done = false;
  std::thread spinner([&] {
    static const char kTurns[] = "|/-\\";
    unsigned turn = 0;
    std::unique_lock held(lock);
    do {
      fmt::print("\r{} {}", label, kTurns[turn++ % 4]);
      std::fflush(stdout);
    } while (!changed.wait_for(held, std::chrono::milliseconds(120), [&] { return done; }));
    fmt::print("\r{}\r", std::string(label.size() + 2, ' '));
    std::fflush(stdout);
  });
  auto result = call();
  {
    std::lock_guard held(lock);
    done = true;
  }
  changed.notify_one();
  spinner.join();
  return result;
}

// The interrupt reported: what was done about it, then its exit code.
int Interrupted(Output& out, const std::string& what);

// A scan (directed at `ssid` when it is not empty) and the networks it
// found; the failing export and its result otherwise.
std::vector<Network> ScanNetworks(Session& session, const Output& out, const std::string& ssid, int* result,
                                  const char** call);

// A text query of the library (a name, a path...), empty on failure.
std::string TextOf(int (*query)(void*, char*, ULONG), void* adapter, int* result);

}  // namespace halvexctl
