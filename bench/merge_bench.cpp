// Merging a differencing image whose every block holds data into its parent,
// a dynamic one and a fixed one, through the driver's merge requests as the
// command sends them (16 blocks per request), against copying the same bytes
// with cp in the same run: cp alone (the copy left in the page cache) and cp
// followed by sync of the copy (durable, as the merge's data is when it ends).
// Every round starts from fresh files written back and read into the page
// cache; the best round of each counts.
//
//   merge_bench [--dir DIR] [--size-mib N] [--rounds N]
#include <algorithm>
#include <filesystem>
#include <random>

#include "bench_support.h"
#include "tools/disk/disk_access.h"
#include "format/vhd_format.h"
#include "tools/image_files/image_writer.h"

namespace {

using namespace bench;

constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kBlocksPerRequest = 16;

void Shell(const std::string &command) {
  if (std::system(command.c_str()) != 0) {
    Fail("failed: " + command);
  }
}

// A file written back and read into the page cache.
void SettleFile(const std::string &path) { RawFile(path).Settle(); }

// parent (fixed or dynamic) <- child, every byte of the child written; the
// raw file holds the same bytes.
void BuildPair(const std::string &dir, uint32_t parentType, uint64_t size) {
  std::string parent = dir + "/parent.vhd", child = dir + "/child.vhd", raw = dir + "/source.raw";
  for (const std::string &path : {parent, child, raw, dir + "/copy.raw"}) std::remove(path.c_str());
  dorvane::NewImageParameters parameters;
  parameters.diskType = parentType;
  parameters.size = size;
  std::string error = dorvane::CreateImage(parent, parameters);
  if (error.empty()) error = dorvane::CreateDifferencingImage(child, parent);
  if (!error.empty()) Fail(error);
  Image image(child);
  RawFile source(raw, true);
  std::vector<uint8_t> data(kMiB);
  std::mt19937_64 random(7);
  for (uint64_t offset = 0; offset < size; offset += kMiB) {
    for (auto &byte : data) byte = uint8_t(random() | 1);
    image.Transfer(IRP_MJ_WRITE, offset, data.data(), kMiB);
    source.Write(offset, data.data(), kMiB);
  }
}

double Merge(const std::string &child) {
  dorvane::Disk disk;
  NTSTATUS status = disk.OpenDisk(child, true);
  if (!NT_SUCCESS(status)) Fail(std::string("cannot open the child: ") + host::StatusName(status));
  return Seconds([&] {
    uint32_t merged = 0, remaining = 1;
    while (remaining > 0) {
      status = disk.MergeStep(1, kBlocksPerRequest, &merged, &remaining);
      if (!NT_SUCCESS(status)) Fail(std::string("merge failed: ") + host::StatusName(status));
    }
  });
}

void CheckMerged(const std::string &parent, const std::string &raw, uint64_t size) {
  dorvane::Disk disk;
  if (!NT_SUCCESS(disk.OpenDisk(parent, false))) Fail("cannot open the parent");
  RawFile source(raw);
  std::vector<uint8_t> got(kMiB), expected(kMiB);
  for (uint64_t offset = 0; offset < size; offset += 64 * kMiB) {
    uint32_t moved = 0;
    disk.ReadDisk(offset, got.data(), kMiB, &moved);
    source.Read(offset, expected.data(), kMiB);
    if (got != expected) Fail("the parent differs from the child at " + std::to_string(offset));
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options defaults;
  defaults.size = 1024ull * kMiB;
  defaults.rounds = 2;
  Options options = ParseOptions(argc, argv, defaults);
  if (options.size == 0 || options.size % (2 * kMiB) != 0) Fail("the size must be a multiple of 2 MiB");
  WorkFolder folder(options.dir);
  const std::string &dir = folder.Path();
  std::printf("%-26s %10s %10s %14s %10s %14s\n", "merge of a full child", "merge s", "cp s",
              "cp+sync s", "merge/cp", "merge/cp+sync");
  for (uint32_t parentType : {VHD_DISK_TYPE_DYNAMIC, VHD_DISK_TYPE_FIXED}) {
    double merge = 1e30, copy = 1e30, durable = 1e30;
    for (int round = 0; round < options.rounds; ++round) {
      BuildPair(dir, parentType, options.size);
      for (const char *name : {"/parent.vhd", "/child.vhd", "/source.raw"}) SettleFile(dir + name);
      copy = std::min(copy, Seconds([&] { Shell("cp '" + dir + "/source.raw' '" + dir + "/copy.raw'"); }));
      std::remove((dir + "/copy.raw").c_str());
      durable = std::min(durable, Seconds([&] {
                           Shell("cp '" + dir + "/source.raw' '" + dir + "/copy.raw' && sync '" +
                                 dir + "/copy.raw'");
                         }));
      merge = std::min(merge, Merge(dir + "/child.vhd"));
      CheckMerged(dir + "/parent.vhd", dir + "/source.raw", options.size);
    }
    std::printf("%-26s %10.2f %10.2f %14.2f %10.2f %14.2f\n",
                parentType == VHD_DISK_TYPE_FIXED ? "into a fixed parent" : "into a dynamic parent",
                merge, copy, durable, merge / copy, merge / durable);
  }
  return 0;
}
