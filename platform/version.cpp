// The version seam's common part: the override and filling the record.
#include <cstring>

#include "platform/lock.h"
#include "platform/seam_internal.h"

namespace hx::platform {
namespace {

struct Override {
  Lock lock;
  std::optional<ReportedVersion> version;
};

// Never destroyed: a detached thread may read it during exit.
Override& Current() {
  static auto* current = new Override;
  return *current;
}

}  // namespace

void OverrideVersion(std::optional<ReportedVersion> version) {
  Override& current = Current();
  Guard lock(current.lock);
  current.version = version;
}

std::optional<ReportedVersion> VersionOverride() {
  Override& current = Current();
  Guard lock(current.lock);
  return current.version;
}

BOOL FillVersionInfo(OSVERSIONINFOA* info, const ReportedVersion& version) {
  static_assert(sizeof(OSVERSIONINFOA) == 148 && sizeof(OSVERSIONINFOEXA) == 156);
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD size = info->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  info->dwMajorVersion = version.major;
  info->dwMinorVersion = version.minor;
  info->dwBuildNumber = version.build;
  info->dwPlatformId = version.platformId;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  if (size == sizeof(OSVERSIONINFOEXA)) {
    auto* ex = reinterpret_cast<OSVERSIONINFOEXA*>(info);
    ex->wServicePackMajor = 0;
    ex->wServicePackMinor = 0;
    ex->wSuiteMask = 0;
    ex->wProductType = 0;
    ex->wReserved = 0;
  }
  return TRUE;
}

}  // namespace hx::platform
