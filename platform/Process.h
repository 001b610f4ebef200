#pragma once
#include <string>
#include <vector>

namespace platform {

// Full path of the running program file; empty when it cannot be told.
std::string ExecutablePath();

// The process's command-line arguments without the program name, as saved by
// SetCommandLine at program start.
const std::vector<std::string>& CommandLineArguments();
void SetCommandLine(int argc, const char* const* argv);
void SetCommandLine(std::vector<std::string> arguments);

} // namespace platform
