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

// Makes local time follow the system's time zone, at program start. On
// Windows the C runtime, through which Qt converts local times, takes a TZ
// variable it cannot read (an IANA name such as "Europe/Helsinki", as
// Unix-like shells set it) for UTC, while Qt's own zone follows Windows:
// such a TZ leaves the runtime's copy of the environment and stays in the
// one child processes inherit. Nothing to do elsewhere.
void FollowSystemTimeZone();

} // namespace platform
