// The version flags against what the platform itself reports.
#include <gtest/gtest.h>
#include <windows.h>
#include "config/version_probe.h"

namespace {

// RtlGetVersion is not subject to the manifest's compatibility answers.
RTL_OSVERSIONINFOW true_version()
{
    RTL_OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    using RtlGetVersionFn = LONG(WINAPI *)(RTL_OSVERSIONINFOW *);
    auto fn = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (fn != nullptr)
        fn(&info);
    return info;
}

bool at_least(const RTL_OSVERSIONINFOW &v, DWORD major, DWORD minor)
{
    return v.dwMajorVersion > major || (v.dwMajorVersion == major && v.dwMinorVersion >= minor);
}

TEST(VersionProbe, FlagsMatchThePlatform)
{
    RTL_OSVERSIONINFOW v = true_version();
    ASSERT_GT(v.dwMajorVersion, 0u);
    probe_windows_version();
    EXPECT_EQ(os_vista_or_later, at_least(v, 6, 0));
    EXPECT_EQ(os_win81_or_later, at_least(v, 6, 3));
}

TEST(VersionProbe, ComparisonIsGreaterOrEqualOnMajorAndMinor)
{
    RTL_OSVERSIONINFOW v = true_version();
    EXPECT_TRUE(is_version_or_greater(static_cast<WORD>(v.dwMajorVersion), static_cast<WORD>(v.dwMinorVersion)));
    EXPECT_TRUE(is_version_or_greater(5, 0));
    EXPECT_FALSE(is_version_or_greater(static_cast<WORD>(v.dwMajorVersion + 1), 0));
    EXPECT_FALSE(is_version_or_greater(static_cast<WORD>(v.dwMajorVersion), static_cast<WORD>(v.dwMinorVersion + 1)));
}

} // namespace
