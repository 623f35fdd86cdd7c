// Plain files over Win32 and the C run-time's descriptors: names in UTF-16,
// reads and writes at offsets through the descriptor's handle, files that
// are not inherited and move bytes untranslated.
#include "tools/disk/plain_files.h"

#include "host/nt/nt_text.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

namespace dorvane {

namespace {

std::wstring Wide(const std::string &path) {
  std::u16string text = host::Utf16FromUtf8(path);
  return std::wstring(text.begin(), text.end());
}

int ErrnoForLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return EIO;
  }
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// The most one ReadFile or WriteFile moves.
const size_t kLargestTransfer = 1u << 30;

ssize_t Transfer(int fd, void *buffer, size_t length, uint64_t offset, bool write) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD moved = 0;
  DWORD piece = static_cast<DWORD>(length < kLargestTransfer ? length : kLargestTransfer);
  BOOL done = write ? WriteFile(HandleOf(fd), buffer, piece, &moved, &at)
                    : ReadFile(HandleOf(fd), buffer, piece, &moved, &at);
  if (!done) {
    if (!write && GetLastError() == ERROR_HANDLE_EOF) {
      return 0;
    }
    errno = ErrnoForLastError();
    return -1;
  }
  return static_cast<ssize_t>(moved);
}

// A handle on whatever is at path, directories included, for its
// attributes: no access asked, every sharing allowed.
HANDLE OpenForAttributes(const std::string &path, DWORD access) {
  return CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

}  // namespace

int OpenPlainFile(const std::string &path, int flags, int) {
  return _wopen(Wide(path).c_str(), flags | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

int OpenTemporaryFile(std::string *folder) {
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  *folder = length == 0 || length > MAX_PATH
                ? std::string("the folder for temporary files")
                : host::Utf8FromUtf16(std::u16string(temp, temp + length));
  if (length == 0 || length > MAX_PATH) {
    errno = ENOENT;
    return -1;
  }
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = std::wstring(temp) + L"dorvane-input-" +
                        std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(GetTickCount() + attempt);
    int fd = _wopen(name.c_str(),
                    _O_RDWR | _O_CREAT | _O_EXCL | _O_TEMPORARY | _O_SHORT_LIVED | _O_BINARY |
                        _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

ssize_t ReadAt(int fd, void *buffer, size_t length, uint64_t offset) {
  return Transfer(fd, buffer, length, offset, false);
}

ssize_t WriteAt(int fd, const void *buffer, size_t length, uint64_t offset) {
  return Transfer(fd, const_cast<void *>(buffer), length, offset, true);
}

int SyncPlainFile(int fd) { return _commit(fd); }

int SetPlainFileLength(int fd, uint64_t length) {
  errno_t error = _chsize_s(fd, static_cast<__int64>(length));
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

int64_t PlainFileLength(int fd) { return _filelengthi64(fd); }

int64_t PlainFilePosition(int fd) { return _telli64(fd); }

int RemovePlainFile(const std::string &path) { return _wunlink(Wide(path).c_str()); }

// NTFS writes a folder's changed entries back when the folder's handle is
// flushed; that handle needs write access to the folder.
bool SyncFolderOf(const std::string &path) {
  std::string folder = path;
  size_t slash = folder.find_last_of("\\/");
  folder = slash == std::string::npos ? "." : folder.substr(0, slash + 1);
  HANDLE handle = OpenForAttributes(folder, GENERIC_READ | GENERIC_WRITE);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = ErrnoForLastError();
    return false;
  }
  bool flushed = FlushFileBuffers(handle) != 0;
  if (!flushed) {
    errno = ErrnoForLastError();
  }
  CloseHandle(handle);
  return flushed;
}

int LinkPlainFile(const std::string &from, const std::string &to) {
  if (!CreateHardLinkW(Wide(to).c_str(), Wide(from).c_str(), NULL)) {
    errno = ErrnoForLastError();
    return -1;
  }
  return 0;
}

PathKind KindOfPath(const std::string &path) {
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return PathKind::kMissing;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory : PathKind::kRegular;
}

bool NameTaken(const std::string &path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

PathKind KindOfFile(int fd) {
  switch (GetFileType(HandleOf(fd))) {
    case FILE_TYPE_DISK:
      return PathKind::kRegular;
    case FILE_TYPE_CHAR:
      return PathKind::kCharacterDevice;
    case FILE_TYPE_PIPE:
      return PathKind::kFifo;
    default:
      return GetLastError() == NO_ERROR ? PathKind::kOther : PathKind::kMissing;
  }
}

bool FileIdentity(const std::string &path, uint64_t *device, uint64_t *inode) {
  HANDLE handle = OpenForAttributes(path, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = ErrnoForLastError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information;
  bool known = GetFileInformationByHandle(handle, &information) != 0;
  if (!known) {
    errno = ErrnoForLastError();
  }
  CloseHandle(handle);
  if (known) {
    *device = information.dwVolumeSerialNumber;
    *inode = (uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  }
  return known;
}

}  // namespace dorvane
