// tools/nbdkit: the virtual disk served over NBD as an nbdkit plugin
// (nbdkit-dorvane-plugin.so): the plugin's callbacks (nbdkit_plugin.cpp)
// and the disk they serve (this header). It reaches the disk only through
// tools/disk, and explains a refused open with tools/image_files.
//
// The export: one handle on the image, opened before the server starts and
// held until it stops, shared by every connection. Each NBD request is a
// request on it, admitted as on every server of the disk (reads shared,
// changes exclusive). Every call returns 0 or the errno the client gets;
// failures are logged through nbdkit as the command's error lines.
#pragma once

#include "tools/disk/admission.h"
#include "tools/disk/disk_access.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace dorvane {

class NbdExport {
 public:
  // Opens the image; "" or the command's line naming the file at fault.
  std::string Open(const std::string &image, bool writable);
  // Flushes what was changed and closes the handle.
  void Close();

  bool Writable() const { return writable_; }
  // The disk's size as the driver answers a standard-information query.
  int QuerySize(uint64_t *size);

  int Read(void *buffer, uint32_t count, uint64_t offset);
  int Write(const void *buffer, uint32_t count, uint64_t offset, bool fua);
  // The flush request: the image and its whole parent chain.
  int Flush();
  // Only when something was written since the last flush.
  int FlushIfChanged();
  // The zero-data request; where the image refuses it (a differencing
  // image), a trim does nothing and says so in the debug output.
  int Trim(uint32_t count, uint64_t offset, bool fua);
  // The zero-data request; where the image refuses it, zeros are written,
  // unless only a fast zeroing was asked for (then ENOTSUP).
  int Zero(uint32_t count, uint64_t offset, bool fua, bool fastOnly);

 private:
  // 0, or the errno after the error line "WHAT: STATUS".
  int Check(NTSTATUS status, const std::string &what);
  // The zero-data request over [offset, offset + count).
  NTSTATUS ZeroData(uint32_t count, uint64_t offset);
  int WriteZeros(uint32_t count, uint64_t offset);
  int Transfer(bool write, void *buffer, uint32_t count, uint64_t offset);
  int EndChange(int result, bool fua);

  std::string image_;
  bool writable_ = false;
  Disk disk_;
  Admission admission_;
  std::atomic<bool> changed_{false};
  std::unique_ptr<uint8_t[]> zeros_;  // a transfer of zeros, made when first needed
};

}  // namespace dorvane
