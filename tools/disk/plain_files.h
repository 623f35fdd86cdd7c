// Plain files the command makes and reads itself through file descriptors:
// new images, raw disks, undo files of repairs, the copy of its input. One
// implementation per platform (plain_files_posix.cpp over POSIX,
// plain_files_windows.cpp over Win32 and the C run-time's descriptors).
// Calls that fail return -1 (or false) with errno set. Paths are UTF-8.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace dorvane {

// open(2) with flags and mode; the descriptor is not inherited by programs
// the command starts and moves bytes untranslated.
int OpenPlainFile(const std::string &path, int flags, int mode = 0644);

// A new file that nobody else can open and that is gone when closed, in
// the folder for temporary files; -1 and *folder says where it was tried.
int OpenTemporaryFile(std::string *folder);

ssize_t ReadAt(int fd, void *buffer, size_t length, uint64_t offset);
ssize_t WriteAt(int fd, const void *buffer, size_t length, uint64_t offset);
int SyncPlainFile(int fd);
int SetPlainFileLength(int fd, uint64_t length);
// The file's length, and where its descriptor reads next.
int64_t PlainFileLength(int fd);
int64_t PlainFilePosition(int fd);
int RemovePlainFile(const std::string &path);

// Makes the names made or removed in the folder of path durable.
bool SyncFolderOf(const std::string &path);
// Gives the file at from the second name to, which must not exist yet.
int LinkPlainFile(const std::string &from, const std::string &to);

enum class PathKind { kMissing, kRegular, kDirectory, kFifo, kSocket, kCharacterDevice,
                      kBlockDevice, kOther };
PathKind KindOfPath(const std::string &path);
// Whether the name is taken (by anything, a link that leads nowhere included).
bool NameTaken(const std::string &path);
PathKind KindOfFile(int fd);

// Which file is at path (device and inode, or volume and file index), to
// tell two names of one file apart from two files.
bool FileIdentity(const std::string &path, uint64_t *device, uint64_t *inode);

}  // namespace dorvane
