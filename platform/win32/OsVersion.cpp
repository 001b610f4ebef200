// The running Windows as the kernel reports it. RtlGetVersion is asked
// because GetVersionEx reports 6.2 to every program without a compatibility
// manifest from Windows 8.1 on.
#include "platform/OsVersion.h"

#include "platform/win32/WideText.h"
#include "platform/win32/WindowsName.h"

#include <windows.h>

namespace platform {

namespace win32 {

std::string WindowsName(const WindowsRelease& ARelease) {
    struct TName {
        unsigned long Major, Minor;
        const char* Workstation;
        const char* Server;
    };
    static const TName NtNames[] = {
        {5, 0, "Windows 2000", "Windows 2000"},
        {5, 1, "Windows XP", "Windows XP"},
        {5, 2, "Windows XP", "Windows 2003"},
        {6, 0, "Windows Vista", "Windows Server 2008"},
        {6, 1, "Windows 7", "Windows Server 2008 R2"},
        {6, 2, "Windows 8", "Windows Server 2012"},
        {6, 3, "Windows 8.1", "Windows Server 2012 R2"},
    };
    // Releases of 10.0 differ by build: the first build of each.
    static const std::pair<unsigned long, const char*> Servers10[] = {
        {26100, "Windows Server 2025"},
        {20348, "Windows Server 2022"},
        {17763, "Windows Server 2019"},
        {0, "Windows Server 2016"},
    };
    const auto& [platform, major, minor, build, server] = ARelease;
    if (platform == VER_PLATFORM_WIN32_WINDOWS && major == 4)
        return minor < 10 ? "Windows 95" : minor < 90 ? "Windows 98" : "Windows Me";
    if (platform != VER_PLATFORM_WIN32_NT)
        return "Windows?";
    if (major == 4)
        return "Windows NT";
    if (major == 10 && minor == 0 && !server)
        return build >= 22000 ? "Windows 11" : "Windows 10";
    if (major == 10 && minor == 0)
        for (const auto& [first, name] : Servers10)
            if (build >= first)
                return name;
    for (const TName& name : NtNames)
        if (name.Major == major && name.Minor == minor)
            return server ? name.Server : name.Workstation;
    return "Windows?";
}

} // namespace win32

namespace {

OSVERSIONINFOEXW ReadVersion() {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const auto rtlGetVersion = reinterpret_cast<TRtlGetVersion>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (!rtlGetVersion || rtlGetVersion(&info) != 0)
        GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
    return info;
}

} // namespace

OsVersion CurrentOsVersion() {
    const OSVERSIONINFOEXW info = ReadVersion();
    const win32::WindowsRelease release{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion,
                                        info.dwBuildNumber,
                                        info.wProductType != VER_NT_WORKSTATION};
    OsVersion v;
    v.name = win32::WindowsName(release);
    v.major = static_cast<int>(info.dwMajorVersion);
    v.minor = static_cast<int>(info.dwMinorVersion);
    // The 9x family keeps its version in the build number's high word.
    v.build = v.name == "Windows?" ? 0
              : info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS
                  ? static_cast<int>(LOWORD(info.dwBuildNumber))
                  : static_cast<int>(info.dwBuildNumber);
    v.description = win32::Narrow(info.szCSDVersion, wcsnlen(info.szCSDVersion, 128));
    return v;
}

} // namespace platform
