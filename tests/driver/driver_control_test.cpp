// Control requests through the host I/O manager: the form, guard and
// admission tests of DispatchControl, each code's buffer checks (exact
// lengths, one byte short, ranges ending at the end of the disk and past it),
// and zeroing by disk type, every result checked against a model of the disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "support/differencing_chain.h"
#include "support/driver_client.h"
#include "support/engine_disk.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kSize = 1 << 20;
constexpr uint32_t kBlock = 64 << 10;
constexpr ULONG kUnserved = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0x123, METHOD_BUFFERED, 0);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0x900, METHOD_NEITHER, 0);
const UCHAR kFsc = IRP_MJ_FILE_SYSTEM_CONTROL, kDev = IRP_MJ_DEVICE_CONTROL,
            kInternal = IRP_MJ_INTERNAL_DEVICE_CONTROL;

template <typename T>
void Put(Bytes *bytes, size_t at, T value) {
  if (bytes->size() < at + sizeof(T)) bytes->resize(at + sizeof(T));
  memcpy(bytes->data() + at, &value, sizeof(T));
}

Bytes MergeBuffer(ULONG levels, ULONG limit, bool guard = true) {
  const UCHAR guid[16] = DORVANE_GUARD_GUID_BYTES;
  Bytes buffer(guard ? guid : guid + 16, guard ? guid + 16 : guid + 16);
  buffer.resize(16);
  Put(&buffer, 16, levels);
  Put(&buffer, 20, limit);
  return buffer;
}

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

Bytes TrimBuffer(const Ranges &ranges, ULONG count) {
  Bytes buffer(8, 0);
  Put(&buffer, 4, count);
  for (size_t i = 0; i < ranges.size(); ++i) {
    Put(&buffer, 8 + 16 * i, ranges[i].first);
    Put(&buffer, 16 + 16 * i, ranges[i].second);
  }
  return buffer;
}

class DriverControl : public DriverTest {
 protected:
  struct Reply {
    NTSTATUS status;
    ULONG_PTR information;
    Bytes out;
  };
  Reply Send(const host::DeviceFile &file, ULONG code, const Bytes &in, ULONG outLength,
             UCHAR major = IRP_MJ_FILE_SYSTEM_CONTROL, UCHAR minor = IRP_MN_USER_FS_REQUEST) {
    Reply reply{0, 0, Bytes(outLength, 0xEE)};
    IO_STATUS_BLOCK status = file.Control(major, minor, code, in.data(), ULONG(in.size()),
                                          reply.out.data(), outLength);
    reply.status = status.Status;
    reply.information = status.Information;
    return reply;
  }
  // A dynamic image with data in every block but one, and its model.
  host::DeviceFile DynamicDisk() {
    model_ = MakeFilledDynamicImage(File("disk.vhd"), kSize, kBlock,
                                    {0, 1, 3, 5, 7, 9, 11, 12, 13, 14, 15});
    return OpenImageOrFail(File("disk.vhd"));
  }
  void Zero(uint64_t offset, uint64_t length) {
    std::fill(model_.begin() + long(offset), model_.begin() + long(offset + length), 0);
  }
  void ExpectModel(const host::DeviceFile &file) {
    Bytes disk(model_.size());
    ASSERT_EQ(STATUS_SUCCESS, file.ReadAt(disk.data(), ULONG(disk.size()), 0).Status);
    EXPECT_TRUE(disk == model_) << "the disk differs from its model";
  }
  Bytes model_;
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
  // The driver's own tests: the I/O manager's access check is for user mode.
  host::SetPreviousMode(KernelMode);
  Bytes zero(16, 0), noGuard = MergeBuffer(0, 0, false), guarded = MergeBuffer(0, 0);
  const FormCase cases[] = {
      /* 0 */ {kFsc, IRP_MN_MOUNT_VOLUME, FSCTL_SET_ZERO_DATA, zero, false, false,
               STATUS_INVALID_DEVICE_REQUEST},
      /* 1 */ {kDev, 0, kNeither, zero, false, false, STATUS_INVALID_DEVICE_REQUEST},
      /* 2 */ {kFsc, 0, FSCTL_MERGE_DIFFERENCING, noGuard, false, false, STATUS_INVALID_PARAMETER},
      /* 3 */ {kFsc, 0, FSCTL_MERGE_DIFFERENCING, noGuard, true, false, STATUS_INVALID_PARAMETER},
      /* 4 */ {kFsc, 0, FSCTL_MERGE_DIFFERENCING, Bytes(guarded.begin(), guarded.begin() + 15),
               false, false, STATUS_INVALID_PARAMETER},
      /* 5 */ {kDev, 0, FSCTL_MERGE_DIFFERENCING, noGuard, false, false, STATUS_SUCCESS},
      /* 6 */ {kInternal, 5, FSCTL_MERGE_DIFFERENCING, noGuard, false, false, STATUS_SUCCESS},
      /* 7 */ {kFsc, 0, FSCTL_MERGE_DIFFERENCING, guarded, true, false, STATUS_ACCESS_DENIED},
      /* 8 */ {kFsc, 0, kUnserved, zero, false, false, STATUS_INVALID_DEVICE_REQUEST},
      /* 9 */ {kFsc, 0, kUnserved, zero, true, false, STATUS_ACCESS_DENIED},
      /* 10 */ {kFsc, 0, FSCTL_MERGE_DIFFERENCING, guarded, false, true, STATUS_DEVICE_BUSY},
      /* 11 */ {kDev, 0, FSCTL_SET_ZERO_DATA, zero, false, false, STATUS_INVALID_DEVICE_REQUEST},
      /* 12 */ {kFsc, 0, FSCTL_FILE_LEVEL_TRIM, TrimBuffer({{0, 512}}, 1), false, false,
                STATUS_INVALID_DEVICE_REQUEST},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const FormCase &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    host::DeviceFile file =
        OpenImageOrFail(File("child.vhd"), SynchronousOpen(c.readOnly ? kReadOnlyAccess : kReadWriteAccess));
    if (c.busy) {
      ASSERT_EQ(STATUS_SUCCESS, AcquireIoGate(BoundImage(file), FALSE));
    }
    Reply reply = Send(file, c.code, c.input, 24, c.major, c.minor);
    if (c.busy) ReleaseIoGate(BoundImage(file), FALSE);
    EXPECT_EQ(c.expected, reply.status) << host::StatusName(reply.status);
    EXPECT_EQ(NT_SUCCESS(c.expected) ? 24u : 0u, reply.information) << "merge replies 24 bytes";
  }
  // A user-mode caller needs the access the code asks for.
  host::SetPreviousMode(UserMode);
  host::DeviceFile file = OpenImageOrFail(File("child.vhd"), SynchronousOpen(kReadOnlyAccess));
  EXPECT_EQ(STATUS_ACCESS_DENIED, Send(file, FSCTL_SET_ZERO_DATA, zero, 0).status);
}

struct ZeroCase {
  ULONG inLength;
  int64_t first, beyond;
  NTSTATUS expected;
};

TEST_F(DriverControl, ZeroDataBuffer) {
  host::DeviceFile file = DynamicDisk();
  const int64_t size = kSize;
  const ZeroCase cases[] = {
      /* 0 */ {16, 100, 70000, STATUS_SUCCESS},
      /* 1 */ {15, 0, 4096, STATUS_INVALID_PARAMETER},
      /* 2 */ {17, 0, 4096, STATUS_INVALID_PARAMETER},
      /* 3 */ {16, -1, 4096, STATUS_INVALID_PARAMETER},
      /* 4 */ {16, 0, size, STATUS_INVALID_PARAMETER},
      /* 5 */ {16, size, size, STATUS_INVALID_PARAMETER},
      /* 6 */ {16, 9000, 8000, STATUS_INVALID_PARAMETER},
      /* 7 */ {16, 5000, 5000, STATUS_SUCCESS},
      /* 8 */ {16, 11 * kBlock, size - 1, STATUS_SUCCESS},
  };
  for (const ZeroCase &c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + ".." + std::to_string(c.beyond));
    Bytes in(c.inLength, 0);
    Put(&in, 0, c.first);
    Put(&in, 8, c.beyond);
    in.resize(c.inLength);
    Reply reply = Send(file, FSCTL_SET_ZERO_DATA, in, 16);
    EXPECT_EQ(c.expected, reply.status);
    EXPECT_EQ(0u, reply.information);
    if (NT_SUCCESS(c.expected)) Zero(uint64_t(c.first), uint64_t(c.beyond - c.first));
  }
  ExpectModel(file);
  file.Close();
  EXPECT_EQ("", CheckCompact(File("disk.vhd")));
  EXPECT_EQ(7u, ReadLayout(File("disk.vhd")).AllocatedCount()) << "zeroed blocks not given back";
}

struct TrimCase {
  Ranges ranges;
  ULONG count;
  int inDelta;
  int outLength;  // -1: as long as the input
  NTSTATUS expected;
  size_t zeroed;  // ranges zeroed
};

TEST_F(DriverControl, FileLevelTrimBuffer) {
  host::DeviceFile file = DynamicDisk();
  const TrimCase cases[] = {
      /* 0 */ {{{0, 4096}}, 1, 0, 0, STATUS_SUCCESS, 1},
      /* 1 */ {{{8192, 512}, {kSize - 4096, 4096}}, 2, 0, -1, STATUS_SUCCESS, 2},
      /* 2 */ {{{0, 512}}, 1, 0, 4, STATUS_INVALID_PARAMETER, 0},
      /* 3 */ {{{0, 512}}, 1, -1, 0, STATUS_INVALID_PARAMETER, 0},
      /* 4 */ {{}, 0, 15, 0, STATUS_INVALID_PARAMETER, 0},
      /* 5 */ {{{0, 512}}, 2, 0, 0, STATUS_INVALID_PARAMETER, 0},
      /* 6 */ {{{kSize - 4096, 4097}}, 1, 0, 0, STATUS_INVALID_PARAMETER, 0},
      /* 7 */ {{{3 * kBlock, kBlock}, {kSize + 1, 0}}, 2, 0, 0, STATUS_INVALID_PARAMETER, 1},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const TrimCase &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    Bytes in = TrimBuffer(c.ranges, c.count);
    in.resize(size_t(int(in.size()) + c.inDelta));
    ULONG out = c.outLength < 0 ? ULONG(in.size()) : ULONG(c.outLength);
    Reply reply = Send(file, FSCTL_FILE_LEVEL_TRIM, in, out);
    EXPECT_EQ(c.expected, reply.status);
    EXPECT_EQ(NT_SUCCESS(c.expected) ? std::min<size_t>(in.size(), out) : 0u, reply.information);
    if (c.outLength < 0) {
      EXPECT_TRUE(in == reply.out) << "the input did not come back";
    }
    for (size_t r = 0; r < c.zeroed; ++r) Zero(c.ranges[r].first, c.ranges[r].second);
  }
  ExpectModel(file);
}

struct DataSetCase {
  ULONG action, flags, parameterLength, rangesOffset, rangesLength;
  Ranges ranges;
  int inDelta;
  ULONG outLength;
  NTSTATUS expected;
};

TEST_F(DriverControl, DataSetTrimBuffer) {
  host::DeviceFile file = DynamicDisk();
  const DataSetCase cases[] = {
      /* 0 */ {1, 0, 0, 28, 32, {{0, 100}, {5 * kBlock, kBlock}}, 0, 0, STATUS_SUCCESS},
      /* 1 */ {1, 0, 4, 32, 16, {{kSize - 512, 512}}, 0, 0, STATUS_SUCCESS},
      /* 2 */ {1, 0, 0, 28, 16, {{0, 512}}, 0, 8, STATUS_INVALID_PARAMETER},
      /* 3 */ {1, 1, 0, 28, 16, {{0, 512}}, 0, 0, STATUS_INVALID_PARAMETER},
      /* 4 */ {2, 0, 0, 28, 16, {{0, 512}}, 0, 0, STATUS_INVALID_PARAMETER},
      /* 5 */ {1, 0, 0, 28, 15, {{0, 512}}, 0, 0, STATUS_SUCCESS},
      /* 6 */ {1, 0, 0, 28, 16, {{0, 512}}, -1, 0, STATUS_INVALID_PARAMETER},
      /* 7 */ {1, 0, 0, 36, 16, {{0, 512}}, 0, 0, STATUS_INVALID_PARAMETER},
      /* 8 */ {1, 0, 0, 28, 16, {{uint64_t(-512), 512}}, 0, 0, STATUS_INVALID_PARAMETER},
      /* 9 */ {1, 0, 0, 28, 16, {{kSize - 512, 513}}, 0, 0, STATUS_INVALID_PARAMETER},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const DataSetCase &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    Bytes in(28, 0);
    Put(&in, 4, c.action);
    Put(&in, 8, c.flags);
    Put(&in, 16, c.parameterLength);
    Put(&in, 20, c.rangesOffset);
    Put(&in, 24, c.rangesLength);
    // Ranges behind the head and the parameter block, wherever the offset says.
    in.resize(28 + c.parameterLength + c.ranges.size() * 16, 0);
    for (size_t r = 0; r < c.ranges.size(); ++r) {
      Put(&in, std::min<size_t>(c.rangesOffset, in.size() - 16 * (c.ranges.size() - r)) + 16 * r,
          c.ranges[r].first);
      Put(&in, std::min<size_t>(c.rangesOffset, in.size() - 16 * (c.ranges.size() - r)) + 16 * r + 8,
          c.ranges[r].second);
    }
    in.resize(size_t(int(in.size()) + c.inDelta));
    Reply reply = Send(file, IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, in, c.outLength, kDev, 0);
    EXPECT_EQ(c.expected, reply.status);
    EXPECT_EQ(0u, reply.information);
    if (NT_SUCCESS(c.expected) && c.rangesLength >= 16) {
      for (const auto &range : c.ranges) Zero(range.first, range.second);
    }
  }
  ExpectModel(file);
}

TEST_F(DriverControl, ZeroingByDiskTypeAndTheMergeBuffer) {
  MakeFixedImage(File("fixed.vhd"), kSize);
  model_ = PatternBytes(kSize, 3);
  host::DeviceFile fixed = OpenImageOrFail(File("fixed.vhd"));
  ASSERT_EQ(STATUS_SUCCESS, fixed.WriteAt(model_.data(), kSize, 0).Status);
  Bytes zero;
  Put<int64_t>(&zero, 0, 1000);
  Put<int64_t>(&zero, 8, 200000);
  EXPECT_EQ(STATUS_SUCCESS, Send(fixed, FSCTL_SET_ZERO_DATA, zero, 0).status);
  Zero(1000, 199000);
  Bytes trim = TrimBuffer({{kSize - 700, 700}}, 1);
  EXPECT_EQ(STATUS_SUCCESS, Send(fixed, FSCTL_FILE_LEVEL_TRIM, trim, 0).status);
  Zero(kSize - 700, 700);
  ExpectModel(fixed);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            Send(fixed, FSCTL_MERGE_DIFFERENCING, MergeBuffer(1, 1), 24).status);
  fixed.Close();

  MakeDifferencingImage(File("child.vhd"), File("fixed.vhd"));
  host::DeviceFile child = OpenImageOrFail(File("child.vhd"));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Send(child, FSCTL_SET_ZERO_DATA, zero, 0).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Send(child, FSCTL_FILE_LEVEL_TRIM, trim, 0).status);
  Bytes noRanges = TrimBuffer({}, 0);
  noRanges.resize(24);
  EXPECT_EQ(STATUS_SUCCESS, Send(child, FSCTL_FILE_LEVEL_TRIM, noRanges, 0).status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            Send(child, FSCTL_MERGE_DIFFERENCING, MergeBuffer(0, 0), 23).status);
  Reply reply = Send(child, FSCTL_MERGE_DIFFERENCING, MergeBuffer(1, 5), 24);
  EXPECT_EQ(STATUS_SUCCESS, reply.status);
  EXPECT_EQ(24u, reply.information);
  EXPECT_TRUE(MergeBuffer(0, 0) == reply.out) << "guard, nothing merged, nothing remaining";
  child.Close();
  EXPECT_NE(0, access(File("child.vhd").c_str(), F_OK)) << "the emptied image stayed";
}

}  // namespace
}  // namespace dorvane::test
