#pragma once
// One process at a time: an advisory lock on a file that every party opens
// by the same path. The lock lives with the open file, so the system drops it
// when its holder ends, however it ends; the file itself stays.
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

struct TFileLockAttempt;

// An advisory lock on one file, held from a successful TryLockFile until the
// object is destroyed; the OS drops it when the process ends.
class TFileLock {
public:
    ~TFileLock();
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

    const std::string& Path() const { return FPath; }

private:
    friend TFileLockAttempt TryLockFile(const std::string& APath, const std::string& AHolderText);
    TFileLock(std::string APath, std::intptr_t AFile) : FPath(std::move(APath)), FFile(AFile) {}

    std::string FPath;
    std::intptr_t FFile; // the open file: a descriptor, or a HANDLE on Windows
};

struct TFileLockAttempt {
    std::unique_ptr<TFileLock> Lock; // set when acquired
    bool Busy = false;               // another holder has it
    std::string Holder;              // when busy: the text that holder wrote (may be empty)
    std::string Error; // neither acquired nor busy: why (the system's message, with the path)
};

// Tries once, without waiting. Creates APath when missing (POSIX: mode 0660
// less the umask), never deletes it. When acquired, the file's content is
// replaced by AHolderText, so that a process that finds it busy can say who
// holds it; a holder that has only just taken it may not have written it yet.
TFileLockAttempt TryLockFile(const std::string& APath, const std::string& AHolderText);

} // namespace platform
