// Opening images through the image code in tests.
#pragma once

#include <string>

#include "engine/engine.h"

namespace dorvane::test {

// An opened image record, released when it goes out of scope.
class OpenedImage {
 public:
  OpenedImage() = default;
  ~OpenedImage() { Close(); }
  OpenedImage(const OpenedImage &) = delete;
  OpenedImage &operator=(const OpenedImage &) = delete;

  // Opens path as a client would: FILE_OPEN, no options, sharing for reading.
  NTSTATUS Open(const std::string &path, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE,
                USHORT share = FILE_SHARE_READ);
  void Close();

  IMAGE_CONTEXT *operator->() const { return context_; }
  IMAGE_CONTEXT *Get() const { return context_; }
  const IO_STATUS_BLOCK &CreateStatus() const { return createStatus_; }

  // Whole-range transfers through ImageTransfer; return the status and set
  // *moved to the byte count.
  NTSTATUS Read(uint64_t offset, void *buffer, uint32_t length, uint32_t *moved = nullptr) {
    return Transfer(IRP_MJ_READ, offset, buffer, length, moved);
  }
  NTSTATUS Write(uint64_t offset, const void *buffer, uint32_t length, uint32_t *moved = nullptr) {
    return Transfer(IRP_MJ_WRITE, offset, const_cast<void *>(buffer), length, moved);
  }

 private:
  NTSTATUS Transfer(UCHAR operation, uint64_t offset, void *buffer, uint32_t length,
                    uint32_t *moved);

  IMAGE_CONTEXT *context_ = nullptr;
  IO_STATUS_BLOCK createStatus_{};
};

// A client request's transfer through DiskTransfer with an MDL over buffer.
NTSTATUS TransferThroughDisk(IMAGE_CONTEXT *context, UCHAR operation, int64_t offset,
                             void *buffer, uint32_t length, IO_STATUS_BLOCK *ioStatus);

}  // namespace dorvane::test
