#pragma once
#include <string>

namespace platform {

// The running operating system as its kernel and distribution report it.
struct OsVersion {
    std::string name;        // "Linux"
    int major = 0;
    int minor = 0;
    int build = 0;
    std::string description; // "Debian GNU/Linux 12 (bookworm)"
};

OsVersion CurrentOsVersion();

} // namespace platform
