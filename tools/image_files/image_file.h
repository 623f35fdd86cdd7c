// An image file opened as every open of an image is: through the host
// kernel's file services, by its kernel name, taking part in sharing with
// every other open on the machine (the driver's, a mount's, another
// command's). The inspector reads through one, the checker reads and the
// repairer writes through one, and the open's own rules judge what it holds
// (JudgeImageFile).
#pragma once

#include "image/image_validation.h"

#include <kernel_services.h>

#include <cstdint>
#include <string>

namespace dorvane {

// What a check or an inspection is to another open of the same file.
enum class ImageFileAccess {
  kInspect,  // reads, and lets every other open read, write and delete
  kCheck,    // reads, and lets others only read: no writer may change it meanwhile
  kRepair,   // reads and writes, and shares nothing
};

// Why a path names no image file, before it is opened (a directory, a FIFO,
// a socket, a character device), or "" when it may be one.
std::string NotAnImageFile(const std::string &path);

class ImageFile {
 public:
  ImageFile() = default;
  ~ImageFile() { Close(); }
  ImageFile(const ImageFile &) = delete;
  ImageFile &operator=(const ImageFile &) = delete;

  // Opens the file at a host path. "" on success, else why not, in words
  // (the file in use by another process, a directory, ...); status() then
  // holds the status behind it, STATUS_SUCCESS when it was refused before
  // the open was tried.
  std::string Open(const std::string &path, ImageFileAccess access);
  void Close();

  bool IsOpen() const { return handle_ != nullptr; }
  NTSTATUS status() const { return status_; }
  const std::string &path() const { return path_; }
  // The file's length as it stands now.
  uint64_t Size() const;
  // Which file it is (device and inode), to tell a chain that loops.
  uint64_t device() const { return device_; }
  uint64_t inode() const { return inode_; }

  // Exactly length bytes at offset: "" or why they could not be read ("the
  // file ends inside the WHAT").
  std::string Read(void *buffer, uint64_t length, uint64_t offset, const char *what) const;
  // Writes, changes of the length and flushes of a file opened for repair:
  // STATUS_SUCCESS or the status that stopped them.
  NTSTATUS Write(const void *data, uint64_t length, uint64_t offset);
  NTSTATUS SetSize(uint64_t size);
  NTSTATUS Flush();

  // How the driver's open judges the file (its parents aside): ChainPool
  // carries the charge of the images above it in its chain.
  NTSTATUS Judge(uint64_t *chainPool, IMAGE_VERDICT *verdict) const;

 private:
  std::string path_;
  HANDLE handle_ = nullptr;
  NTSTATUS status_ = STATUS_SUCCESS;
  uint64_t device_ = 0, inode_ = 0;
};

}  // namespace dorvane
