// Image files through the host kernel's file services: opened by kernel name
// with the access and sharing of their use, read and written at explicit
// offsets in pieces a ULONG can count.
#include "tools/image_files/image_file.h"

#include "tools/disk/errors.h"
#include "tools/disk/kernel_names.h"
#include "tools/disk/plain_files.h"

#include "image/image.h"

#include <algorithm>
#include <cerrno>

namespace dorvane {

namespace {

// The most one read or write moves.
const uint64_t kLargestTransfer = 1u << 30;

struct AccessOf {
  ACCESS_MASK desired;
  ULONG share;
};

AccessOf Rights(ImageFileAccess access) {
  switch (access) {
    case ImageFileAccess::kInspect:
      return {GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};
    case ImageFileAccess::kCheck:
      return {GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ};
    default:
      return {GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, 0};
  }
}

// Words for the statuses a refused open of an image file is most often.
std::string OpenFailureText(NTSTATUS status, bool writing) {
  switch (status) {
    case STATUS_SHARING_VIOLATION:
      return "the file is in use by another process";
    case STATUS_FILE_IS_A_DIRECTORY:
      return "it is a directory, not an image file";
    default:
      return writing ? "cannot open the file for writing" : "cannot open the file";
  }
}

}  // namespace

std::string NotAnImageFile(const std::string &path) {
  switch (KindOfPath(path)) {
    case PathKind::kDirectory:
      return "it is a directory, not an image file";
    case PathKind::kFifo:
      return "it is a FIFO (named pipe), not an image file";
    case PathKind::kSocket:
      return "it is a socket, not an image file";
    case PathKind::kCharacterDevice:
      return "it is a character device, not an image file";
    default:
      return "";
  }
}

std::string ImageFile::Open(const std::string &path, ImageFileAccess access) {
  Close();
  path_ = path;
  status_ = STATUS_SUCCESS;
  uint64_t device = 0, inode = 0;
  if (!FileIdentity(path, &device, &inode)) {
    status_ = STATUS_OBJECT_NAME_NOT_FOUND;
    return ErrnoText("cannot open the file", errno);
  }
  std::string kind = NotAnImageFile(path);
  if (!kind.empty()) {
    return kind;
  }
  std::u16string name;
  std::string why = KernelNameForPath(path, &name);
  if (!why.empty()) {
    return why;
  }
  UNICODE_STRING text;
  if (!CountedName(&name, &text)) {
    status_ = STATUS_OBJECT_NAME_INVALID;
    return "the name cannot be opened";
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_KERNEL_HANDLE, NULL, NULL);
  AccessOf rights = Rights(access);
  IO_STATUS_BLOCK ioStatus;
  status_ = ZwCreateFile(&handle_, rights.desired, &attributes, &ioStatus, NULL, 0, rights.share,
                         FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_RANDOM_ACCESS,
                         NULL, 0);
  if (!NT_SUCCESS(status_)) {
    handle_ = nullptr;
    return OpenFailureText(status_, access == ImageFileAccess::kRepair);
  }
  device_ = device;
  inode_ = inode;
  return "";
}

void ImageFile::Close() {
  if (handle_ != nullptr) {
    ZwClose(handle_);
    handle_ = nullptr;
  }
}

uint64_t ImageFile::Size() const {
  LONGLONG length = 0;
  return NT_SUCCESS(QueryImageFileLength(handle_, &length)) ? uint64_t(length) : 0;
}

std::string ImageFile::Read(void *buffer, uint64_t length, uint64_t offset,
                            const char *what) const {
  auto *bytes = static_cast<uint8_t *>(buffer);
  while (length > 0) {
    if (offset > uint64_t(INT64_MAX)) {
      return std::string("the file ends inside the ") + what;
    }
    ULONG piece = ULONG(std::min(length, kLargestTransfer));
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ReadImageFileAtOpen(handle_, bytes, piece, LONGLONG(offset), &ioStatus);
    if (status == STATUS_END_OF_FILE || (NT_SUCCESS(status) && ioStatus.Information == 0)) {
      return std::string("the file ends inside the ") + what;
    }
    if (!NT_SUCCESS(status)) {
      return std::string("cannot read the ") + what + ": " + StatusText(status);
    }
    bytes += ioStatus.Information;
    length -= ioStatus.Information;
    offset += ioStatus.Information;
  }
  return "";
}

NTSTATUS ImageFile::Write(const void *data, uint64_t length, uint64_t offset) {
  const auto *bytes = static_cast<const uint8_t *>(data);
  while (length > 0) {
    ULONG piece = ULONG(std::min(length, kLargestTransfer));
    NTSTATUS status = WriteImageFileExact(handle_, bytes, piece, LONGLONG(offset));
    if (!NT_SUCCESS(status)) {
      return status;
    }
    bytes += piece;
    length -= piece;
    offset += piece;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ImageFile::SetSize(uint64_t size) { return SetImageFileEnd(handle_, LONGLONG(size)); }

NTSTATUS ImageFile::Flush() {
  IO_STATUS_BLOCK ioStatus;
  return FlushImageFile(handle_, &ioStatus);
}

NTSTATUS ImageFile::Judge(uint64_t *chainPool, IMAGE_VERDICT *verdict) const {
  ULONGLONG pool = *chainPool;
  NTSTATUS status = JudgeImageFile(handle_, &pool, verdict);
  *chainPool = pool;
  return status;
}

}  // namespace dorvane
