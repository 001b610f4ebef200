#include "platform/FileVersion.h"

#include <fstream>
#include <iterator>
#include <regex>

namespace platform {

// The build stamps each executable with "$BrevoltFileVersion: a.b.c.d $"
// (cmake/VersionStamp.cpp.in). The marker text also occurs in this reader's
// own code, so only a marker followed by a well-formed version counts.
std::string ReadFileVersion(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static const std::string marker = std::string("$Brevolt") + "FileVersion: ";
    static const std::regex version(R"(^(\d{1,5})\.(\d{1,5})\.(\d{1,5})\.(\d{1,5}) \$)");
    for (auto pos = bytes.find(marker); pos != std::string::npos;
         pos = bytes.find(marker, pos + 1)) {
        const auto start = bytes.begin() + static_cast<std::ptrdiff_t>(pos + marker.size());
        const auto end = bytes.size() - (pos + marker.size()) > 32 ? start + 32 : bytes.end();
        std::smatch m;
        const std::string tail(start, end);
        if (std::regex_search(tail, m, version)) {
            bool inRange = true;
            for (int i = 1; i <= 4; ++i)
                inRange = inRange && std::stoul(m[i].str()) <= 0xFFFF;
            if (inRange)
                return m[1].str() + "." + m[2].str() + "." + m[3].str() + "." + m[4].str();
        }
    }
    return {};
}

} // namespace platform
