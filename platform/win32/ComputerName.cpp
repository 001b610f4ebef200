#include "platform/win32/ComputerName.h"

#include "platform/win32/WideText.h"

namespace platform::win32 {

std::string ComputerNameOf(COMPUTER_NAME_FORMAT AFormat) {
    DWORD size = 0;
    GetComputerNameExW(AFormat, nullptr, &size);
    if (size == 0)
        return {};
    std::wstring name(size, L'\0');
    if (!GetComputerNameExW(AFormat, name.data(), &size))
        return {};
    name.resize(size);
    return Narrow(name);
}

} // namespace platform::win32
