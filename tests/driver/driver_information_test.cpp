// Query and set information on a handle: the answers of a file whose
// contents are the virtual disk, the classes passed to the image file, the
// requests that proceed while a write is in progress, and growth through the
// end of file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <thread>

#include "host/testing/host_testing.h"
#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr int64_t kDiskSize = 3 << 20;

class DriverInformation : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    MakeDynamicImage(image_ = File("disk.vhd"), kDiskSize);
  }
  static IO_STATUS_BLOCK Query(const host::DeviceFile &file, FILE_INFORMATION_CLASS infoClass,
                               Bytes *answer) {
    return file.QueryInformation(answer->data(), ULONG(answer->size()), infoClass);
  }
  static IO_STATUS_BLOCK Set(const host::DeviceFile &file, FILE_INFORMATION_CLASS infoClass,
                             int64_t value, ULONG length = 8) {
    Bytes buffer(40, 0);
    memcpy(buffer.data(), &value, sizeof(value));
    return file.SetInformation(buffer.data(), length, infoClass);
  }
  std::string image_;
};

Bytes Words(std::vector<int64_t> words) {
  Bytes bytes(words.size() * 8);
  memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

// Each class with a buffer of exactly the length of its answer, then one byte
// less (refused by the driver, or by the image file's own query for the
// classes passed there). The handle's name is the one its create gave.
TEST_F(DriverInformation, EveryQueryClassWithItsExactAndOneByteShortBuffer) {
  std::u16string name = NtName(image_).replace(0, 4, u"\\GLOBAL??\\");
  host::DeviceFile file;
  ASSERT_EQ(host::DeviceFile::Open(kDeviceName + name, OverlappedOpen(), &file).Status,
            STATUS_SUCCESS);
  ASSERT_EQ(Set(file, FilePositionInformation, 12345).Status, STATUS_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat(image_.c_str(), &st), 0);
  Bytes nameAnswer(4 + 2 * name.size());
  uint32_t nameLength = uint32_t(name.size() * 2);
  memcpy(nameAnswer.data(), &nameLength, 4);
  memcpy(nameAnswer.data() + 4, name.data(), name.size() * 2);

  struct Case {
    FILE_INFORMATION_CLASS infoClass;
    Bytes answer;  // empty: only the length is checked
    size_t length;
    NTSTATUS shortStatus;
  } cases[] = {
      /* 0 */ {FilePositionInformation, Words({12345}), 8, STATUS_BUFFER_TOO_SMALL},
      /* 1 */ {FileAlignmentInformation, Bytes(4, 0), 4, STATUS_BUFFER_TOO_SMALL},
      /* 2 */ {FileStandardInformation, Words({kDiskSize, kDiskSize, 0}), 24,
               STATUS_BUFFER_TOO_SMALL},
      /* 3 */ {FileNetworkOpenInformation, Words({0, 0, 0, 0, kDiskSize, kDiskSize, 0}), 56,
               STATUS_BUFFER_TOO_SMALL},
      /* 4 */ {FileNameInformation, nameAnswer, nameAnswer.size(), STATUS_BUFFER_TOO_SMALL},
      /* 5 */ {FileInternalInformation, Words({int64_t(st.st_ino)}), 8,
               STATUS_INFO_LENGTH_MISMATCH},
      /* 6 */ {FileBasicInformation, {}, 40, STATUS_INFO_LENGTH_MISMATCH},
      /* 7 */ {FileEaInformation, Bytes(4, 0), 4, STATUS_INFO_LENGTH_MISMATCH},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const Case &c = cases[i];
    Bytes answer(c.length, 0xEE);
    IO_STATUS_BLOCK status = Query(file, c.infoClass, &answer);
    ASSERT_EQ(status.Status, STATUS_SUCCESS) << host::StatusName(status.Status);
    EXPECT_EQ(status.Information, c.length);
    EXPECT_TRUE(c.answer.empty() || answer == c.answer);
    answer.resize(c.length - 1);
    status = Query(file, c.infoClass, &answer);
    EXPECT_EQ(status.Status, c.shortStatus) << host::StatusName(status.Status);
    EXPECT_EQ(status.Information, 0u);
  }
  Bytes all(104);
  EXPECT_EQ(Query(file, FileAllInformation, &all).Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DriverInformation, SetClasses) {
  struct Case {
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    int64_t value;
    NTSTATUS status;
    int64_t sizeAfter;
  } cases[] = {
      /* 0 */ {FilePositionInformation, 7, 5, STATUS_INVALID_PARAMETER, kDiskSize},
      /* 1 */ {FilePositionInformation, 8, -7, STATUS_SUCCESS, kDiskSize},
      /* 2 */ {FileDispositionInformation, 1, 1, STATUS_SUCCESS, kDiskSize},
      /* 3 */ {FileBasicInformation, 40, 0, STATUS_SUCCESS, kDiskSize},
      /* 4 */ {FileValidDataLengthInformation, 8, 0, STATUS_SUCCESS, kDiskSize},
      /* 5 */ {FileRenameInformation, 24, 0, STATUS_NOT_IMPLEMENTED, kDiskSize},
      /* 6 */ {FileEndOfFileInformation, 7, kDiskSize + 1, STATUS_BUFFER_TOO_SMALL, kDiskSize},
      /* 7 */ {FileEndOfFileInformation, 8, kDiskSize, STATUS_SUCCESS, kDiskSize},
      /* 8 */ {FileEndOfFileInformation, 8, kDiskSize + 1, STATUS_SUCCESS, 4 << 20},
      /* 9 */ {FileAllocationInformation, 8, 6 << 20, STATUS_SUCCESS, 6 << 20},
      /* 10 */ {FileEndOfFileInformation, 8, (6 << 20) - 1, STATUS_INVALID_PARAMETER, 6 << 20},
      // Beyond the format's 2040 GiB.
      /* 11 */ {FileEndOfFileInformation, 8, (2040ll << 30) + 1, STATUS_INVALID_PARAMETER, 6 << 20},
  };
  // The refusals and the growth to the current size write nothing.
  const std::set<size_t> writing = {8, 9};
  host::DeviceFile file = OpenImageOrFail(image_, OverlappedOpen());
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    host::ResetFileCallCounts();
    IO_STATUS_BLOCK status = Set(file, cases[i].infoClass, cases[i].value, cases[i].length);
    EXPECT_EQ(status.Status, cases[i].status) << host::StatusName(status.Status);
    EXPECT_EQ(host::FileCallCount(host::FileCall::Write) == 0, writing.count(i) == 0);
    Bytes standard(24);
    ASSERT_EQ(Query(file, FileStandardInformation, &standard).Status, STATUS_SUCCESS);
    EXPECT_TRUE(standard == Words({cases[i].sizeAfter, cases[i].sizeAfter, 0}));
  }
  EXPECT_EQ(file.FileObject()->CurrentByteOffset.QuadPart, -7);
  file.Close();
  EXPECT_GT(FileSize(image_), 0u) << "the disposition deleted the image";

  // A handle without write access reads the size and cannot change it.
  file = OpenImageOrFail(image_, SynchronousOpen(kReadOnlyAccess));
  EXPECT_EQ(Set(file, FileEndOfFileInformation, 8 << 20).Status, STATUS_ACCESS_DENIED);
  Bytes standard(24);
  ASSERT_EQ(Query(file, FileStandardInformation, &standard).Status, STATUS_SUCCESS);
  EXPECT_TRUE(standard == Words({6 << 20, 6 << 20, 0}));
}

// Position and alignment need no admission: they proceed while a write is
// held inside the file system; other queries and size changes meet the gate.
TEST_F(DriverInformation, PositionDuringAWriteInProgress) {
  host::DeviceFile file = OpenImageOrFail(image_, OverlappedOpen());
  Bytes data(4096, 0x5A);
  FileCallLatch latch(host::FileCall::Write, "disk.vhd", 1);
  std::thread writer([&] { EXPECT_EQ(file.WriteAt(data.data(), 4096, 0).Status, STATUS_SUCCESS); });
  latch.WaitUntilHeld(1);
  EXPECT_EQ(Set(file, FilePositionInformation, 100).Status, STATUS_SUCCESS);
  Bytes position(8), alignment(4), all(104);
  EXPECT_EQ(Query(file, FilePositionInformation, &position).Status, STATUS_SUCCESS);
  EXPECT_TRUE(position == Words({100}));
  EXPECT_EQ(Query(file, FileAlignmentInformation, &alignment).Status, STATUS_SUCCESS);
  EXPECT_EQ(Query(file, FileAllInformation, &all).Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(Set(file, FileEndOfFileInformation, 8 << 20).Status, STATUS_DEVICE_BUSY);
  latch.Release();
  writer.join();
  EXPECT_EQ(Query(file, FilePositionInformation, &position).Status, STATUS_SUCCESS);
  EXPECT_TRUE(position == Words({100 + 4096}));
}

}  // namespace
}  // namespace dorvane::test
