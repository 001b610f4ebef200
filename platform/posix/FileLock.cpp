// flock, not fcntl record locks: a flock lock belongs to the open file
// description, so it conflicts with every other open of the file, this
// process's own included, and no unrelated close of the file drops it.
#include "platform/FileLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

namespace {

// The holder's text through an open of our own, which takes no lock.
std::string ReadHolderText(const std::string& APath) {
    std::string text;
    const int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

// The text is only there to be shown to whoever finds the lock busy, so a
// failure to write it does not give the lock up.
void WriteHolderText(int AFd, const std::string& AText) {
    if (::ftruncate(AFd, 0) != 0)
        return;
    for (size_t done = 0; done < AText.size();) {
        const ssize_t n =
            ::pwrite(AFd, AText.data() + done, AText.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

} // namespace

TFileLock::~TFileLock() {
    ::close(static_cast<int>(FFile)); // the last close of the description unlocks
}

TFileLockAttempt TryLockFile(const std::string& APath, const std::string& AHolderText) {
    TFileLockAttempt attempt;
    const int fd = ::open(APath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    if (fd < 0) {
        attempt.Error = "Lock file \"" + APath + "\" cannot be opened: " + std::strerror(errno);
        return attempt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            attempt.Busy = true;
            attempt.Holder = ReadHolderText(APath);
        } else {
            attempt.Error = "Lock file \"" + APath + "\" cannot be locked: " + std::strerror(error);
        }
        return attempt;
    }
    WriteHolderText(fd, AHolderText);
    attempt.Lock.reset(new TFileLock(APath, fd));
    return attempt;
}

} // namespace platform
