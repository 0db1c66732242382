// GetVersionExA reports whichever Windows a test or the utility chose.
#include <mutex>

#include "platform/posix/control.h"
#include "platform/seam_internal.h"

namespace hx::posix {
namespace {

std::mutex gMutex;
hx::platform::ReportedVersion gVersion{5, 1, 2600, VER_PLATFORM_WIN32_NT};  // Windows XP

}  // namespace

void SetReportedVersion(uint32_t major, uint32_t minor, uint32_t build, uint32_t platformId) {
  std::lock_guard lock(gMutex);
  gVersion = {major, minor, build, platformId};
}

}  // namespace hx::posix

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  hx::platform::ReportedVersion version;
  {
    std::lock_guard lock(hx::posix::gMutex);
    version = hx::posix::gVersion;
  }
  return hx::platform::FillVersionInfo(info, version);
}
