#include "platform/Process.h"

#include "platform/win32/WideText.h"

#include <cctype>
#include <cstdlib>
#include <ctime>
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

void FollowSystemTimeZone() {
    const char* tz = std::getenv("TZ");
    if (!tz || !*tz)
        return;
    // The runtime's own form: a three-letter name, then the offset ("EST5EDT").
    const std::string value = tz;
    const auto letter = [&](size_t i) {
        return std::isalpha(static_cast<unsigned char>(value[i])) != 0;
    };
    if (value.size() >= 4 && letter(0) && letter(1) && letter(2) &&
        (value[3] == '+' || value[3] == '-' || std::isdigit(static_cast<unsigned char>(value[3]))))
        return;
    std::wstring inherited(32768, L'\0');
    inherited.resize(
        GetEnvironmentVariableW(L"TZ", inherited.data(), static_cast<DWORD>(inherited.size())));
    _putenv("TZ=");
    if (!inherited.empty())
        SetEnvironmentVariableW(L"TZ", inherited.c_str());
    _tzset();
}

} // namespace platform
