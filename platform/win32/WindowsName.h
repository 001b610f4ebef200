#pragma once
// The name of a Windows release from the numbers the system reports.
#include <string>

namespace platform::win32 {

struct WindowsRelease {
    unsigned long PlatformId = 0; // VER_PLATFORM_WIN32_NT for every NT
    unsigned long Major = 0;
    unsigned long Minor = 0;
    unsigned long Build = 0;
    bool Server = false; // a server product, not a workstation
};

// "Windows 10", "Windows Server 2019"; "Windows?" for a release it does not
// know.
std::string WindowsName(const WindowsRelease& ARelease);

} // namespace platform::win32
