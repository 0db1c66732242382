#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32.h"
#ifndef _WIN32
#include "platform/posix/control.h"
#endif

namespace hx::test {
namespace {

constexpr unsigned char kFill = 0xCC;

union VersionBuffer {
  OSVERSIONINFOA plain;
  OSVERSIONINFOEXA ex;
  unsigned char bytes[256];
};

class VersionTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::OverrideVersion(std::nullopt); }

  static VersionBuffer Prepared(DWORD size) {
    VersionBuffer buffer;
    std::memset(&buffer, kFill, sizeof buffer);
    buffer.plain.dwOSVersionInfoSize = size;
    return buffer;
  }
};

TEST_F(VersionTest, OnlyTheTwoRecordSizesAreAccepted) {
  struct Case {
    DWORD size;
    bool accepted;
  };
  const Case cases[] = {{148, true},  {156, true},  {0, false},   {147, false},
                        {149, false}, {155, false}, {157, false}, {256, false}};
  for (bool overridden : {false, true}) {
    if (overridden) platform::OverrideVersion(platform::ReportedVersion{6, 0, 6000, VER_PLATFORM_WIN32_NT});
    for (const Case& c : cases) {
      using Call = BOOL (*)(OSVERSIONINFOA*);
      const Call calls[] = {[](OSVERSIONINFOA* info) { return GetVersionExA(info); },
                            [](OSVERSIONINFOA* info) { return platform::GetVersionInfo(info); }};
      for (Call call : calls) {
        VersionBuffer buffer = Prepared(c.size);
        SetLastError(0);
        EXPECT_EQ(call(&buffer.plain) != FALSE, c.accepted) << c.size << " overridden=" << overridden;
        if (!c.accepted) {
          EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << c.size;
        } else {
          for (size_t i = c.size; i < sizeof buffer; ++i)
            ASSERT_EQ(buffer.bytes[i], kFill) << "wrote past " << c.size;
        }
      }
    }
  }
}

TEST_F(VersionTest, OverrideIsReportedWithEmptyServicePack) {
  platform::OverrideVersion(platform::ReportedVersion{4, 10, 2222, VER_PLATFORM_WIN32_WINDOWS});
  VersionBuffer buffer = Prepared(sizeof(OSVERSIONINFOEXA));
  ASSERT_TRUE(platform::GetVersionInfo(&buffer.plain));
  EXPECT_EQ(buffer.ex.dwMajorVersion, 4u);
  EXPECT_EQ(buffer.ex.dwMinorVersion, 10u);
  EXPECT_EQ(buffer.ex.dwBuildNumber, 2222u);
  EXPECT_EQ(buffer.ex.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
  EXPECT_EQ(buffer.ex.szCSDVersion[0], '\0');
  EXPECT_EQ(buffer.ex.wServicePackMajor, 0);
  EXPECT_EQ(buffer.ex.wServicePackMinor, 0);
  EXPECT_EQ(buffer.ex.wSuiteMask, 0);
  EXPECT_EQ(buffer.ex.wProductType, 0);
}

TEST_F(VersionTest, WithoutOverrideTheSeamReportsTheSystem) {
  VersionBuffer system = Prepared(sizeof(OSVERSIONINFOA));
  VersionBuffer seam = Prepared(sizeof(OSVERSIONINFOA));
  ASSERT_TRUE(GetVersionExA(&system.plain));
  ASSERT_TRUE(platform::GetVersionInfo(&seam.plain));
  EXPECT_EQ(std::memcmp(&system, &seam, sizeof system), 0);
}

#ifndef _WIN32
TEST_F(VersionTest, EmulationReportsTheChosenVersion) {
  VersionBuffer buffer = Prepared(sizeof(OSVERSIONINFOA));
  ASSERT_TRUE(GetVersionExA(&buffer.plain));
  EXPECT_EQ(buffer.plain.dwMajorVersion, 5u) << "Windows XP by default";
  EXPECT_EQ(buffer.plain.dwMinorVersion, 1u);
  EXPECT_EQ(buffer.plain.dwBuildNumber, 2600u);
  EXPECT_EQ(buffer.plain.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));

  posix::SetReportedVersion(4, 0, 1381, VER_PLATFORM_WIN32_NT);
  buffer = Prepared(sizeof(OSVERSIONINFOA));
  ASSERT_TRUE(GetVersionExA(&buffer.plain));
  posix::SetReportedVersion(5, 1, 2600, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(buffer.plain.dwMajorVersion, 4u);
  EXPECT_EQ(buffer.plain.dwMinorVersion, 0u);
  EXPECT_EQ(buffer.plain.dwBuildNumber, 1381u);
  EXPECT_EQ(buffer.plain.szCSDVersion[0], '\0');
}
#endif

}  // namespace
}  // namespace hx::test
