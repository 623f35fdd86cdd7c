// Fuzz target: the buffers of control requests, sent through the driver's
// device on a dynamic image and on a differencing image with blocks of its
// own and of its parent. An input is:
//
//   byte 0      bits 0-1: the code (zero data, file-level trim, data-set
//               trim, merge); with bit 6 also set, 3 takes the raw code
//               in bytes 3-6 instead;
//               bits 2-3: file-system, device or internal device control;
//               bit 4: the differencing image instead of the dynamic one;
//               bit 5: a minor function other than the user request
//   bytes 1-2   output length (little-endian)
//   bytes 3-6   the raw code (read only when bits 0-1 say so)
//   the rest    the input buffer
//
// The images are written back before every input, so each request meets
// the same files. The driver must never touch memory outside the buffer it
// was given and must give back all pool when the handle closes.
#include "tools/disk/disk_access.h"
#include "fuzz_support.h"
#include "tools/image_files/image_writer.h"

#include "driver/control_codes.h"
#include "format/vhd_format.h"
#include "host/testing/host_testing.h"
#include "host/io/io_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

using namespace dorvane;

struct Template {
  std::string path;
  std::vector<uint8_t> bytes;
};

[[noreturn]] void SetupFailed(const std::string &what) {
  std::fprintf(stderr, "dorvane fuzz: setting up the images: %s\n", what.c_str());
  std::abort();
}

void WritePattern(const std::string &image, const std::vector<uint64_t> &offsets) {
  Disk disk;
  if (!NT_SUCCESS(disk.OpenDisk(image, true))) SetupFailed("cannot open " + image);
  std::vector<uint8_t> data(8192);
  for (uint64_t offset : offsets) {
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(offset / 512 + i);
    uint32_t moved = 0;
    if (!NT_SUCCESS(disk.WriteDisk(offset, data.data(), 8192, &moved))) SetupFailed(image);
  }
}

std::vector<uint8_t> ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// dynamic.vhd, base.vhd and child.vhd (a differencing image of base.vhd),
// each 1 MiB of 64 KiB blocks with data in a few of them.
std::vector<Template> MakeTemplates() {
  std::string folder = fuzz::WorkFolder();
  std::vector<Template> files = {{folder + "/dynamic.vhd", {}},
                                 {folder + "/base.vhd", {}},
                                 {folder + "/child.vhd", {}}};
  NewImageParameters parameters;
  parameters.diskType = VHD_DISK_TYPE_DYNAMIC;
  parameters.size = 1u << 20;
  parameters.blockSize = 64u << 10;
  for (int i = 0; i < 2; ++i) {
    std::string error = CreateImage(files[i].path, parameters);
    if (!error.empty()) SetupFailed(error);
  }
  std::string error = CreateDifferencingImage(files[2].path, files[1].path);
  if (!error.empty()) SetupFailed(error);
  WritePattern(files[0].path, {0, 3 << 16, 15 << 16});
  WritePattern(files[1].path, {0, 2 << 16, 9 << 16});
  WritePattern(files[2].path, {4096, 5 << 16, 9 << 16});
  for (Template &file : files) file.bytes = ReadBytes(file.path);
  return files;
}

const ULONG kCodes[] = {FSCTL_SET_ZERO_DATA, FSCTL_FILE_LEVEL_TRIM,
                        IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, FSCTL_MERGE_DIFFERENCING};
const UCHAR kOtherMinor = 0x01;
const UCHAR kMajors[] = {IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MJ_DEVICE_CONTROL,
                         IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_FILE_SYSTEM_CONTROL};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::vector<Template> files = [] {
    std::vector<Template> made = MakeTemplates();
    if (!NT_SUCCESS(host::LoadDriver(DriverEntry, u"Dorvane"))) SetupFailed("cannot load");
    return made;
  }();
  if (size < 7) {
    return 0;
  }
  UCHAR choice = data[0];
  ULONG outputLength = data[1] | (ULONG(data[2]) << 8);
  ULONG code = kCodes[choice & 3];
  if ((choice & 3) == 3 && (choice & 0x40) != 0) {
    std::memcpy(&code, data + 3, 4);
  }
  UCHAR major = kMajors[(choice >> 2) & 3];
  UCHAR minor = (choice & 0x20) != 0 ? kOtherMinor : IRP_MN_USER_FS_REQUEST;
  std::vector<uint8_t> input(data + 7, data + size);
  std::vector<uint8_t> output(outputLength);

  for (const Template &file : files) {
    fuzz::WriteWholeFile(file.path, file.bytes.data(), file.bytes.size());
  }
  size_t pool = host::OutstandingAllocations();
  size_t handles = host::OpenHandleCount();
  {
    const Template &target = files[(choice & 0x10) != 0 ? 2 : 0];
    host::OpenParameters parameters;
    parameters.desiredAccess = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
    host::DeviceFile file;
    IO_STATUS_BLOCK opened = host::DeviceFile::Open(
        u"\\Device\\Dorvane" + host::NtPathForHostPath(target.path), parameters, &file);
    if (!NT_SUCCESS(opened.Status)) {
      std::fprintf(stderr, "dorvane fuzz: cannot open %s: %#x\n", target.path.c_str(),
                   static_cast<unsigned>(opened.Status));
      std::abort();
    }
    file.Control(major, minor, code, input.data(), static_cast<ULONG>(input.size()),
                 output.data(), outputLength);
  }
  fuzz::CheckNothingKept(pool, handles);
  host::ClearDebugOutput();
  host::ClearErrorLog();
  host::ClearCreateHistory();
  return 0;
}
