// The saved command line, the same on every OS; how main's arguments are
// decoded is each OS's own (SetCommandLine(argc, argv) in <os>/Process.cpp).
#include "platform/Process.h"

namespace platform {

namespace {
std::vector<std::string>& Arguments() {
    static std::vector<std::string> arguments;
    return arguments;
}
} // namespace

const std::vector<std::string>& CommandLineArguments() {
    return Arguments();
}

void SetCommandLine(std::vector<std::string> arguments) {
    Arguments() = std::move(arguments);
}

} // namespace platform
