#include "platform/LogFolder.h"

#include "platform/win32/WideText.h"

#include <memory>
#include <shlobj.h>
#include <windows.h>

namespace platform {

std::string MachineLogFolder(const std::string& AVendor) {
    std::string programData = "C:\\ProgramData";
    PWSTR path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &path)))
        programData = win32::Narrow(path);
    CoTaskMemFree(path); // also owed when the call fails
    return programData + "\\" + AVendor + "\\Logs";
}

} // namespace platform
