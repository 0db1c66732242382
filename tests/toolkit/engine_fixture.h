// The fixture of the stand-in toolkit's supplicant engine tests: a link with
// a library side that answers events as the library does and keeps what it
// saw, the link's thread run by the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "toolkit/odsim.h"

namespace {

using Bytes = std::vector<UCHAR>;

constexpr ULONG kBound = 5000;  // a safety bound only

// Requests an access point sends: EAPOL header, then the EAP packet.
const Bytes kIdentityRequest = {0x01, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x05, 0x01};
const Bytes kGtcRequest = {0x01, 0x00, 0x00, 0x0F, 0x01, 0x02, 0x00, 0x0F, 0x06, 'P',
                           'a',  's',  's',  'w',  'o',  'r',  'd',  ':',  ' '};
const Bytes kSuccess = {0x01, 0x00, 0x00, 0x04, 0x03, 0x03, 0x00, 0x04};
const Bytes kFailure = {0x01, 0x00, 0x00, 0x04, 0x04, 0x03, 0x00, 0x04};

// One event as the test's library side saw it during the callback.
struct Seen {
  ULONG type = 0;
  ULONG state = 0;  // type 1: the word at 16; type 2: the word at 20
  Bytes bytes;      // type 8: the body; type 6: the key record
  bool destinationNull = false;
  int onLinkThread = 0;
};

// What the library side does: answers 15 with the identity and 13 with a
// blob, as the library's callback does, and keeps what it saw.
struct LibrarySide {
  ODSTK_HANDLE link = nullptr;
  ODSTK_HANDLE identity = nullptr;
  std::optional<std::string> answer;  // type 13; none: the answer is left empty
  std::vector<Seen> events;
};
LibrarySide* g_side = nullptr;
// Events raised by a timer come with nothing to wait on but these.
std::mutex g_eventsMutex;
std::condition_variable g_eventsChanged;

ULONG WordAt(const void* event, size_t offset) {
  ULONG word;
  std::memcpy(&word, static_cast<const UCHAR*>(event) + offset, 4);
  return word;
}

void ODSTK_CALL LibraryCallback(ULONG, void* event) {
  Seen seen;
  seen.type = WordAt(event, ODSTK_EVENT_TYPE_OFFSET);
  seen.onLinkThread = ODSIM_OnLinkThread();
  switch (seen.type) {
    case 1:
      seen.state = WordAt(event, ODSTK_EVENT_LINK_STATE_OFFSET);
      break;
    case 2:
      seen.state = WordAt(event, ODSTK_EVENT_WORD_OFFSET);
      break;
    case 6: {
      const auto* record = static_cast<const UCHAR*>(event) + ODSTK_EVENT_KEY_OFFSET;
      seen.bytes.assign(record, record + WordAt(record, 0));
      break;
    }
    case 8: {
      const auto* frame = static_cast<const ODSTK_EVENT_FRAME*>(event);
      seen.bytes.assign(frame->Body, frame->Body + frame->BodyLength);
      seen.destinationNull = frame->Destination == nullptr;
      break;
    }
    case 13:
      if (g_side->answer) {
        auto* question = static_cast<ODSTK_EVENT_ANSWER*>(event);
        ODSTK_AllocBlob(&question->Answer, g_side->answer->data(),
                        static_cast<ULONG>(g_side->answer->size()));
      }
      break;
    case 15:
      ODSTK_LINK_SetIdentity(g_side->link, g_side->identity);
      ODSTK_LINK_SetSessionResumptionTimeout(g_side->link, 3600);
      break;
    default:
      break;
  }
  {
    std::lock_guard lock(g_eventsMutex);
    g_side->events.push_back(std::move(seen));
  }
  g_eventsChanged.notify_all();
}

struct TraceLine {
  ULONG level;
  std::string text;
  Bytes data;
  bool operator==(const TraceLine&) const = default;
};
std::vector<TraceLine>* g_trace = nullptr;
[[maybe_unused]] void ODSTK_CALL RecordingTrace(ULONG level, ULONG, const char* text, const void* data,
                                                ULONG length) {
  const auto* bytes = static_cast<const UCHAR*>(data);
  g_trace->push_back({level, text ? text : "(null)", bytes ? Bytes(bytes, bytes + length) : Bytes{}});
}

int SetNetworkOf(ODSTK_HANDLE link, ULONG use8021X, ULONG cipher) {
  SUPP_NETWORK_INFO info{};
  info.Size = sizeof info;
  info.Use8021X = use8021X;
  info.Cipher = cipher;
  std::memcpy(info.Bssid, "\x00\x11\x22\x33\x44\x07", 6);
  return ODSTK_LINK_SetNetworkInfoA(link, &info);
}

class LinkRunner {
 public:
  explicit LinkRunner(ODSTK_HANDLE link) : link_(link), thread_([link] { ODSTK_LINK_Thread(link); }) {}
  ~LinkRunner() {
    ODSTK_LINK_Terminate(link_);
    thread_.join();
  }

 private:
  ODSTK_HANDLE link_;
  std::thread thread_;
};

class SupplicantEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ODSIM_Reset();
    ODSIM_EnableSupplicant(1);
    side_ = LibrarySide{};
    g_side = &side_;
    ASSERT_EQ(ODSTK_CreateContext(&context_), 0);
    ASSERT_EQ(ODSTK_CONTEXT_CreateLinkAsynchronousA(context_, &side_.link), 0);
    ASSERT_EQ(ODSTK_CONTEXT_CreateIdentity(context_, &side_.identity), 0);
    ODSTK_IDENTITY_SetUserNameA(side_.identity, "alice");
    ODSTK_IDENTITY_SetPasswordA(side_.identity, "s3cret");
    // LEAP, a method every build runs.
    const ULONG leap = 17;
    ODSTK_IDENTITY_SetEapTypeList(side_.identity, 0, &leap, 1);
    ODSTK_LINK_SetCallbackA(side_.link, LibraryCallback, 0);
    ASSERT_EQ(SetNetwork(1, 3), 0);
    ASSERT_EQ(ODSTK_LINK_PortUp(side_.link), 0);
  }
  void TearDown() override {
    runner_.reset();
    ODSIM_Reset();
    g_side = nullptr;
    g_trace = nullptr;
  }

  int SetNetwork(ULONG use8021X, ULONG cipher) { return SetNetworkOf(side_.link, use8021X, cipher); }
  void StartLink() { runner_.emplace(side_.link); }
  // Hands `frame` to the engine and waits until the link has handled it.
  int Receive(Bytes frame) {
    int result = ODSTK_LINK_ReceiveEapol(side_.link, frame.data(), static_cast<ULONG>(frame.size()));
    std::fill(frame.begin(), frame.end(), 0xEE);  // the toolkit copied it during the call
    EXPECT_EQ(ODSIM_WaitIdle(side_.link, kBound), ODSIM_DELIVERED);
    return result;
  }
  // Waits until the library side has seen `count` events.
  bool WaitForEvents(size_t count) {
    std::unique_lock lock(g_eventsMutex);
    return g_eventsChanged.wait_for(lock, std::chrono::milliseconds(kBound),
                                    [&] { return side_.events.size() >= count; });
  }
  std::vector<ULONG> Types() const {
    std::vector<ULONG> types;
    for (const Seen& seen : side_.events) types.push_back(seen.type);
    return types;
  }
  // Starts a session: the identity request and its three events.
  void Identify() {
    ASSERT_EQ(Receive(kIdentityRequest), 0);
    ASSERT_EQ(Types(), (std::vector<ULONG>{15, 1, 8}));
    side_.events.clear();
  }

  LibrarySide side_;
  ODSTK_HANDLE context_ = nullptr;
  std::optional<LinkRunner> runner_;
};

}  // namespace
