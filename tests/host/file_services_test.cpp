// File services against NTFS's results: create dispositions and their
// Information values, directory and non-directory opens, reads at and past
// the end of file, access checks on handles, information classes and
// FSCTL_SET_ZERO_DATA.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/host_kernel.h"
#include "host_files.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE;

class HostFileServices : public TempDirTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(handlesAtStart_, host::OpenHandleCount()) << "a test leaked a handle";
    TempDirTest::TearDown();
  }
  size_t handlesAtStart_ = host::OpenHandleCount();
};

TEST_F(HostFileServices, DispositionsGiveNtResultsAndInformation) {
  struct Case {
    ULONG disposition;
    bool exists;
    NTSTATUS status;
    ULONG_PTR information;
    uint64_t sizeAfter;  // of an existing 10-byte file; 0 for a new one
    bool existsAfter;
  } cases[] = {
      {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, 0, true},               // 0
      {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, 0, true},                 // 1
      {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, 10, true},                       // 2
      {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, 0, false},// 3
      {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS, 10, true},       // 4
      {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, 0, true},                    // 5
      {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, 10, true},                    // 6
      {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, 0, true},                   // 7
      {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, 0, true},              // 8
      {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, 0, false},// 9
      {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, 0, true},           // 10
      {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, 0, true},              // 11
      {FILE_MAXIMUM_DISPOSITION + 1, true, STATUS_INVALID_PARAMETER, 0, 10, true},    // 12
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case& c = cases[i];
    std::string path = File("case" + std::to_string(i));
    if (c.exists) WriteFileBytes(path, Repeat(0x11, 10));
    OpenResult open = CreateHost(path, kReadWrite, 0, c.disposition, FILE_NON_DIRECTORY_FILE);
    EXPECT_EQ(c.status, open.status) << "case " << i;
    if (c.status != STATUS_INVALID_PARAMETER) {
      EXPECT_EQ(c.information, open.information) << "case " << i;
    }
    if (NT_SUCCESS(open.status)) {
      EXPECT_EQ(STATUS_SUCCESS, ZwClose(open.handle));
    }
    EXPECT_EQ(c.existsAfter, access(path.c_str(), F_OK) == 0) << "case " << i;
    if (c.existsAfter) {
      EXPECT_EQ(c.sizeAfter, FileSize(path)) << "case " << i;
    }
  }
}

TEST_F(HostFileServices, DirectoryAndNonDirectoryOptions) {
  ASSERT_EQ(0, mkdir(File("dir").c_str(), 0777));
  WriteFileBytes(File("file"), Repeat(1, 4));
  struct {
    std::string name;
    ULONG disposition, options;
    NTSTATUS status;
  } cases[] = {
      {"dir", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY},   // 0
      {"file", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY},           // 1
      {"dir", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_SUCCESS},                    // 2
      {"dir", FILE_OPEN, 0, STATUS_SUCCESS},                                      // 3
      {"file", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE,
       STATUS_INVALID_PARAMETER},                                                 // 4
      {"dir", FILE_OVERWRITE, FILE_DIRECTORY_FILE, STATUS_INVALID_PARAMETER},     // 5
      {"newdir", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_SUCCESS},               // 6
      {"missing/file", FILE_OPEN, 0, STATUS_OBJECT_PATH_NOT_FOUND},               // 7
      {"missing/file", FILE_CREATE, 0, STATUS_OBJECT_PATH_NOT_FOUND},             // 8
      {"file/below", FILE_OPEN, 0, STATUS_OBJECT_PATH_NOT_FOUND},                 // 9
      {"missing", FILE_OPEN, 0, STATUS_OBJECT_NAME_NOT_FOUND},                    // 10
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    OpenResult open = CreateHost(File(cases[i].name), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                 kShareAll, cases[i].disposition, cases[i].options);
    EXPECT_EQ(cases[i].status, open.status) << "case " << i;
    if (NT_SUCCESS(open.status)) {
      EXPECT_TRUE(StandardInfo(open.handle).Directory) << "case " << i;
      ZwClose(open.handle);
    }
  }
  struct stat st;
  EXPECT_EQ(0, stat(File("newdir").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(HostFileServices, ReadsAtAndAcrossTheEndOfFile) {
  Bytes content = PatternBytes(1000, 7);
  WriteFileBytes(File("f"), content);
  OpenResult open = CreateHost(File("f"), GENERIC_READ, FILE_SHARE_READ, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  struct {
    int64_t offset;
    ULONG length;
    NTSTATUS status;
    ULONG_PTR information;
  } cases[] = {
      {0, 1000, STATUS_SUCCESS, 1000},        // 0: whole file
      {900, 512, STATUS_SUCCESS, 100},        // 1: across the end: the bytes up to it
      {1000, 512, STATUS_END_OF_FILE, 0},     // 2: at the end
      {5000, 1, STATUS_END_OF_FILE, 0},       // 3: past the end
      {5000, 0, STATUS_SUCCESS, 0},           // 4: nothing asked, nothing checked
      {-5, 1, STATUS_INVALID_PARAMETER, 0},   // 5: negative offset
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    IoResult read = ReadAt(open.handle, cases[i].offset, cases[i].length);
    EXPECT_EQ(cases[i].status, read.status) << "case " << i;
    EXPECT_EQ(cases[i].information, read.information) << "case " << i;
    if (NT_SUCCESS(read.status) && read.information > 0) {
      EXPECT_EQ(Bytes(content.begin() + cases[i].offset,
                      content.begin() + cases[i].offset + read.information),
                read.data)
          << "case " << i;
    }
  }
  ZwClose(open.handle);
}

TEST_F(HostFileServices, WritePastTheEndExtendsTheFile) {
  OpenResult open = CreateHost(File("f"), kReadWrite, 0, FILE_CREATE);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  IoResult write = WriteAt(open.handle, 4096, Repeat(0x5A, 100));
  EXPECT_EQ(STATUS_SUCCESS, write.status);
  EXPECT_EQ(100u, write.information);
  EXPECT_EQ(4196, StandardInfo(open.handle).EndOfFile.QuadPart);
  IoResult read = ReadAt(open.handle, 4000, 196);
  EXPECT_EQ(Bytes(96, 0), Bytes(read.data.begin(), read.data.begin() + 96));
  EXPECT_EQ(Repeat(0x5A, 100), Bytes(read.data.begin() + 96, read.data.end()));
  ZwClose(open.handle);
}

TEST_F(HostFileServices, HandlesWithoutTheRightAreRefused) {
  // NT's I/O manager makes these checks for user-mode requestors; the host
  // kernel makes them for kernel-mode ones too (see file_services.cpp).
  WriteFileBytes(File("f"), Repeat(1, 512));
  OpenResult reader = CreateHost(File("f"), GENERIC_READ, kShareAll, FILE_OPEN);
  OpenResult writer = CreateHost(File("f"), FILE_WRITE_DATA, kShareAll, FILE_OPEN);
  OpenResult attributes = CreateHost(File("f"), FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, reader.status);
  ASSERT_EQ(STATUS_SUCCESS, writer.status);
  ASSERT_EQ(STATUS_SUCCESS, attributes.status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, WriteAt(reader.handle, 0, Repeat(2, 4)).status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, ReadAt(writer.handle, 0, 4).status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, ReadAt(attributes.handle, 0, 4).status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, SetEndOfFile(reader.handle, 0));
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(writer.handle, 0, Repeat(2, 4)).status);
  EXPECT_EQ(Repeat(2, 4), ReadAt(reader.handle, 0, 4).data);
  for (HANDLE h : {reader.handle, writer.handle, attributes.handle}) ZwClose(h);
}

TEST_F(HostFileServices, ReadOnlyAttributeRefusesWriteOpens) {
  WriteFileBytes(File("ro"), Repeat(1, 8));
  ASSERT_EQ(0, chmod(File("ro").c_str(), 0444));
  EXPECT_EQ(STATUS_ACCESS_DENIED, CreateHost(File("ro"), kReadWrite, 0, FILE_OPEN).status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, CreateHost(File("ro"), GENERIC_READ, 0, FILE_OVERWRITE).status);
  OpenResult open = CreateHost(File("ro"), GENERIC_READ, 0, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  FILE_BASIC_INFORMATION basic;
  IO_STATUS_BLOCK iosb;
  ASSERT_EQ(STATUS_SUCCESS,
            ZwQueryInformationFile(open.handle, &iosb, &basic, sizeof(basic), FileBasicInformation));
  EXPECT_EQ((ULONG)(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY), basic.FileAttributes);
  ZwClose(open.handle);
}

TEST_F(HostFileServices, SynchronousHandlesUseAndAdvanceTheFilePosition) {
  OpenResult open = CreateHost(File("f"), kReadWrite | SYNCHRONIZE, 0, FILE_CREATE,
                               FILE_SYNCHRONOUS_IO_NONALERT);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(open.handle, 0, Repeat(1, 10), true).status);
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(open.handle, 0, Repeat(2, 5), true).status);
  FILE_POSITION_INFORMATION position;
  IO_STATUS_BLOCK iosb;
  ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationFile(open.handle, &iosb, &position,
                                                   sizeof(position), FilePositionInformation));
  EXPECT_EQ(15, position.CurrentByteOffset.QuadPart);
  position.CurrentByteOffset.QuadPart = 8;
  ASSERT_EQ(STATUS_SUCCESS, ZwSetInformationFile(open.handle, &iosb, &position,
                                                 sizeof(position), FilePositionInformation));
  IoResult read = ReadAt(open.handle, 0, 4, true);
  EXPECT_EQ((Bytes{1, 1, 2, 2}), read.data);
  // An explicit offset moves the position too.
  ReadAt(open.handle, 2, 3);
  ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationFile(open.handle, &iosb, &position,
                                                   sizeof(position), FilePositionInformation));
  EXPECT_EQ(5, position.CurrentByteOffset.QuadPart);
  ZwClose(open.handle);

  // Without FILE_SYNCHRONOUS_IO_* there is no position to use.
  OpenResult async = CreateHost(File("f"), GENERIC_READ, kShareAll, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, async.status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ReadAt(async.handle, 0, 4, true).status);
  ZwClose(async.handle);
}

TEST_F(HostFileServices, QueryInformationClasses) {
  WriteFileBytes(File("f"), Repeat(3, 5000));
  OpenResult open = CreateHost(File("f"), GENERIC_READ, kShareAll, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  struct stat st;
  ASSERT_EQ(0, stat(File("f").c_str(), &st));
  IO_STATUS_BLOCK iosb;

  FILE_STANDARD_INFORMATION standard;
  ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationFile(open.handle, &iosb, &standard,
                                                   sizeof(standard), FileStandardInformation));
  EXPECT_EQ(24u, iosb.Information);
  EXPECT_EQ(5000, standard.EndOfFile.QuadPart);
  EXPECT_EQ((int64_t)st.st_blocks * 512, standard.AllocationSize.QuadPart);
  EXPECT_EQ(1u, standard.NumberOfLinks);
  EXPECT_FALSE(standard.DeletePending);
  EXPECT_FALSE(standard.Directory);

  FILE_INTERNAL_INFORMATION internal;
  ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationFile(open.handle, &iosb, &internal,
                                                   sizeof(internal), FileInternalInformation));
  EXPECT_EQ((int64_t)st.st_ino, internal.IndexNumber.QuadPart);

  FILE_BASIC_INFORMATION basic;
  ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationFile(open.handle, &iosb, &basic, sizeof(basic),
                                                   FileBasicInformation));
  // 100 ns units since 1601: the Unix epoch is 116444736000000000.
  EXPECT_EQ(116444736000000000LL + st.st_mtim.tv_sec * 10000000LL + st.st_mtim.tv_nsec / 100,
            basic.LastWriteTime.QuadPart);
  EXPECT_EQ((ULONG)FILE_ATTRIBUTE_ARCHIVE, basic.FileAttributes);

  FILE_NETWORK_OPEN_INFORMATION network;
  ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationFile(open.handle, &iosb, &network,
                                                   sizeof(network), FileNetworkOpenInformation));
  EXPECT_EQ(5000, network.EndOfFile.QuadPart);
  EXPECT_EQ(basic.LastWriteTime.QuadPart, network.LastWriteTime.QuadPart);

  FILE_EA_INFORMATION ea;
  ea.EaSize = 99;
  ASSERT_EQ(STATUS_SUCCESS,
            ZwQueryInformationFile(open.handle, &iosb, &ea, sizeof(ea), FileEaInformation));
  EXPECT_EQ(0u, ea.EaSize);

  struct {
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS status;
  } refusals[] = {
      {FileStandardInformation, 23, STATUS_INFO_LENGTH_MISMATCH},      // 0: fixed size
      {FileBasicInformation, 36, STATUS_INFO_LENGTH_MISMATCH},         // 1
      {FileEndOfFileInformation, 64, STATUS_INVALID_INFO_CLASS},       // 2: set-only
      {FileDirectoryInformation, 64, STATUS_INVALID_INFO_CLASS},       // 3: directory listing
      {(FILE_INFORMATION_CLASS)0, 64, STATUS_INVALID_INFO_CLASS},      // 4: out of range
      {FileMaximumInformation, 64, STATUS_INVALID_INFO_CLASS},         // 5
  };
  for (size_t i = 0; i < sizeof(refusals) / sizeof(refusals[0]); ++i) {
    uint8_t buffer[64];
    EXPECT_EQ(refusals[i].status, ZwQueryInformationFile(open.handle, &iosb, buffer,
                                                         refusals[i].length,
                                                         refusals[i].infoClass))
        << "case " << i;
  }
  ZwClose(open.handle);
}

TEST_F(HostFileServices, EndOfFileAndAllocationInformation) {
  WriteFileBytes(File("f"), Repeat(9, 3000));
  OpenResult open = CreateHost(File("f"), kReadWrite, 0, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  EXPECT_EQ(STATUS_SUCCESS, SetEndOfFile(open.handle, 8192));
  EXPECT_EQ(8192u, FileSize(File("f")));
  EXPECT_EQ(STATUS_SUCCESS, SetEndOfFile(open.handle, 100));
  EXPECT_EQ(100u, FileSize(File("f")));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SetEndOfFile(open.handle, -1));

  IO_STATUS_BLOCK iosb;
  FILE_ALLOCATION_INFORMATION allocation;
  // A larger allocation leaves the end of file; a smaller one cuts the file.
  allocation.AllocationSize.QuadPart = 1 << 20;
  EXPECT_EQ(STATUS_SUCCESS, ZwSetInformationFile(open.handle, &iosb, &allocation,
                                                 sizeof(allocation), FileAllocationInformation));
  EXPECT_EQ(100u, FileSize(File("f")));
  allocation.AllocationSize.QuadPart = 10;
  EXPECT_EQ(STATUS_SUCCESS, ZwSetInformationFile(open.handle, &iosb, &allocation,
                                                 sizeof(allocation), FileAllocationInformation));
  EXPECT_EQ(10u, FileSize(File("f")));
  FILE_END_OF_FILE_INFORMATION end;
  EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH,
            ZwSetInformationFile(open.handle, &iosb, &end, 7, FileEndOfFileInformation));
  EXPECT_EQ(STATUS_INVALID_INFO_CLASS, ZwSetInformationFile(open.handle, &iosb, &end,
                                                            sizeof(end), FileStandardInformation));
  ZwClose(open.handle);
}

NTSTATUS ZeroData(HANDLE handle, int64_t first, int64_t beyond, ULONG length = 16,
                  ULONG code = FSCTL_SET_ZERO_DATA) {
  FILE_ZERO_DATA_INFORMATION range;
  range.FileOffset.QuadPart = first;
  range.BeyondFinalZero.QuadPart = beyond;
  IO_STATUS_BLOCK iosb;
  return ZwFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, &range, length, nullptr,
                         0);
}

TEST_F(HostFileServices, SetZeroDataZeroesTheRangeWithinTheFile) {
  Bytes content = PatternBytes(256 * 1024, 3);
  WriteFileBytes(File("f"), content);
  OpenResult open = CreateHost(File("f"), kReadWrite, 0, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  ASSERT_EQ(STATUS_SUCCESS, ZeroData(open.handle, 1000, 200000));
  // A range past the end of file zeroes up to it and does not extend it.
  ASSERT_EQ(STATUS_SUCCESS, ZeroData(open.handle, 250000, 1 << 30));
  Bytes expected = content;
  std::fill(expected.begin() + 1000, expected.begin() + 200000, 0);
  std::fill(expected.begin() + 250000, expected.end(), 0);
  EXPECT_EQ(expected, ReadFileBytes(File("f")));

  EXPECT_EQ(STATUS_INVALID_PARAMETER, ZeroData(open.handle, 0, 10, 15));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ZeroData(open.handle, 0, 10, 24));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ZeroData(open.handle, 10, 5));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, ZeroData(open.handle, 0, 10, 16, FSCTL_FILE_LEVEL_TRIM));
  ZwClose(open.handle);

  OpenResult reader = CreateHost(File("f"), GENERIC_READ, kShareAll, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, reader.status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, ZeroData(reader.handle, 0, 10));
  ZwClose(reader.handle);
}

TEST_F(HostFileServices, ClosedAndBogusHandlesAreInvalid) {
  OpenResult open = CreateHost(File("f"), kReadWrite, 0, FILE_CREATE);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  EXPECT_EQ(1u + handlesAtStart_, host::OpenHandleCount());
  EXPECT_EQ(STATUS_SUCCESS, ZwClose(open.handle));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(open.handle));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ReadAt(open.handle, 0, 1).status);
  EXPECT_EQ(STATUS_INVALID_HANDLE, WriteAt((HANDLE)0x1234, 0, Repeat(1, 1)).status);
  EXPECT_EQ(STATUS_INVALID_HANDLE, SetEndOfFile(open.handle, 0));
}

TEST_F(HostFileServices, CreateHistoryRecordsWhatTheFileSystemSaw) {
  host::ClearCreateHistory();
  CreateHost(File("missing"), GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, FILE_RANDOM_ACCESS,
             OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE);
  auto history = host::CreateHistory();
  ASSERT_EQ(1u, history.size());
  EXPECT_EQ(File("missing"), history[0].hostPath);
  EXPECT_EQ(host::NtPathForHostPath(File("missing")), history[0].ntName);
  EXPECT_EQ((ACCESS_MASK)GENERIC_READ, history[0].desiredAccess);
  EXPECT_EQ((ULONG)FILE_SHARE_READ, history[0].shareAccess);
  EXPECT_EQ((ULONG)FILE_OPEN, history[0].disposition);
  EXPECT_EQ((ULONG)FILE_RANDOM_ACCESS, history[0].options);
  EXPECT_EQ((ULONG)(OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE), history[0].objectAttributes);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, history[0].status);
}

TEST_F(HostFileServices, StatusNames) {
  EXPECT_STREQ("STATUS_FILE_CORRUPT_ERROR", host::StatusName(STATUS_FILE_CORRUPT_ERROR));
  EXPECT_STREQ("STATUS_BAD_FILE_TYPE", host::StatusName((NTSTATUS)0xC0000903));
  EXPECT_STREQ("STATUS_DEVICE_BUSY", host::StatusName(STATUS_DEVICE_BUSY));
  EXPECT_STREQ("STATUS_UNKNOWN", host::StatusName((NTSTATUS)0xC0DE0001));
}

}  // namespace
}  // namespace dorvane::test
