#pragma once
// The machine's facts read from a system tree other than "/".
#include "platform/SystemInfo.h"

#include <string>

namespace platform {

// ARoot prefixes every file read (and every mount point examined), so that a
// test can present a made-up tree; empty reads the running system.
MachineInfo ReadMachineInfoFrom(const std::string& ARoot);

} // namespace platform
