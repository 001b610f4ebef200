#pragma once
#include <string>

namespace platform {

// The four-part file version of an executable ("9.1.0.12"), read from the
// file itself without running it; empty when the file carries no version or
// cannot be read.
std::string ReadFileVersion(const std::string& path);

} // namespace platform
