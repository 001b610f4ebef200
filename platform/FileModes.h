#pragma once
// File modes and durability; paths are UTF-8.
#include <string>

namespace platform {

// Takes away what others may do with APath (a file or a folder) and gives
// its owner and group read and write, and search on a folder: the service
// and the utility share their files through the service's group. On Windows
// the folder's inherited access list decides, and nothing changes. False
// when the path cannot be read or changed.
bool RestrictToOwnerAndGroup(const std::string& APath);

// Gives the new file open as AHandle (a C file descriptor) the owner and
// group of the file AReplaced it is about to replace, so that a save by the
// service (root) does not lock out the utility's account. Best effort: only
// root may give a file away, a member may keep the group, some file systems
// keep no owners, and Windows keeps the folder's rules.
void KeepOwner(const std::string& AReplaced, int AHandle);

// How long a save goes on trying to replace a file another program holds
// open: Windows refuses the rename while a reader has the file open (the
// utility reading the configuration, a virus scanner), for the moment it
// reads; POSIX systems never do (0).
int ReplaceRetryMilliseconds();

// Makes a rename in AFolder durable, so that a power cut cannot bring back
// the old file or leave none. Windows writes renames through by itself.
void SyncFolder(const std::string& AFolder);

} // namespace platform
