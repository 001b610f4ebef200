#include "platform/FileModes.h"

#include "platform/win32/WideText.h"

#include <windows.h>

namespace platform {

// The service directory's access list, inherited from its folder, is what
// Windows applies; a file's owner follows its writer.
bool RestrictToOwnerAndGroup(const std::string& APath) {
    return GetFileAttributesW(win32::Widen(APath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void KeepOwner(const std::string&, int) {}

int ReplaceRetryMilliseconds() {
    return 2000;
}

// NTFS journals the rename itself, and the save flushed the new file's
// data before it; there is no folder handle to flush.
void SyncFolder(const std::string&) {}

} // namespace platform
