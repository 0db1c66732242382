// Key hygiene: after a key, PMKID or EAPOL body has been handed to the
// driver, no heap block the library freed and no stack frame it left still
// holds the secret bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

#include "crypto/rsn.h"
#include "frame/oids.h"
#include "tests/settings/settings_fixture.h"
#include "tests/supplicant/bridge_fixture.h"

#if !defined(_WIN32) && (defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__))
#define HX_FREE_HOOK_SANITIZER 1
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
extern "C" size_t __sanitizer_get_allocated_size(const volatile void*);
#elif !defined(_WIN32) && defined(__GLIBC__)
#define HX_FREE_HOOK_GLIBC 1
#include <malloc.h>
extern "C" void __libc_free(void*);
#endif

namespace hx::test {
namespace {

// Distinctive key bytes; secrets live in static storage so that neither the
// heap nor the stack holds them unless the library put them there.
uint8_t gKey[13] = {0xC3, 0x5A, 0x9E, 0x17, 0xF0, 0x4B, 0xD6, 0x28, 0x71, 0xAC, 0x3F, 0xE5, 0x86};
uint8_t gRecord[64];
const uint8_t kAddress[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

// A leftover: any 6 consecutive bytes of the key.
constexpr size_t kRun = 6;

bool HoldsKey(const volatile uint8_t* p, size_t size) {
  for (size_t i = 0; i + kRun <= size; ++i) {
    for (size_t k = 0; k + kRun <= sizeof gKey; ++k) {
      size_t n = 0;
      while (n < kRun && p[i + n] == gKey[k + n]) ++n;
      if (n == kRun) return true;
    }
  }
  return false;
}

// ---- freed blocks --------------------------------------------------------------

// Frees are looked at on the installing thread only, and not while the
// driver runs: its memory is its own.
thread_local bool tWatching = false;
thread_local bool tInDriver = false;
int gFreed = 0;
int gFreedHoldingKey = 0;

// Every block any thread frees, copied while a test keeps them: the secrets
// of a join (its keys are random) are known only once it is over. Static
// storage, so keeping allocates nothing; blocks are cut at 64 KiB and kept
// one zero byte apart, so no match spans two.
constexpr size_t kKeptSize = 32u << 20;
constexpr size_t kKeptBlockLimit = 64u << 10;
uint8_t gKept[kKeptSize];
std::atomic<size_t> gKeptUsed{0};
std::atomic<bool> gKeepingAll{false};

void KeepFreed(const volatile void* p, size_t size) {
  const size_t n = std::min(size, kKeptBlockLimit);
  const size_t at = gKeptUsed.fetch_add(n + 1, std::memory_order_relaxed);
  if (at + n + 1 > kKeptSize) return;
  const auto* bytes = static_cast<const volatile uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) gKept[at + i] = bytes[i];
}

// Whether a kept block holds `run` consecutive bytes of `secret`.
bool KeptHold(std::string_view secret, size_t run) {
  const size_t used = std::min(gKeptUsed.load(), kKeptSize);
  const char* kept = reinterpret_cast<const char*>(gKept);
  for (size_t k = 0; k + run <= secret.size(); ++k) {
    const std::string_view window = secret.substr(k, run);
    const std::boyer_moore_horspool_searcher searcher(window.begin(), window.end());
    if (std::search(kept, kept + used, searcher) != kept + used) return true;
  }
  return false;
}

[[maybe_unused]] void InspectFreed(const volatile void* p, size_t size) {
  if (p != nullptr && gKeepingAll.load(std::memory_order_relaxed)) KeepFreed(p, size);
  if (p == nullptr || !tWatching || tInDriver) return;
  ++gFreed;
  if (HoldsKey(static_cast<const volatile uint8_t*>(p), size)) ++gFreedHoldingKey;
}

#if HX_FREE_HOOK_SANITIZER
// The sanitizer's allocator owns free: its hook sees each block before release.
void OnSanitizerFree(const volatile void* p) {
  if ((tWatching && !tInDriver) || gKeepingAll.load(std::memory_order_relaxed))
    InspectFreed(p, __sanitizer_get_allocated_size(p));
}
void OnSanitizerMalloc(const volatile void*, size_t) {}  // the hooks come in pairs
bool WatchFrees() {
  static const bool installed =
      __sanitizer_install_malloc_and_free_hooks(OnSanitizerMalloc, OnSanitizerFree) != 0;
  return installed;
}
#elif HX_FREE_HOOK_GLIBC
bool WatchFrees() {
  return true;
}
#else
// The Windows C runtime's free cannot be interposed from the test program.
bool WatchFrees() {
  return false;
}
#endif

// ---- dead stack ----------------------------------------------------------------

constexpr size_t kStackSpan = 32 * 1024;

// Fills the stack below the caller with a known pattern, so that what the
// scan finds was left by the call that follows.
[[gnu::noinline]] void ScrubStackBelow() {
  volatile uint8_t area[kStackSpan + 4096];
  for (size_t i = 0; i < sizeof area; ++i) area[i] = 0x5A;
}

// Runs `call` well below the caller's frame, so the scan's own frame cannot
// cover what the call left.
[[gnu::noinline]] int CallBelow(const std::function<int()>& call) {
  volatile uint8_t pad[1024];
  pad[0] = 0;
  const int result = call();
  pad[sizeof pad - 1] = 0;
  return result;
}

// The stack below this function's frame: what the previous call left there.
[[gnu::noinline, gnu::no_sanitize_address]] bool DeadStackHoldsKey() {
  volatile uint8_t here = 0;
  const uintptr_t top = reinterpret_cast<uintptr_t>(&here);
  return HoldsKey(reinterpret_cast<const volatile uint8_t*>(top - kStackSpan), kStackSpan - 64);
}

// Leaves the key in a stack block it does not wipe: the scan must find it.
[[gnu::noinline]] int LeaveKeyOnStack() {
  volatile uint8_t copy[sizeof gKey];
  for (size_t i = 0; i < sizeof gKey; ++i) copy[i] = gKey[i];
  return copy[0] == gKey[0] ? 0 : 1;
}

// The driver as Windows runs it: on a stack of the kernel's and with memory
// of its own, so what it leaves is outside the library's reach.
class DriverBoundary : public platform::Device {
 public:
  explicit DriverBoundary(std::shared_ptr<sim::SimAdapter> adapter) : adapter_(std::move(adapter)) {}

  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error) override {
    tInDriver = true;
    const bool done = adapter_->Control(code, in, inLength, out, outLength, returned, error);
    tInDriver = false;
    ScrubStackBelow();
    return done;
  }

 private:
  std::shared_ptr<sim::SimAdapter> adapter_;
};

// ---- installs --------------------------------------------------------------------

// A record with the key at `offset`, in static storage.
uint8_t* RecordWithKey(size_t offset) {
  std::memset(gRecord, 0x01, sizeof gRecord);
  std::memcpy(gRecord + offset, gKey, sizeof gKey);
  return gRecord;
}

struct Install {
  const char* name;
  std::function<int(void* adapter)> call;
  uint32_t oid;
  // False where the registry replaces a stored key: the copy it frees is the
  // system's, as the driver's memory is.
  bool checkFrees = true;
};

const Install kInstalls[] = {
    {"WepKey", [](void* a) { return HalvexSetWepKey(a, 1, gKey, sizeof gKey, 1); }, OID_802_11_ADD_WEP},
    {"AddKey", [](void* a) { return HalvexSetAddKey(a, RecordWithKey(32), 45); }, OID_802_11_ADD_KEY},
    {"WPAWepKey",
     [](void* a) { return HalvexSetWPAWepKey(a, reinterpret_cast<NDIS_802_11_WEP*>(RecordWithKey(12)), 28); },
     OID_802_11_ADD_WEP},
    {"PMKID",
     [](void* a) { return HalvexSetPMKID(a, reinterpret_cast<NDIS_802_11_PMKID*>(RecordWithKey(14)), 32); },
     OID_802_11_PMKID},
    {"EAPOLTx", [](void* a) { return HalvexSetEAPOLTx(a, kAddress, kAddress, RecordWithKey(20), 40); },
     OID_HALVEX_EAPOL_TX},
    // The connection snapshot reads the stored keys back (key 4 last), and puts
    // them back.
    {"WepKey, then snapshot",
     [](void* a) { return HalvexSetWepKey(a, 4, gKey, sizeof gKey, 0) | HalvexRegisterConnInfo(a); },
     OID_802_11_ADD_WEP},
    {"WepKey, snapshot, revert",
     [](void* a) {
       return HalvexSetWepKey(a, 3, gKey, sizeof gKey, 0) | HalvexRegisterConnInfo(a) |
              HalvexRevertConnInfo(a);
     },
     OID_802_11_ADD_WEP, false},
    {"PreAuthEAPOLTx",
     [](void* a) { return HalvexSetPreAuthEAPOLTx(a, kAddress, kAddress, RecordWithKey(3), 16); },
     OID_HALVEX_EAPOL_TX},
};

class KeyHygieneTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    if (HasFatalFailure()) return;
    ReopenThrough(std::make_shared<DriverBoundary>(sim));
  }
};

// ThreadSanitizer's runtime copies and frees memory its own way: what is
// left where is checked by the plain and the AddressSanitizer builds.
#if defined(__SANITIZE_THREAD__)
#define HX_SKIP_UNDER_TSAN() GTEST_SKIP() << "memory contents are checked without ThreadSanitizer"
#else
#define HX_SKIP_UNDER_TSAN() (void)0
#endif

TEST_F(KeyHygieneTest, NoFreedBlockOrDeadFrameHoldsTheKey) {
  HX_SKIP_UNDER_TSAN();
  const bool watchFrees = WatchFrees();
  for (const Install& install : kInstalls) {
    SCOPED_TRACE(install.name);
    gFreed = 0;
    gFreedHoldingKey = 0;
    ScrubStackBelow();
    tWatching = true;
    const int result = CallBelow([&] { return install.call(adapter); });
    tWatching = false;
    const bool stackHoldsKey = DeadStackHoldsKey();

    EXPECT_EQ(result, 0);
    // The adapter took the key: the checks below look for bytes that were there.
    const auto sent = sim->CallsFor(install.oid);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(HoldsKey(sent[0].input.data(), sent[0].input.size())) << "the key was sent";
    sim->ClearCalls();
    EXPECT_FALSE(stackHoldsKey) << "a dead stack frame holds the key";
    if (watchFrees && install.checkFrees) {
      EXPECT_GT(gFreed, 0) << "the request buffer was freed unseen";
      EXPECT_EQ(gFreedHoldingKey, 0) << "a freed block holds the key";
    }
  }
  if (!watchFrees) GTEST_SKIP() << "freed blocks unchecked: this C runtime's free cannot be watched";
}

// ---- a whole join -------------------------------------------------------------

// The secrets a PSK join handles, in static storage as gKey is; no run of
// eight of their characters is a word another library might free.
char gPassphrase[] = "hyG9 Wq3k corH7rs batT2xzv";
char gPassword[] = "hun7er2 Qx7zrv9 Vwk3pqL";
uint8_t gPmk[32], gTk[16], gGtk[16];

std::string_view View(const uint8_t* bytes, size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

class JoinHygieneTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    if (HasFatalFailure()) return;
    EngineAndNetwork(sim::PskAccessPoint("HalvexHome", 0x06, 6, gPassphrase));
    sim->SetHandshakeRetry(std::chrono::seconds(60));
    // What the driver's log keeps is looked at here, as a user's driver has it.
    sim->KeepSecretsInLog(false);
  }
};

// After a PSK join (with an 802.1X identity made beforehand), the supplicant's
// end and the library's unload, no block any thread freed holds the pass
// phrase, the password, the PMK or the keys, and neither the toolkit's call
// record nor the driver's request log keeps them.
TEST_F(JoinHygieneTest, NoFreedBlockOrRecordHoldsTheSecrets) {
  HX_SKIP_UNDER_TSAN();
  if (!WatchFrees()) GTEST_SKIP() << "freed blocks unchecked: this C runtime's free cannot be watched";
  char user[] = "alice", domain[] = "CORP";
  char ssid[] = "HalvexHome";
  gKeptUsed = 0;
  gKeepingAll = true;
  ASSERT_EQ(HalvexWPACreateIdentityPEAP(user, domain, gPassword), 0);
  ASSERT_EQ(HalvexSetWPAInformation(adapter, 9, 3, reinterpret_cast<unsigned char*>(gPassphrase), ssid), 0);
  HalvexSetAuthMode(adapter, 7);
  HalvexSetWepStatus(adapter, 6);
  ASSERT_EQ(HalvexSetSsid(adapter, ssid, 10), 0);
  WaitFor([](const Message& m) { return m.code == 1008; });
  ASSERT_TRUE(recorder.WaitForCount(10));
  {
    // The keys, read while nothing is kept: the copies read here are the test's.
    gKeepingAll = false;
    const sim::RadioWorld world = sim->World();
    const auto tk = world.Handshake().TemporalKey();
    ASSERT_EQ(tk.size(), sizeof gTk);
    std::copy(tk.begin(), tk.end(), gTk);
    const auto group = world.GroupKey();
    ASSERT_TRUE(group && group->gtk.key.size() == sizeof gGtk);
    std::copy(group->gtk.key.begin(), group->gtk.key.end(), gGtk);
    const auto pmk = rsn::PassphraseToPmk(gPassphrase, Bytes(ssid, ssid + 10));
    ASSERT_TRUE(pmk && pmk->size() == sizeof gPmk);
    std::copy(pmk->begin(), pmk->end(), gPmk);
    gKeepingAll = true;
  }
  HalvexWPATerminate();
  const auto calls = odsim::Calls();  // read while the record is still there
  HalvexCloseAdapter(adapter);
  adapter = nullptr;
  hx::ProcessDetach();
  gKeepingAll = false;
  const auto log = sim->Calls();
  ASSERT_TRUE(hx::ProcessAttach());

  const struct {
    const char* name;
    std::string_view bytes;
  } secrets[] = {{"pass phrase", gPassphrase},
                 {"password", gPassword},
                 {"PMK", View(gPmk, sizeof gPmk)},
                 {"TK", View(gTk, sizeof gTk)},
                 {"GTK", View(gGtk, sizeof gGtk)}};
  ASSERT_LT(gKeptUsed.load(), kKeptSize) << "more was freed than could be kept";
  for (const auto& secret : secrets) {
    SCOPED_TRACE(secret.name);
    EXPECT_FALSE(KeptHold(secret.bytes, 8)) << "a freed block holds it";
    for (const std::string& call : calls)
      EXPECT_EQ(call.find(secret.bytes.substr(0, 8)), std::string::npos) << call;
    for (const sim::ControlCall& call : log) {
      EXPECT_FALSE(std::search(call.input.begin(), call.input.end(), secret.bytes.begin(),
                               secret.bytes.begin() + 8) != call.input.end())
          << "the request log holds it (OID " << std::hex << call.Oid() << ")";
    }
  }
}

// The checks can fail: a key left in a dead frame is found, as is a freed
// block still holding one.
TEST(KeyHygieneCheckTest, FindsKeysLeftBehind) {
  HX_SKIP_UNDER_TSAN();
  ScrubStackBelow();
  CallBelow(LeaveKeyOnStack);
  EXPECT_TRUE(DeadStackHoldsKey());
  if (!WatchFrees()) GTEST_SKIP() << "freed blocks unchecked: this C runtime's free cannot be watched";
  gFreedHoldingKey = 0;
  // Through a volatile pointer, so the compiler cannot drop the pair.
  uint8_t* volatile block = static_cast<uint8_t*>(std::malloc(40));
  std::memcpy(block + 20, gKey, sizeof gKey);
  tWatching = true;
  gKeptUsed = 0;
  gKeepingAll = true;
  std::free(block);
  gKeepingAll = false;
  tWatching = false;
  EXPECT_EQ(gFreedHoldingKey, 1);
  EXPECT_TRUE(KeptHold(View(gKey, sizeof gKey), 8)) << "a block kept from any thread is searched";
}

}  // namespace
}  // namespace hx::test

#if HX_FREE_HOOK_GLIBC
// Every free in the test program passes here; only while a test watches is
// the block looked at, before glibc releases it.
extern "C" void free(void* p) {
  hx::test::InspectFreed(p, p != nullptr ? malloc_usable_size(p) : 0);
  __libc_free(p);
}
#endif
