#pragma once
// Where a vendor's programs keep logs for the whole machine; UTF-8.
#include <string>

namespace platform {

// "/var/log/<AVendor>" on Linux, "<ProgramData>\<AVendor>\Logs" on Windows
// (normally C:\ProgramData). The folder may not exist.
std::string MachineLogFolder(const std::string& AVendor);

} // namespace platform
