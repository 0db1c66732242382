// Adapter discovery: finds the adapter's class key in the registry on either
// Windows family, and the operating-system test that chooses the family.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/state.h"

namespace hx {

inline constexpr const char* kAdapterIds[] = {"VEN_F0A3&DEV_0E2A", "VEN_F0A3&DEV_0E2B"};
inline constexpr const char* kNetworkClassKey =
    "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* kServicesClassPrefix = "System\\CurrentControlSet\\Services\\Class\\";

// The operating-system codes of OsKind. NT 6.x (Vista to 8.1) and 10.x keep
// the adapter's class key where NT 5.x keeps it.
inline constexpr int32_t kOsXp = 0, kOs2000 = 1, kOsNt4 = 2, kOs2003 = 3, kOs9x = 4, kOsNt6 = 5, kOsNt10 = 6,
                         kOsUnknown = -1;

// Reads the Windows version and sets the registry access masks to match;
// returns the code (kOsUnknown when the version is not one the library knows).
int32_t DetermineOsKind();
// OsKind, running the test first while it is still unknown.
int32_t EnsureOsKind();

// Finds the adapter and records AdapterKeyPath, AdapterName and (9x family)
// TransportKeyPath. 0 when found, 1 otherwise (the fields keep what they had).
int DiscoverAdapterKey();

// 9x family: from the device key `key` (under HKLM\Enum), follows the bindings
// to the TCP/IP transport and leaves its "Driver" value in `key`. 0 when found.
int FindTransportBinding(char* key, size_t capacity);

// True when the text (upper-cased in place) names one of the adapter's ids.
bool MatchAdapterId(char* text);

// A copy of one of the path texts (AdapterKeyPath...) taken under PathLock.
using PathText = char[kPathLength];
void CopyPath(const char (&field)[kPathLength], PathText& out);

}  // namespace hx
