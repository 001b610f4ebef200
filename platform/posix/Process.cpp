#include "platform/Process.h"

#include <climits>
#include <unistd.h>

namespace platform {

namespace {
std::vector<std::string>& Arguments() {
    static std::vector<std::string> arguments;
    return arguments;
}
} // namespace

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

const std::vector<std::string>& CommandLineArguments() { return Arguments(); }

void SetCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    Arguments() = std::move(arguments);
}

void SetCommandLine(std::vector<std::string> arguments) { Arguments() = std::move(arguments); }

} // namespace platform
