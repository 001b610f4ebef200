#pragma once
// The machine's names as the system keeps them.
#include <string>
#include <windows.h>

namespace platform::win32 {

// The name of the given format; empty when the machine has none.
std::string ComputerNameOf(COMPUTER_NAME_FORMAT AFormat);

} // namespace platform::win32
