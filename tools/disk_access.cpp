// The disk layer over the image code itself: each open builds its own image
// chain with OpenImageFile, and every transfer goes through DiskTransfer with
// the caller's buffer described by a nonpaged MDL.
#include "disk_access.h"

#include "host/host_kernel.h"
#include "image/image.h"

#include <cstring>

namespace dorvane {

namespace {

// UTF-16 to UTF-8, for names that have no host path.
std::string Utf8FromUtf16(const std::u16string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string HostPathOf(const UNICODE_STRING &name) {
  std::u16string ntName(name.Buffer, name.Length / sizeof(WCHAR));
  std::string hostPath;
  if (NT_SUCCESS(host::HostPathForNtName(ntName, true, &hostPath))) {
    return hostPath;
  }
  return Utf8FromUtf16(ntName);
}

ImageDescription Describe(const IMAGE_CONTEXT *context) {
  ImageDescription image;
  image.path = HostPathOf(context->ImagePath);
  image.diskType = context->DiskType;
  image.virtualSize = static_cast<uint64_t>(context->DiskSize);
  image.fileSize = static_cast<uint64_t>(context->FileEnd);
  std::memcpy(image.uniqueId.data(), context->Footer->UniqueId, image.uniqueId.size());
  if (context->DiskType != VHD_DISK_TYPE_FIXED) {
    image.blockSize = context->BlockSize;
    image.batEntries = context->BatEntries;
    uint64_t allocated = 0;
    for (ULONG i = 0; i < context->BatEntries; ++i) {
      ULONG entry = BatEntryToHost(context->Bat[i]);
      if (entry != 0 && entry != VHD_BAT_UNALLOCATED) {
        ++allocated;
      }
    }
    image.allocatedBlocks = allocated;
  }
  return image;
}

}  // namespace

struct Disk::State {
  PIMAGE_CONTEXT context = nullptr;
  std::string path;
};

Disk::Disk() : state_(new State) {}

Disk::~Disk() { Close(); }

NTSTATUS Disk::OpenDisk(const std::string &path, bool writable) {
  Close();
  std::u16string ntPath = host::NtPathForHostPath(path);
  if (ntPath.size() * sizeof(WCHAR) > 0xFFFE) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(ntPath.c_str());
  name.Length = static_cast<USHORT>(ntPath.size() * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  ACCESS_MASK access = writable ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
  IO_STATUS_BLOCK ioStatus;
  PIMAGE_CONTEXT context = nullptr;
  NTSTATUS status = OpenImageFile(&context, &name, FILE_ATTRIBUTE_NORMAL, FILE_OPEN, 0, access,
                                  FILE_SHARE_READ, &ioStatus);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  state_->context = context;
  state_->path = path;
  return status;
}

namespace {

NTSTATUS Transfer(PIMAGE_CONTEXT context, UCHAR operation, uint64_t offset, void *buffer,
                  uint32_t length, uint32_t *transferred) {
  *transferred = 0;
  if (context == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    return STATUS_INVALID_PARAMETER;
  }
  MDL mdl;
  std::memset(&mdl, 0, sizeof(mdl));
  mdl.Size = sizeof(mdl);
  mdl.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
  mdl.MappedSystemVa = buffer;
  mdl.StartVa = buffer;
  mdl.ByteCount = length;
  LARGE_INTEGER byteOffset;
  byteOffset.QuadPart = static_cast<LONGLONG>(offset);
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;
  NTSTATUS status = DiskTransfer(context, operation, length, &byteOffset, &mdl, &ioStatus);
  if (NT_SUCCESS(status)) {
    *transferred = static_cast<uint32_t>(ioStatus.Information);
  }
  return status;
}

}  // namespace

NTSTATUS Disk::ReadDisk(uint64_t offset, void *buffer, uint32_t length, uint32_t *transferred) {
  return Transfer(state_->context, IMAGE_OPERATION_READ, offset, buffer, length, transferred);
}

NTSTATUS Disk::WriteDisk(uint64_t offset, const void *buffer, uint32_t length,
                         uint32_t *transferred) {
  return Transfer(state_->context, IMAGE_OPERATION_WRITE, offset, const_cast<void *>(buffer),
                  length, transferred);
}

NTSTATUS Disk::FlushDisk() {
  if (state_->context == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  return FlushImageChain(state_->context);
}

uint64_t Disk::DiskSize() const {
  return state_->context != nullptr ? static_cast<uint64_t>(state_->context->DiskSize) : 0;
}

std::vector<ImageDescription> Disk::DescribeChain() const {
  std::vector<ImageDescription> chain;
  for (const IMAGE_CONTEXT *context = state_->context; context != nullptr;
       context = context->Parent) {
    chain.push_back(Describe(context));
  }
  // The image the caller named keeps the name it was given.
  if (!chain.empty()) {
    chain.front().path = state_->path;
  }
  return chain;
}

void Disk::Close() {
  if (state_->context == nullptr) {
    return;
  }
  CloseImageContext(state_->context);
  FreePool(state_->context);
  state_->context = nullptr;
  state_->path.clear();
}

}  // namespace dorvane
