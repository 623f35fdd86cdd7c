// The export's requests on its one handle.
#define NBDKIT_API_VERSION 2
#include "tools/nbdkit/nbd_export.h"

#include "tools/disk/errors.h"
#include "tools/disk/status_errno.h"
#include "tools/disk/transfer_size.h"
#include "tools/image_files/open_failure.h"

#include <nbdkit-plugin.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dorvane {

namespace {

// The zero-data request is refused by images that cannot give back space
// (differencing images).
bool IsRefusal(NTSTATUS status) {
  return status == STATUS_INVALID_DEVICE_REQUEST || status == STATUS_NOT_SUPPORTED;
}

std::string At(uint64_t offset) { return " at offset " + std::to_string(offset); }

}  // namespace

std::string NbdExport::Open(const std::string &image, bool writable) {
  image_ = image;
  writable_ = writable;
  const char *what = writable ? "cannot open image for writing" : "cannot open image";
  std::string unopenable = UnopenableName(image);
  if (!unopenable.empty()) {
    return ErrorLine(image, what, unopenable);
  }
  NTSTATUS status = disk_.OpenDisk(image, writable);
  if (!NT_SUCCESS(status)) {
    return OpenFailureLine(image, what, ExplainOpenFailure(image, writable, status), status);
  }
  return "";
}

void NbdExport::Close() {
  FlushIfChanged();
  disk_.Close();
}

int NbdExport::Check(NTSTATUS status, const std::string &what) {
  if (NT_SUCCESS(status)) {
    return 0;
  }
  nbdkit_error("%s", ErrorLine(image_, what, StatusText(status)).c_str());
  return ErrnoForStatus(status);
}

int NbdExport::QuerySize(uint64_t *size) {
  auto held = admission_.Shared();
  return Check(disk_.QueryDiskSize(size), "cannot query the disk size");
}

int NbdExport::Transfer(bool write, void *buffer, uint32_t count, uint64_t offset) {
  uint8_t *bytes = static_cast<uint8_t *>(buffer);
  for (uint32_t done = 0; done < count;) {
    uint32_t chunk = TransferChunk(offset + done, count - done);
    uint32_t moved = 0;
    NTSTATUS status = write ? disk_.WriteDisk(offset + done, bytes + done, chunk, &moved)
                            : disk_.ReadDisk(offset + done, bytes + done, chunk, &moved);
    std::string what = std::string(write ? "cannot write" : "cannot read") + At(offset + done);
    if (int error = Check(status, what)) {
      return error;
    }
    if (moved < chunk) {
      // The driver moves nothing at or past the end of the disk.
      nbdkit_error("%s", ErrorLine(image_, what, "past the end of the disk").c_str());
      return write ? ENOSPC : EIO;
    }
    done += chunk;
  }
  return 0;
}

int NbdExport::Read(void *buffer, uint32_t count, uint64_t offset) {
  auto held = admission_.Shared();
  return Transfer(false, buffer, count, offset);
}

int NbdExport::EndChange(int result, bool fua) {
  if (result != 0 || !fua) {
    return result;
  }
  changed_ = false;
  return Check(disk_.FlushDisk(), "cannot flush image");
}

int NbdExport::Write(const void *buffer, uint32_t count, uint64_t offset, bool fua) {
  auto held = admission_.Exclusive();
  changed_ = true;
  return EndChange(Transfer(true, const_cast<void *>(buffer), count, offset), fua);
}

int NbdExport::Flush() {
  auto held = admission_.Exclusive();
  NTSTATUS status = disk_.FlushDisk();
  // A failed flush is tried again at the end.
  changed_ = changed_ && !NT_SUCCESS(status);
  return Check(status, "cannot flush image");
}

int NbdExport::FlushIfChanged() { return changed_ ? Flush() : 0; }

NTSTATUS NbdExport::ZeroData(uint32_t count, uint64_t offset) {
  uint64_t size = 0;
  NTSTATUS status = disk_.QueryDiskSize(&size);
  return NT_SUCCESS(status) ? disk_.ZeroDiskRange(offset, count, size) : status;
}

int NbdExport::Trim(uint32_t count, uint64_t offset, bool fua) {
  auto held = admission_.Exclusive();
  changed_ = true;
  NTSTATUS status = ZeroData(count, offset);
  if (IsRefusal(status)) {
    nbdkit_debug("%s", ErrorLine(image_, "trim of " + std::to_string(count) + " bytes" +
                                             At(offset) + " ignored",
                                 "the image keeps its space (" + StatusText(status) + ")")
                           .c_str());
    status = STATUS_SUCCESS;
  }
  return EndChange(Check(status, "cannot trim " + std::to_string(count) + " bytes" + At(offset)),
                   fua);
}

int NbdExport::WriteZeros(uint32_t count, uint64_t offset) {
  if (!zeros_) {
    zeros_.reset(new uint8_t[kTransferSize]());
  }
  for (uint32_t done = 0; done < count;) {
    uint32_t chunk = std::min(count - done, kTransferSize);
    if (int error = Transfer(true, zeros_.get(), chunk, offset + done)) {
      return error;
    }
    done += chunk;
  }
  return 0;
}

int NbdExport::Zero(uint32_t count, uint64_t offset, bool fua, bool fastOnly) {
  auto held = admission_.Exclusive();
  NTSTATUS status = ZeroData(count, offset);
  if (!IsRefusal(status)) {
    changed_ = true;
    return EndChange(Check(status, "cannot zero " + std::to_string(count) + " bytes" +
                                       At(offset)),
                     fua);
  }
  if (fastOnly) {
    return ENOTSUP;
  }
  changed_ = true;
  return EndChange(WriteZeros(count, offset), fua);
}

}  // namespace dorvane
