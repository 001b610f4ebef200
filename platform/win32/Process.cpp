#include "platform/Process.h"

#include "platform/win32/WideText.h"

#include <windows.h>

namespace platform {

std::string ExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size())
            return win32::Narrow(path.data(), n);
        path.resize(path.size() * 2); // cut off: try a longer buffer
    }
}

// main's arguments come in the ANSI code page; the interfaces speak UTF-8.
void SetCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(win32::AnsiToUtf8(argv[i]));
    SetCommandLine(std::move(arguments));
}

} // namespace platform
