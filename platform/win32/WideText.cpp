#include "platform/win32/WideText.h"

#include <windows.h>

namespace platform::win32 {

namespace {
std::wstring ToWide(const std::string& AText, UINT ACodePage) {
    if (AText.empty())
        return {};
    const int size = static_cast<int>(AText.size());
    const int length = MultiByteToWideChar(ACodePage, 0, AText.data(), size, nullptr, 0);
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(ACodePage, 0, AText.data(), size, result.data(), length);
    return result;
}
} // namespace

std::wstring Widen(const std::string& AText) {
    return ToWide(AText, CP_UTF8);
}

std::string Narrow(const wchar_t* AText, size_t ALength) {
    if (ALength == 0)
        return {};
    const int size = static_cast<int>(ALength);
    const int length = WideCharToMultiByte(CP_UTF8, 0, AText, size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, AText, size, result.data(), length, nullptr, nullptr);
    return result;
}

std::string Narrow(const std::wstring& AText) {
    return Narrow(AText.data(), AText.size());
}

std::string AnsiToUtf8(const std::string& AText) {
    return Narrow(ToWide(AText, CP_ACP));
}

std::string SystemErrorText(unsigned long ACode) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, ACode, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = length ? Narrow(buffer, length) : std::string();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(ACode) : text;
}

} // namespace platform::win32
