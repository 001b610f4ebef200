#pragma once
// The Windows API speaks UTF-16; the platform interfaces speak UTF-8.
#include <string>

namespace platform::win32 {

std::wstring Widen(const std::string& AText);
std::string Narrow(const std::wstring& AText);
// The same for text that may not end in a terminating zero.
std::string Narrow(const wchar_t* AText, size_t ALength);

// Text in the ANSI code page, as main's arguments come.
std::string AnsiToUtf8(const std::string& AText);

// The system's message for an error code, without the trailing line break
// ("Access is denied."); "error N" when the system has no text for it.
std::string SystemErrorText(unsigned long ACode);

} // namespace platform::win32
