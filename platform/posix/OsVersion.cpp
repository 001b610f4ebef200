#include "platform/OsVersion.h"

#include <cstdio>
#include <fstream>
#include <sys/utsname.h>

namespace platform {

namespace {
std::string OsReleasePrettyName() {
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            std::string value = line.substr(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\''))
                value = value.substr(1, value.size() - 2);
            return value;
        }
    }
    return {};
}
} // namespace

OsVersion CurrentOsVersion() {
    OsVersion v;
    utsname u{};
    if (uname(&u) == 0) {
        v.name = u.sysname;
        std::sscanf(u.release, "%d.%d.%d", &v.major, &v.minor, &v.build);
    }
    v.description = OsReleasePrettyName();
    return v;
}

} // namespace platform
