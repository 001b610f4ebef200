#include "platform/Process.h"

#include <climits>
#include <unistd.h>

namespace platform {

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void SetCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    SetCommandLine(std::move(arguments));
}

void FollowSystemTimeZone() {}

} // namespace platform
