#include "bench/support.h"

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "Halvex.h"
#include "frame/state.h"
#include "platform/reg_file.h"
#include "platform/seam.h"
#include "platform/unique_handle.h"
#include "sim/sim_registry.h"
#ifdef _WIN32
#include <psapi.h>
#else
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/posix/control.h"
#endif

namespace hx::bench {

Library::Library() {
  ProcessAttach();
  sim = sim::SimAdapter::Create();
  sim->Install();
  HalvexOpenAdapter(adapter);
}

Library::~Library() {
  HalvexCloseAdapter(adapter);
  ProcessDetach();
  sim->Uninstall();
}

Library& Lib() {
  static Library library;
  return library;
}

namespace {

// The keys the setup's imports added (the first missing key on each path):
// a Windows registry outlives the run, and tests under the same Wine prefix
// must find it as it was.
std::vector<std::pair<HKEY, std::string>>& Added() {
  static std::vector<std::pair<HKEY, std::string>> added;
  return added;
}

void ImportSetup() {
  std::vector<platform::RegChange> changes;
  if (!platform::ParseRegText(sim::RegistrySetup(sim::Family::kNt), &changes)) return;
  // The list is made before the handler is registered, so it is destroyed
  // after the handler has run.
  Added();
  static const bool cleanup = std::atexit([] {
                                for (auto key = Added().rbegin(); key != Added().rend(); ++key)
                                  platform::DeleteKeyTree(key->first, key->second.c_str());
                              }) == 0;
  (void)cleanup;
  for (const platform::RegChange& change : changes) {
    auto entry = std::make_pair(change.root, platform::FirstMissingKey(change.root, change.path));
    if (!entry.second.empty() && std::find(Added().begin(), Added().end(), entry) == Added().end())
      Added().push_back(std::move(entry));
  }
  platform::ApplyRegChanges(changes);
}

}  // namespace

void SetupRegistry() {
  // The adapter's key is found the way Windows XP keeps it, whatever this
  // Windows (or Wine) says it is.
  platform::OverrideVersion(platform::ReportedVersion{5, 1, 2600, 2});
  platform::UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, sim::kNtAdapterKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    ImportSetup();
  static sim::InstancePath instance(sim::SimAdapter::Create());
}

#ifndef _WIN32
namespace {

std::string StateDirectory() {
  static const std::string dir = [] {
    std::string pattern =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/halvex-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return std::string();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(StateDirectory(), ignored);
    });
    return pattern;
  }();
  return dir;
}

}  // namespace

bool KeepHive(const std::string& name) {
  return !StateDirectory().empty() && posix::UseRegistryFile(StateDirectory() + "/" + name).ok;
}

void StopKeepingHive() {
  posix::ResetRegistry();
  SetupRegistry();
}
#else
bool KeepHive(const std::string&) {
  return true;
}

void StopKeepingHive() {}
#endif

size_t ResidentBytes() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.WorkingSetSize : 0;
#else
  unsigned long size = 0;
  unsigned long resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%lu %lu", &size, &resident) != 2) resident = 0;
  std::fclose(statm);
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

}  // namespace hx::bench
