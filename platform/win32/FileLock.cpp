// LockFileEx on one byte far beyond any text the file will hold. The lock
// belongs to the handle, so it conflicts with every other handle on the
// file, this process's own included, while the text itself stays readable.
#include "platform/FileLock.h"

#include "platform/win32/Handles.h"
#include "platform/win32/WideText.h"

namespace platform {

using win32::TKernelHandle;

namespace {

// The locked byte: offset 0x7FFFFFFF00000000.
OVERLAPPED LockedByte() {
    OVERLAPPED at{};
    at.OffsetHigh = 0x7FFFFFFF;
    return at;
}

bool Rewind(HANDLE AFile) {
    return SetFilePointerEx(AFile, LARGE_INTEGER{}, nullptr, FILE_BEGIN) != 0;
}

std::string ReadHolderText(HANDLE AFile) {
    std::string text;
    char buffer[512];
    DWORD n = 0;
    if (Rewind(AFile))
        while (ReadFile(AFile, buffer, sizeof buffer, &n, nullptr) && n > 0)
            text.append(buffer, n);
    return text;
}

// The text is only there to be shown to whoever finds the lock busy, so a
// failure to write it does not give the lock up.
void WriteHolderText(HANDLE AFile, const std::string& AText) {
    if (!Rewind(AFile) || !SetEndOfFile(AFile))
        return;
    for (size_t done = 0; done < AText.size();) {
        DWORD n = 0;
        const DWORD size = static_cast<DWORD>(AText.size() - done);
        if (!WriteFile(AFile, AText.data() + done, size, &n, nullptr) || n == 0)
            return;
        done += n;
    }
}

} // namespace

TFileLock::~TFileLock() {
    const TKernelHandle file(reinterpret_cast<HANDLE>(FFile));
    OVERLAPPED at = LockedByte();
    UnlockFileEx(file.get(), 0, 1, 0, &at);
}

TFileLockAttempt TryLockFile(const std::string& APath, const std::string& AHolderText) {
    TFileLockAttempt attempt;
    // Others may read, write and delete it meanwhile: the locked byte, not
    // the sharing mode, is what keeps a second holder out.
    const HANDLE opened = CreateFileW(win32::Widen(APath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        attempt.Error = "Lock file \"" + APath +
                        "\" cannot be opened: " + win32::SystemErrorText(GetLastError());
        return attempt;
    }
    TKernelHandle file(opened);
    OVERLAPPED at = LockedByte();
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &at)) {
        const DWORD error = GetLastError();
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
            attempt.Busy = true;
            attempt.Holder = ReadHolderText(file.get());
        } else {
            attempt.Error =
                "Lock file \"" + APath + "\" cannot be locked: " + win32::SystemErrorText(error);
        }
        return attempt;
    }
    WriteHolderText(file.get(), AHolderText);
    attempt.Lock.reset(new TFileLock(APath, reinterpret_cast<std::intptr_t>(file.release())));
    return attempt;
}

} // namespace platform
