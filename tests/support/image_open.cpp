// Opening images in tests.
#include "image_open.h"

#include "driver/driver.h"
#include "image_builder.h"

namespace dorvane::test {

NTSTATUS OpenedImage::Open(const std::string &path, ACCESS_MASK access, USHORT share) {
  Close();
  std::u16string name = NtName(path);
  UNICODE_STRING ntPath{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  return OpenImageFile(&context_, &ntPath, FILE_ATTRIBUTE_NORMAL, FILE_OPEN, 0, access, share,
                       &createStatus_);
}

void OpenedImage::Close() {
  if (context_ != nullptr) ReleaseImageContext(context_);
  context_ = nullptr;
}

NTSTATUS OpenedImage::Transfer(UCHAR operation, uint64_t offset, void *buffer, uint32_t length,
                               uint32_t *moved) {
  LARGE_INTEGER byteOffset;
  byteOffset.QuadPart = int64_t(offset);
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = ImageTransfer(context_, operation, length, &byteOffset, buffer, &ioStatus);
  if (moved != nullptr) *moved = uint32_t(ioStatus.Information);
  return status;
}

NTSTATUS TransferThroughDisk(IMAGE_CONTEXT *context, UCHAR operation, int64_t offset,
                             void *buffer, uint32_t length, IO_STATUS_BLOCK *ioStatus) {
  MDL mdl{};
  mdl.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
  mdl.MappedSystemVa = mdl.StartVa = buffer;
  mdl.ByteCount = length;
  LARGE_INTEGER byteOffset;
  byteOffset.QuadPart = offset;
  return DiskTransfer(context, operation, length, &byteOffset, &mdl, ioStatus);
}

}  // namespace dorvane::test
