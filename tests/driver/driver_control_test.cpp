// Control requests through the host I/O manager: the form, guard and
// admission tests of DispatchControl, the buffer checks of each code (exact
// lengths, one byte short, ranges ending at the end of the disk and past it)
// with every zeroing checked against a model of the disk, zeroing and
// merging by disk type (differencing images in the first table), and what a
// trim of many ranges costs.
#include <gtest/gtest.h>

#include <cstring>

#include "host/testing/host_testing.h"
#include "support/differencing_chain.h"
#include "support/driver_client.h"
#include "support/engine_disk.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kSize = 1 << 20, kBlock = 64 << 10;
constexpr ULONG kUnserved = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0x123, METHOD_BUFFERED, 0);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0x900, METHOD_NEITHER, 0);
constexpr UCHAR kFsc = IRP_MJ_FILE_SYSTEM_CONTROL, kDev = IRP_MJ_DEVICE_CONTROL;
constexpr ULONG kZero = FSCTL_SET_ZERO_DATA, kTrim = FSCTL_FILE_LEVEL_TRIM,
                kDataSet = IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, kMerge = FSCTL_MERGE_DIFFERENCING;

// Little-endian 32-bit words (64-bit fields as two, low first), cut or
// padded by `delta` bytes.
Bytes Words(std::initializer_list<uint32_t> words, int delta = 0) {
  Bytes bytes(words.size() * 4);
  memcpy(bytes.data(), std::data(words), bytes.size());
  bytes.resize(size_t(int(bytes.size()) + delta));
  return bytes;
}

Bytes MergeBuffer(bool guard, uint32_t levels, uint32_t limit) {
  const UCHAR guid[16] = DORVANE_GUARD_GUID_BYTES;
  Bytes buffer = Words({0, 0, 0, 0, levels, limit});
  if (guard) memcpy(buffer.data(), guid, 16);
  return buffer;
}

class DriverControl : public DriverTest {
 protected:
  struct Reply {
    NTSTATUS status;
    ULONG_PTR information;
    Bytes out;
  };
  Reply Send(const host::DeviceFile &file, UCHAR major, ULONG code, const Bytes &in,
             ULONG outLength, UCHAR minor = IRP_MN_USER_FS_REQUEST) {
    Reply reply{0, 0, Bytes(outLength, 0xEE)};
    IO_STATUS_BLOCK status = file.Control(major, minor, code, in.data(), ULONG(in.size()),
                                          reply.out.data(), outLength);
    reply.status = status.Status;
    reply.information = status.Information;
    return reply;
  }
};

struct FormCase {
  UCHAR major, minor;
  ULONG code;
  Bytes input;
  bool readOnly, busy;
  NTSTATUS expected;
};

TEST_F(DriverControl, FormGuardAndAdmission) {
  MakeDynamicImage(File("base.vhd"), kSize, kBlock);
  MakeDifferencingImage(File("child.vhd"), File("base.vhd"));
  // A block, so that merges of no block leave the image in place.
  AppendBlock(File("child.vhd"), 2, PatternBytes(100, 1));
  // The driver's own checks: the I/O manager's access check is for user mode.
  host::SetPreviousMode(KernelMode);
  Bytes zero(16, 0), bare = MergeBuffer(false, 0, 0), guarded = MergeBuffer(true, 0, 0);
  const FormCase cases[] = {
      /* 0 */ {kFsc, IRP_MN_MOUNT_VOLUME, kZero, zero, false, false, STATUS_INVALID_DEVICE_REQUEST},
      /* 1 */ {kDev, 0, kNeither, zero, false, false, STATUS_INVALID_DEVICE_REQUEST},
      /* 2 */ {kFsc, 0, kMerge, bare, false, false, STATUS_INVALID_PARAMETER},
      /* 3 */ {kFsc, 0, kMerge, bare, true, false, STATUS_INVALID_PARAMETER},
      /* 4 */ {kFsc, 0, kMerge, Bytes(guarded.begin(), guarded.begin() + 15), false, false,
               STATUS_INVALID_PARAMETER},
      /* 5 */ {kDev, 0, kMerge, bare, false, false, STATUS_SUCCESS},
      /* 6 */ {IRP_MJ_INTERNAL_DEVICE_CONTROL, 5, kMerge, bare, false, false, STATUS_SUCCESS},
      /* 7 */ {kFsc, 0, kMerge, guarded, true, false, STATUS_ACCESS_DENIED},
      /* 8 */ {kFsc, 0, kUnserved, zero, false, false, STATUS_INVALID_DEVICE_REQUEST},
      /* 9 */ {kFsc, 0, kUnserved, zero, true, false, STATUS_ACCESS_DENIED},
      /* 10 */ {kFsc, 0, kMerge, guarded, false, true, STATUS_DEVICE_BUSY},
      /* 11 */ {kDev, 0, kZero, zero, false, false, STATUS_INVALID_DEVICE_REQUEST},
      /* 12 */ {kFsc, 0, kTrim, Words({0, 1, 0, 0, 512, 0}), false, false,
                STATUS_INVALID_DEVICE_REQUEST},
      /* 13 */ {kFsc, 0, kTrim, Words({0, 0, 0, 0, 0, 0}), false, false, STATUS_SUCCESS},
      /* 14 */ {kFsc, 0, kMerge, Bytes(guarded.begin(), guarded.end() - 1), false, false,
                STATUS_INVALID_PARAMETER},
      /* 15 */ {kFsc, 0, kMerge, MergeBuffer(true, 1, 0), false, false, STATUS_SUCCESS},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const FormCase &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    host::DeviceFile file = OpenImageOrFail(
        File("child.vhd"), SynchronousOpen(c.readOnly ? kReadOnlyAccess : kReadWriteAccess));
    if (c.busy) {
      ASSERT_EQ(STATUS_SUCCESS, AcquireIoGate(BoundImage(file.FileObject()), FALSE));
    }
    Reply reply = Send(file, c.major, c.code, c.input, 24, c.minor);
    if (c.busy) ReleaseIoGate(BoundImage(file.FileObject()), FALSE);
    EXPECT_EQ(c.expected, reply.status) << host::StatusName(reply.status);
    if (c.code != kMerge || !NT_SUCCESS(c.expected)) {
      EXPECT_EQ(c.code == kTrim && NT_SUCCESS(c.expected) ? c.input.size() : 0u, reply.information);
      continue;
    }
    // The guard (or what stood in its place), no block merged, one remaining.
    Bytes expected = c.input;
    memcpy(expected.data() + 16, Words({0, 1}).data(), 8);
    EXPECT_EQ(24u, reply.information);
    EXPECT_TRUE(expected == reply.out) << "the merge's reply";
  }
  host::SetPreviousMode(UserMode);
  host::DeviceFile file = OpenImageOrFail(File("child.vhd"), SynchronousOpen(kReadOnlyAccess));
  EXPECT_EQ(STATUS_ACCESS_DENIED, Send(file, kFsc, kZero, zero, 0).status)
      << "a user-mode caller needs the access the code asks for";
}

struct BufferCase {
  UCHAR major;
  ULONG code;
  Bytes input;
  int output;  // -1: as long as the input
  NTSTATUS expected;
  std::vector<std::pair<uint32_t, uint32_t>> zeroed;
};

TEST_F(DriverControl, BufferChecksOfTheZeroingCodes) {
  Bytes model = MakeFilledDynamicImage(File("disk.vhd"), kSize, kBlock,
                                       {0, 1, 3, 5, 7, 9, 11, 12, 13, 14, 15});
  host::DeviceFile file = OpenImageOrFail(File("disk.vhd"));
  const uint32_t end = kSize, M = 0xFFFFFFFF;
  const BufferCase cases[] = {
      // Zero data: exactly 16 bytes, both ends inside the disk and in order.
      /* 0 */ {kFsc, kZero, Words({100, 0, 70000, 0}), 0, STATUS_SUCCESS, {{100, 69900}}},
      /* 1 */ {kFsc, kZero, Words({0, 0, 4096, 0}, -1), 0, STATUS_INVALID_PARAMETER, {}},
      /* 2 */ {kFsc, kZero, Words({0, 0, 4096, 0}, 1), 0, STATUS_INVALID_PARAMETER, {}},
      /* 3 */ {kFsc, kZero, Words({M, M, 4096, 0}), 0, STATUS_INVALID_PARAMETER, {}},
      /* 4 */ {kFsc, kZero, Words({0, 0, end, 0}), 0, STATUS_INVALID_PARAMETER, {}},
      /* 5 */ {kFsc, kZero, Words({9000, 0, 8000, 0}), 0, STATUS_INVALID_PARAMETER, {}},
      /* 6 */ {kFsc, kZero, Words({5000, 0, 5000, 0}), 0, STATUS_SUCCESS, {}},
      /* 7 */ {kFsc, kZero, Words({11 * kBlock, 0, end - 1, 0}), 16, STATUS_SUCCESS,
               {{11 * kBlock, end - 1 - 11 * kBlock}}},
      // File-level trim: 24 bytes at least, the ranges inside the input and
      // within the disk; an output of the whole input or none.
      /* 8 */ {kFsc, kTrim, Words({0, 2, 8192, 0, 512, 0, end - 4096, 0, 4096, 0}), -1,
               STATUS_SUCCESS, {{8192, 512}, {end - 4096, 4096}}},
      /* 9 */ {kFsc, kTrim, Words({0, 1, 0, 0, 512, 0}), 4, STATUS_INVALID_PARAMETER, {}},
      /* 10 */ {kFsc, kTrim, Words({0, 1, 0, 0, 512, 0}, -1), 0, STATUS_INVALID_PARAMETER, {}},
      /* 11 */ {kFsc, kTrim, Words({0, 0}), 0, STATUS_INVALID_PARAMETER, {}},
      /* 12 */ {kFsc, kTrim, Words({0, 2, 0, 0, 512, 0}), 0, STATUS_INVALID_PARAMETER, {}},
      /* 13 */ {kFsc, kTrim, Words({0, 2, 3 * kBlock, 0, kBlock, 0, end - 4096, 0, 4097, 0}), 0,
                STATUS_INVALID_PARAMETER, {{3 * kBlock, kBlock}}},
      // Data-set trim: head of 28 bytes, trim only, no flags, no output, the
      // ranges where the offset says and inside the input.
      /* 14 */ {kDev, kDataSet, Words({28, 1, 0, 0, 0, 28, 32, 0, 0, 100, 0, 5 * kBlock, 0, kBlock, 0}),
                0, STATUS_SUCCESS, {{0, 100}, {5 * kBlock, kBlock}}},
      /* 15 */ {kDev, kDataSet, Words({28, 1, 0, 0, 4, 32, 16, 0, end - 512, 0, 512, 0}), 0,
                STATUS_SUCCESS, {{end - 512, 512}}},
      /* 16 */ {kDev, kDataSet, Words({28, 1, 0, 0, 0, 28, 16, 0, 0, 512, 0}), 8,
                STATUS_INVALID_PARAMETER, {}},
      /* 17 */ {kDev, kDataSet, Words({28, 1, 1, 0, 0, 28, 16, 0, 0, 512, 0}), 0,
                STATUS_INVALID_PARAMETER, {}},
      /* 18 */ {kDev, kDataSet, Words({28, 2, 0, 0, 0, 28, 16, 0, 0, 512, 0}), 0,
                STATUS_INVALID_PARAMETER, {}},
      /* 19 */ {kDev, kDataSet, Words({28, 1, 0, 0, 0, 28, 15, 0, 0, 512, 0}), 0, STATUS_SUCCESS, {}},
      /* 20 */ {kDev, kDataSet, Words({28, 1, 0, 0, 0, 28, 16, 0, 0, 512, 0}, -1), 0,
                STATUS_INVALID_PARAMETER, {}},
      /* 21 */ {kDev, kDataSet, Words({28, 1, 0, 0, 0, 36, 16, 0, 0, 512, 0}), 0,
                STATUS_INVALID_PARAMETER, {}},
      /* 22 */ {kDev, kDataSet, Words({28, 1, 0, 0, 0, 28, 16, M - 511, M, 512, 0}), 0,
                STATUS_INVALID_PARAMETER, {}},
      /* 23 */ {kDev, kDataSet, Words({28, 1, 0, 0, 0, 28, 16, end - 512, 0, 513, 0}), 0,
                STATUS_INVALID_PARAMETER, {}},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const BufferCase &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    ULONG out = c.output < 0 ? ULONG(c.input.size()) : ULONG(c.output);
    Reply reply = Send(file, c.major, c.code, c.input, out);
    EXPECT_EQ(c.expected, reply.status) << host::StatusName(reply.status);
    bool trim = c.code == kTrim && NT_SUCCESS(c.expected);
    EXPECT_EQ(trim ? std::min<size_t>(c.input.size(), out) : 0u, reply.information);
    if (trim && c.output < 0) {
      EXPECT_TRUE(c.input == reply.out) << "the input did not come back";
    }
    for (const auto &range : c.zeroed) {
      std::fill(model.begin() + range.first, model.begin() + range.first + range.second, 0);
    }
  }
  Bytes disk(kSize);
  ASSERT_EQ(STATUS_SUCCESS, file.ReadAt(disk.data(), kSize, 0).Status);
  EXPECT_TRUE(disk == model) << "the disk differs from its model";
  file.Close();
  EXPECT_EQ("", CheckCompact(File("disk.vhd")));
  EXPECT_EQ(3u, AllocatedBlocks(File("disk.vhd"))) << "zeroed blocks kept";
}

// A trim costs what its ranges cost, not what the table is long: ranges over
// unallocated blocks make no file call, and the compaction that gives back a
// span no entry names (here one left by hand, found on the first request)
// runs once per request, after the ranges, even when it fails.
TEST_F(DriverControl, ATrimCompactsOnceWhateverItsRanges) {
  std::string path = File("disk.vhd");
  Bytes model = MakeFilledDynamicImage(path, kSize, kBlock, {0, 1, 2, 3});
  PokeBe32(path, kBatOffset + 4 * 1, 0xFFFFFFFF);
  std::fill(model.begin() + kBlock, model.begin() + 2 * kBlock, 0);
  Bytes trim = Words({0, 40});
  for (uint32_t range = 0; range < 40; ++range) {
    Bytes more = Words({8 * kBlock + range * 4096, 0, 512, 0});
    trim.insert(trim.end(), more.begin(), more.end());
  }
  host::DeviceFile file = OpenImageOrFail(path);
  const host::FileCall kinds[] = {host::FileCall::Read, host::FileCall::Write,
                                  host::FileCall::SetInformation, host::FileCall::Flush};
  auto calls = [&] {
    uint64_t total = 0;
    for (host::FileCall kind : kinds) total += host::FileCallCount(kind, "/disk.vhd");
    return total;
  };
  host::ResetFileCallCounts();
  host::InjectFileFault(host::FileCall::Flush, 1, host::FileFault::Crash(), "/disk.vhd");
  EXPECT_EQ(STATUS_SUCCESS, Send(file, kFsc, kTrim, trim, 0).status);
  host::ClearFaults();
  EXPECT_EQ(1u, calls()) << "the compaction's first call, made once";
  EXPECT_NE("", CheckCompact(path));

  EXPECT_EQ(STATUS_SUCCESS, Send(file, kFsc, kTrim, trim, 0).status);
  EXPECT_EQ("", CheckCompact(path));
  host::ResetFileCallCounts();
  EXPECT_EQ(STATUS_SUCCESS, Send(file, kFsc, kTrim, trim, 0).status);
  EXPECT_EQ(0u, calls()) << "a file known to be compact";
  Bytes disk(kSize);
  ASSERT_EQ(STATUS_SUCCESS, file.ReadAt(disk.data(), kSize, 0).Status);
  EXPECT_TRUE(disk == model);
}

// A fixed image's zero-data and trim requests become the image file's own;
// the merge code is for differencing images only.
TEST_F(DriverControl, FixedImagesZeroTheirFile) {
  MakeFixedImage(File("fixed.vhd"), kSize);
  Bytes model = PatternBytes(kSize, 3);
  host::DeviceFile file = OpenImageOrFail(File("fixed.vhd"));
  ASSERT_EQ(STATUS_SUCCESS, file.WriteAt(model.data(), kSize, 0).Status);
  EXPECT_EQ(STATUS_SUCCESS, Send(file, kFsc, kZero, Words({1000, 0, 200000, 0}), 0).status);
  EXPECT_EQ(STATUS_SUCCESS, Send(file, kFsc, kTrim, Words({0, 1, kSize - 700, 0, 700, 0}), 0).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Send(file, kFsc, kMerge, MergeBuffer(true, 1, 1), 24).status);
  std::fill(model.begin() + 1000, model.begin() + 200000, 0);
  std::fill(model.end() - 700, model.end(), 0);
  Bytes disk(kSize);
  ASSERT_EQ(STATUS_SUCCESS, file.ReadAt(disk.data(), kSize, 0).Status);
  EXPECT_TRUE(disk == model);
}


// A merge refused because another handle held the parent, retried on the
// same handle after the parent changed through a third: the retry sees the
// parent as it is now, and refuses a parent that is no longer the image
// the child was made on (a growth gives it a new identity).
TEST_F(DriverControl, AMergeRetriedAfterAFailedReopenSeesTheParentAsItIs) {
  for (bool grow : {false, true}) {
    SCOPED_TRACE(grow ? "parent grown" : "parent written");
    std::string base = File("base.vhd"), child = File("child.vhd");
    std::remove(base.c_str());
    MakeDynamicImage(base, kSize, kBlock);
    Bytes model(kSize, 0), piece = PatternBytes(kBlock, 1);
    AppendBlock(base, 0, piece);
    std::copy(piece.begin(), piece.end(), model.begin());
    MakeDifferencingImage(child, base);
    host::DeviceFile merging = OpenImageOrFail(child);
    for (uint32_t block : {2u, 5u}) {
      piece = PatternBytes(kBlock, block);
      ASSERT_EQ(STATUS_SUCCESS, merging.WriteAt(piece.data(), kBlock, block * kBlock).Status);
      std::copy(piece.begin(), piece.end(), model.begin() + block * kBlock);
    }
    {
      host::DeviceFile reader = OpenImageOrFail(base, SynchronousOpen(kReadOnlyAccess));
      EXPECT_EQ(STATUS_SHARING_VIOLATION,
                Send(merging, kFsc, kMerge, MergeBuffer(true, 1, 100), 24).status);
    }
    host::DeviceFile writer = OpenImageOrFail(base);
    for (uint32_t block : {8u, 9u}) {
      piece = PatternBytes(kBlock, 50 + block);
      ASSERT_EQ(STATUS_SUCCESS, writer.WriteAt(piece.data(), kBlock, block * kBlock).Status);
      std::copy(piece.begin(), piece.end(), model.begin() + block * kBlock);
    }
    LONGLONG grown = 2 * kSize;
    if (grow) {
      ASSERT_EQ(STATUS_SUCCESS,
                writer.SetInformation(&grown, sizeof(grown), FileEndOfFileInformation).Status);
    }
    writer.Close();
    Bytes before = ReadFileBytes(base);
    Reply reply = Send(merging, kFsc, kMerge, MergeBuffer(true, 1, 100), 24);
    merging.Close();
    if (grow) {
      EXPECT_EQ(STATUS_FILE_CORRUPT_ERROR, reply.status);
      EXPECT_TRUE(before == ReadFileBytes(base)) << "the merge wrote to another image";
      continue;
    }
    ASSERT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(Words({2, 0}), Bytes(reply.out.begin() + 16, reply.out.end())) << "merged, left";
    EXPECT_NE(0, access(child.c_str(), F_OK)) << "the emptied child stayed";
    EXPECT_EQ("", CheckCompact(base));
    host::DeviceFile merged = OpenImageOrFail(base, SynchronousOpen(kReadOnlyAccess));
    Bytes disk(kSize);
    ASSERT_EQ(STATUS_SUCCESS, merged.ReadAt(disk.data(), kSize, 0).Status);
    EXPECT_TRUE(disk == model);
  }
}

// A merge that finds an image empty marks it for removal at close, but a
// block written to it afterwards keeps it, with its data.
TEST_F(DriverControl, AnEmptiedImageWrittenAgainIsKept) {
  std::string base = File("base.vhd"), child = File("child.vhd");
  MakeDynamicImage(base, kSize, kBlock);
  for (bool written : {false, true}) {
    MakeDifferencingImage(child, base);
    host::DeviceFile file = OpenImageOrFail(child);
    Reply reply = Send(file, kFsc, kMerge, MergeBuffer(true, 0, 0), 24);
    ASSERT_EQ(STATUS_SUCCESS, reply.status);
    Bytes data = PatternBytes(4096, 7);
    if (written) {
      ASSERT_EQ(STATUS_SUCCESS, file.WriteAt(data.data(), 4096, 3 * kBlock).Status);
      ASSERT_EQ(STATUS_SUCCESS, file.SendRequest(IRP_MJ_FLUSH_BUFFERS, [](PIRP, PIO_STACK_LOCATION) {}).Status);
    }
    file.Close();
    EXPECT_EQ(written, access(child.c_str(), F_OK) == 0);
    if (!written) continue;
    host::DeviceFile again = OpenImageOrFail(child, SynchronousOpen(kReadOnlyAccess));
    Bytes read(4096);
    ASSERT_EQ(STATUS_SUCCESS, again.ReadAt(read.data(), 4096, 3 * kBlock).Status);
    EXPECT_TRUE(read == data);
  }
}
}  // namespace
}  // namespace dorvane::test
