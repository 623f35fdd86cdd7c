// Query and set information on a handle: the answers of a file whose
// contents are the virtual disk, the classes passed to the image file, the
// requests that proceed while a write is in progress, and growth through the
// end of file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr int64_t kDiskSize = 3 << 20;

class DriverInformation : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    image_ = File("disk.vhd");
    MakeDynamicImage(image_, kDiskSize);
  }

  static IO_STATUS_BLOCK SetSize(const host::DeviceFile &file, int64_t size,
                                 FILE_INFORMATION_CLASS infoClass = FileEndOfFileInformation) {
    return file.SetInformation(&size, sizeof(size), infoClass);
  }
  static int64_t QuerySize(const host::DeviceFile &file) {
    FILE_STANDARD_INFORMATION standard{};
    IO_STATUS_BLOCK status =
        file.QueryInformation(&standard, sizeof(standard), FileStandardInformation);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(standard.AllocationSize.QuadPart, standard.EndOfFile.QuadPart);
    return standard.EndOfFile.QuadPart;
  }

  std::string image_;
};

// Each class with a buffer of exactly the length it needs, then one byte
// less. Classes passed to the image file are refused there, as its query
// refuses them.
TEST_F(DriverInformation, EveryQueryClassWithItsExactAndOneByteShortBuffer) {
  host::DeviceFile file = OpenImageOrFail(image_, OverlappedOpen());
  std::u16string name = NtName(image_);
  int64_t position = 12345;
  ASSERT_EQ(file.SetInformation(&position, 8, FilePositionInformation).Status, STATUS_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat(image_.c_str(), &st), 0);
  int64_t writeTime = int64_t(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100 +
                      116444736000000000ll;

  struct Case {
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS shortStatus;
    std::vector<int64_t> words;  // the answer as 64-bit words, name bytes aside
  } cases[] = {
      /* 0 */ {FilePositionInformation, 8, STATUS_BUFFER_TOO_SMALL, {12345}},
      /* 1 */ {FileAlignmentInformation, 4, STATUS_BUFFER_TOO_SMALL, {}},
      /* 2 */ {FileStandardInformation, 24, STATUS_BUFFER_TOO_SMALL, {kDiskSize, kDiskSize, 0}},
      /* 3 */ {FileNetworkOpenInformation, 56, STATUS_BUFFER_TOO_SMALL,
               {0, 0, 0, 0, kDiskSize, kDiskSize, 0}},
      /* 4 */ {FileNameInformation, ULONG(4 + 2 * name.size()), STATUS_BUFFER_TOO_SMALL, {}},
      /* 5 */ {FileBasicInformation, 40, STATUS_INFO_LENGTH_MISMATCH, {}},
      /* 6 */ {FileInternalInformation, 8, STATUS_INFO_LENGTH_MISMATCH, {int64_t(st.st_ino)}},
      /* 7 */ {FileEaInformation, 4, STATUS_INFO_LENGTH_MISMATCH, {}},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const Case &c = cases[i];
    std::vector<uint8_t> buffer(c.length + 8, 0xEE);
    IO_STATUS_BLOCK status = file.QueryInformation(buffer.data(), c.length, c.infoClass);
    ASSERT_EQ(status.Status, STATUS_SUCCESS) << host::StatusName(status.Status);
    EXPECT_EQ(status.Information, c.length);
    EXPECT_EQ(buffer[c.length], 0xEE) << "written past the answer";
    for (size_t w = 0; w < c.words.size(); ++w) {
      int64_t word;
      memcpy(&word, buffer.data() + 8 * w, 8);
      EXPECT_EQ(word, c.words[w]) << "word " << w;
    }
    if (c.infoClass == FileAlignmentInformation || c.infoClass == FileEaInformation) {
      EXPECT_EQ(std::vector<uint8_t>(4, 0), std::vector<uint8_t>(buffer.begin(), buffer.begin() + 4));
    }
    if (c.infoClass == FileNameInformation) {
      EXPECT_EQ(uint32_t(name.size() * 2), *reinterpret_cast<uint32_t *>(buffer.data()));
      EXPECT_EQ(0, memcmp(buffer.data() + 4, name.data(), name.size() * 2));
    }
    if (c.infoClass == FileBasicInformation) {
      FILE_BASIC_INFORMATION basic;
      memcpy(&basic, buffer.data(), sizeof(basic));
      EXPECT_EQ(basic.LastWriteTime.QuadPart, writeTime);
      EXPECT_NE(basic.FileAttributes, 0u);
    }

    status = file.QueryInformation(buffer.data(), c.length - 1, c.infoClass);
    EXPECT_EQ(status.Status, c.shortStatus) << host::StatusName(status.Status);
    EXPECT_EQ(status.Information, 0u);
  }
  std::vector<uint8_t> all(104);
  IO_STATUS_BLOCK status = file.QueryInformation(all.data(), 104, FileAllInformation);
  EXPECT_EQ(status.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(status.Information, 0u);
}

TEST_F(DriverInformation, NameIsThePathAsTheCreateGaveIt) {
  std::u16string given = NtName(image_);
  given.replace(0, 4, u"\\GLOBAL??\\");
  const std::u16string names[] = {NtName(image_), given};
  for (const std::u16string &name : names) {
    host::DeviceFile file;
    ASSERT_EQ(host::DeviceFile::Open(kDeviceName + name, SynchronousOpen(), &file).Status,
              STATUS_SUCCESS);
    std::vector<uint8_t> buffer(4 + 2 * name.size());
    ASSERT_EQ(file.QueryInformation(buffer.data(), ULONG(buffer.size()), FileNameInformation).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(0, memcmp(buffer.data() + 4, name.data(), name.size() * 2));
  }
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
      /* 7 */ {FileEndOfFileInformation, 8, kDiskSize + 1, STATUS_SUCCESS, 4 << 20},
      /* 8 */ {FileAllocationInformation, 8, 6 << 20, STATUS_SUCCESS, 6 << 20},
  };
  host::DeviceFile file = OpenImageOrFail(image_, OverlappedOpen());
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const Case &c = cases[i];
    std::vector<uint8_t> buffer(40, 0);
    memcpy(buffer.data(), &c.value, sizeof(c.value));
    IO_STATUS_BLOCK status = file.SetInformation(buffer.data(), c.length, c.infoClass);
    EXPECT_EQ(status.Status, c.status) << host::StatusName(status.Status);
    EXPECT_EQ(status.Information, 0u);
    EXPECT_EQ(QuerySize(file), c.sizeAfter);
  }
  EXPECT_EQ(file.FileObject()->CurrentByteOffset.QuadPart, -7);
  file.Close();
  EXPECT_EQ(FileSize(image_) > 0, true) << "the disposition deleted the image";
}

// Position requests need no admission: they proceed while a write is held
// inside the file system; every other query meets the busy gate.
TEST_F(DriverInformation, PositionDuringAWriteInProgress) {
  host::DeviceFile file = OpenImageOrFail(image_, OverlappedOpen());
  std::vector<uint8_t> data(4096, 0x5A);
  FileCallLatch latch(host::FileCall::Write, "disk.vhd", 1);
  std::thread writer([&] { EXPECT_EQ(file.WriteAt(data.data(), 4096, 0).Status, STATUS_SUCCESS); });
  latch.WaitUntilHeld(1);

  int64_t position = 100;
  EXPECT_EQ(file.SetInformation(&position, 8, FilePositionInformation).Status, STATUS_SUCCESS);
  position = 0;
  EXPECT_EQ(file.QueryInformation(&position, 8, FilePositionInformation).Status, STATUS_SUCCESS);
  EXPECT_EQ(position, 100);
  uint32_t alignment = 1;
  EXPECT_EQ(file.QueryInformation(&alignment, 4, FileAlignmentInformation).Status, STATUS_SUCCESS);
  std::vector<uint8_t> all(104);
  EXPECT_EQ(file.QueryInformation(all.data(), 104, FileAllInformation).Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(SetSize(file, 8 << 20).Status, STATUS_DEVICE_BUSY);

  latch.Release();
  writer.join();
  EXPECT_EQ(file.QueryInformation(&position, 8, FilePositionInformation).Status, STATUS_SUCCESS);
  EXPECT_EQ(position, 100 + 4096);
}

TEST_F(DriverInformation, ReadOnlyHandleQueriesButDoesNotGrow) {
  host::DeviceFile file = OpenImageOrFail(image_, SynchronousOpen(kReadOnlyAccess));
  EXPECT_EQ(SetSize(file, 8 << 20).Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(SetSize(file, 8 << 20, FileAllocationInformation).Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(QuerySize(file), kDiskSize);
  EXPECT_EQ(host::FileCallCount(host::FileCall::Write), 0u);
}

}  // namespace
}  // namespace dorvane::test
