#include "platform/FileModes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool RestrictToOwnerAndGroup(const std::string& APath) {
    struct stat st {};
    if (::stat(APath.c_str(), &st) != 0)
        return false;
    mode_t mode = (st.st_mode & 07777 & ~S_IRWXO) | S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP;
    if (S_ISDIR(st.st_mode))
        mode |= S_IXUSR | S_IXGRP;
    return ::chmod(APath.c_str(), mode) == 0;
}

void KeepOwner(const std::string& AReplaced, int AHandle) {
    struct stat old {};
    if (AHandle < 0 || ::stat(AReplaced.c_str(), &old) != 0)
        return;
    if (::fchown(AHandle, old.st_uid, old.st_gid) != 0 && errno == EPERM)
        (void)::fchown(AHandle, static_cast<uid_t>(-1), old.st_gid);
}

int ReplaceRetryMilliseconds() {
    return 0;
}

void SyncFolder(const std::string& AFolder) {
    const int fd = ::open(AFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace platform
