// ZwCreateFile, ZwReadFile/ZwWriteFile, information classes, volume
// attributes and FSCTL_SET_ZERO_DATA against what NTFS gives: create
// dispositions and their Information values, directory and non-directory
// opens, reads at and across the end of file, the access each request needs
// of a handle, share access between opens and the deletion of files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host/testing/host_testing.h"
#include "host_files.h"

namespace dorvane::test {
namespace {

using HostFileServices = HostFileTest;

constexpr ULONG_PTR kAny = ~ULONG_PTR(0);  // Information left unchecked
constexpr int64_t kAbsent = -1;            // no file of that name afterwards
constexpr int64_t kUnchecked = -2;

int64_t SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : kAbsent;
}

// Before each case "file" holds 10 bytes; "dir" is a directory, "ro" a
// read-only file of 8 bytes. Names starting with "new" get the case's index.
TEST_F(HostFileServices, CreateDispositionsOptionsAndAccess) {
  ASSERT_EQ(0, mkdir(File("dir").c_str(), 0777));
  WriteFileBytes(File("ro"), Bytes(8, 1));
  ASSERT_EQ(0, chmod(File("ro").c_str(), 0444));
  const ULONG kDir = FILE_DIRECTORY_FILE, kNonDir = FILE_NON_DIRECTORY_FILE;
  const ACCESS_MASK kRW = kReadWrite, kR = GENERIC_READ;
  struct {
    std::string name;
    ACCESS_MASK access;
    ULONG disposition, options;
    NTSTATUS status;
    ULONG_PTR information;
    int64_t sizeAfter;
  } cases[] = {
      {"file", kRW, FILE_SUPERSEDE, 0, STATUS_SUCCESS, FILE_SUPERSEDED, 0},                    // 0
      {"new", kRW, FILE_SUPERSEDE, 0, STATUS_SUCCESS, FILE_CREATED, 0},                        // 1
      {"file", kRW, FILE_OPEN, 0, STATUS_SUCCESS, FILE_OPENED, 10},                            // 2
      {"new", kRW, FILE_OPEN, 0, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, kAbsent},  // 3
      {"file", kRW, FILE_CREATE, 0, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS, 10},            // 4
      {"new", kRW, FILE_CREATE, 0, STATUS_SUCCESS, FILE_CREATED, 0},                           // 5
      {"file", kRW, FILE_OPEN_IF, 0, STATUS_SUCCESS, FILE_OPENED, 10},                         // 6
      {"new", kRW, FILE_OPEN_IF, 0, STATUS_SUCCESS, FILE_CREATED, 0},                          // 7
      {"file", kRW, FILE_OVERWRITE, 0, STATUS_SUCCESS, FILE_OVERWRITTEN, 0},                   // 8
      {"new", kRW, FILE_OVERWRITE, 0, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST,
       kAbsent},                                                                            // 9
      {"file", kRW, FILE_OVERWRITE_IF, 0, STATUS_SUCCESS, FILE_OVERWRITTEN, 0},             // 10
      {"new", kRW, FILE_OVERWRITE_IF, 0, STATUS_SUCCESS, FILE_CREATED, 0},                  // 11
      {"dir", kRW, FILE_OPEN, kNonDir, STATUS_FILE_IS_A_DIRECTORY, kAny, kUnchecked},       // 12
      {"subdir", kRW, FILE_CREATE, kDir, STATUS_SUCCESS, FILE_CREATED, kUnchecked},         // 13
      {"missing/file", kRW, FILE_OPEN_IF, 0, STATUS_OBJECT_PATH_NOT_FOUND, kAny, kAbsent},  // 14
      {"file/below", kRW, FILE_OPEN, 0, STATUS_OBJECT_PATH_NOT_FOUND, kAny, kUnchecked},    // 15
      {"ro", kRW, FILE_OPEN, 0, STATUS_ACCESS_DENIED, kAny, 8},                             // 16
      {"ro", kR, FILE_OVERWRITE, 0, STATUS_ACCESS_DENIED, kAny, 8},                         // 17
      {"file", kR, FILE_OPEN, FILE_DELETE_ON_CLOSE, STATUS_INVALID_PARAMETER, kAny, 10},    // 18
      // 19: no opens by file ID (NT difference "ntfs-features").
      {"file", kRW, FILE_OPEN, FILE_OPEN_BY_FILE_ID, STATUS_NOT_IMPLEMENTED, kAny, 10},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    WriteFileBytes(File("file"), Bytes(10, 1));
    std::string name = c.name.rfind("new", 0) == 0 ? c.name + std::to_string(i) : c.name;
    Opened open = Open(name, c.access, 0, c.disposition, c.options);
    EXPECT_EQ(c.status, open.status);
    EXPECT_EQ(c.information, c.information == kAny ? kAny : open.information);
    open.Close();
    EXPECT_EQ(c.sizeAfter, c.sizeAfter == kUnchecked ? kUnchecked : SizeOf(File(name)));
  }
  EXPECT_TRUE(Exists("subdir/.")) << "a directory";
}

TEST_F(HostFileServices, ReadsAtAndAcrossTheEndOfFile) {
  WriteFileBytes(File("f"), PatternBytes(1000, 7));
  Opened open = Open("f", GENERIC_READ);
  struct {
    int64_t offset;
    ULONG length;
    NTSTATUS status;
    ULONG_PTR information;
  } cases[] = {
      {0, 1000, STATUS_SUCCESS, 1000},       // 0: the whole file
      {900, 512, STATUS_SUCCESS, 100},       // 1: across the end: the bytes up to it
      {1000, 512, STATUS_END_OF_FILE, 0},    // 2: at the end
      {5000, 1, STATUS_END_OF_FILE, 0},      // 3: past the end
      {5000, 0, STATUS_SUCCESS, 0},          // 4: nothing asked, nothing checked
      {-5, 1, STATUS_INVALID_PARAMETER, 0},  // 5
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    IoResult read = ReadAt(open.handle, c.offset, c.length);
    EXPECT_EQ(c.status, read.status) << "case " << i;
    EXPECT_EQ(c.information, read.information) << "case " << i;
    EXPECT_EQ(PeekFile(File("f"), c.offset, c.information), read.data) << "case " << i;
  }
}

NTSTATUS ZeroData(HANDLE handle, int64_t first, int64_t beyond, ULONG length = 16,
                  ULONG code = FSCTL_SET_ZERO_DATA) {
  int64_t range[2] = {first, beyond};  // FILE_ZERO_DATA_INFORMATION
  IO_STATUS_BLOCK iosb;
  return ZwFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, range, length, nullptr, 0);
}

// The event a read, write or control request is given ends signalled, since
// the host completes every request before returning (NT difference
// "synchronous-io"); what is no event handle fails the request untouched.
TEST_F(HostFileServices, RequestEventsAreCheckedAndSetAtCompletion) {
  Opened file = Open("f", kReadWrite, kShareAll, FILE_OVERWRITE_IF);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  auto request = [&](int kind, HANDLE event) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER where{};
    Bytes data(16, 9);
    int64_t range[2] = {0, 16};  // FILE_ZERO_DATA_INFORMATION
    if (kind == 2) {
      return ZwFsControlFile(file.handle, event, nullptr, nullptr, &iosb, FSCTL_SET_ZERO_DATA,
                             range, sizeof(range), nullptr, 0);
    }
    return (kind == 0 ? ZwReadFile : ZwWriteFile)(file.handle, event, nullptr, nullptr, &iosb,
                                                  data.data(), 16, &where, nullptr);
  };
  const HANDLE kFresh = reinterpret_cast<HANDLE>(1);  // the case's own new event
  const HANDLE kUnknown = reinterpret_cast<HANDLE>(uintptr_t(0xFFFFFFFFA7654320ULL));
  struct {
    HANDLE given;
    NTSTATUS status;
  } cases[] = {
      {nullptr, STATUS_SUCCESS},                   // 0: no event
      {kFresh, STATUS_SUCCESS},                    // 1
      {kUnknown, STATUS_INVALID_HANDLE},           // 2
      {file.handle, STATUS_OBJECT_TYPE_MISMATCH},  // 3: a file is no event
  };
  LARGE_INTEGER poll{};
  for (int kind = 0; kind < 3; ++kind) {  // read, write, zero data
    for (size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE("request " + std::to_string(kind) + " case " + std::to_string(i));
      WriteFileBytes(File("f"), Bytes(512, 1));
      HANDLE event = nullptr;
      ASSERT_EQ(STATUS_SUCCESS,
                ZwCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE));
      EXPECT_EQ(cases[i].status, request(kind, cases[i].given == kFresh ? event : cases[i].given));
      EXPECT_EQ(cases[i].given == kFresh ? STATUS_SUCCESS : STATUS_TIMEOUT,
                ZwWaitForSingleObject(event, FALSE, &poll));
      bool changed = kind != 0 && NT_SUCCESS(cases[i].status);
      EXPECT_EQ(Bytes(16, changed ? (kind == 1 ? 9 : 0) : 1), PeekFile(File("f"), 0, 16));
      EXPECT_EQ(STATUS_SUCCESS, ZwClose(event));
      EXPECT_EQ(STATUS_INVALID_HANDLE, ZwWaitForSingleObject(event, FALSE, &poll));
    }
  }
}

// NT's I/O manager checks a handle's access for user-mode requestors; the
// host kernel checks it for kernel-mode ones as well (NT difference
// "kernel-access-checks").
TEST_F(HostFileServices, EachRequestNeedsItsAccess) {
  WriteFileBytes(File("f"), Bytes(512, 1));
  Opened reader = Open("f", GENERIC_READ), writer = Open("f", FILE_WRITE_DATA),
         deleter = Open("f", DELETE);
  EXPECT_EQ(STATUS_ACCESS_DENIED, ReadAt(writer.handle, 0, 4).status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, WriteAt(reader.handle, 0, Bytes(4, 2)).status);
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(writer.handle, 0, Bytes(4, 2)).status);
  EXPECT_EQ(STATUS_ACCESS_DENIED,
            SetInformation(reader.handle, FileEndOfFileInformation, int64_t(0)));
  EXPECT_EQ(STATUS_ACCESS_DENIED, ZeroData(reader.handle, 0, 4));
  // The disposition needs DELETE.
  EXPECT_EQ(STATUS_ACCESS_DENIED,
            SetInformation(writer.handle, FileDispositionInformation, BOOLEAN(FALSE)));
  EXPECT_EQ(STATUS_SUCCESS,
            SetInformation(deleter.handle, FileDispositionInformation, BOOLEAN(FALSE)));
  EXPECT_EQ(512u, FileSize(File("f")));
}

// Each class has a fixed size and belongs to queries, sets or both. An
// allocation below the end of file cuts the file there; one above it leaves
// the end of file alone.
TEST_F(HostFileServices, InformationClasses) {
  WriteFileBytes(File("f"), Bytes(5000, 3));
  Opened open = Open("f", kReadWrite);
  struct {
    bool set;
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    int64_t value;  // of a set
    NTSTATUS status;
    uint64_t sizeAfter;
  } cases[] = {
      {false, FileStandardInformation, 23, 0, STATUS_INFO_LENGTH_MISMATCH, 5000},  // 0
      {false, FileEndOfFileInformation, 64, 0, STATUS_INVALID_INFO_CLASS, 5000},   // 1: set only
      {true, FileStandardInformation, 64, 0, STATUS_INVALID_INFO_CLASS, 5000},     // 2: query only
      {true, FileEndOfFileInformation, 8, -1, STATUS_INVALID_PARAMETER, 5000},     // 3
      {true, FileAllocationInformation, 8, 1 << 20, STATUS_SUCCESS, 5000},         // 4
      {true, FileAllocationInformation, 8, 100, STATUS_SUCCESS, 100},              // 5
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    uint8_t buffer[64] = {};
    memcpy(buffer, &c.value, sizeof(c.value));
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = (c.set ? ZwSetInformationFile : ZwQueryInformationFile)(
        open.handle, &iosb, buffer, c.length, c.infoClass);
    EXPECT_EQ(c.status, status) << "case " << i;
    EXPECT_EQ(c.sizeAfter, FileSize(File("f"))) << "case " << i;
  }
}

// The file system of the test's own folder by its own name (NT difference
// "volume-names"), then a stand-in's name against NT's buffer rules: the
// fixed part must fit, and a name that does not fit whole is cut, with
// STATUS_BUFFER_OVERFLOW and what was filled in.
TEST_F(HostFileServices, VolumeAttributesAndTheirBufferRules) {
  WriteFileBytes(File("f"), Bytes(10, 1));
  Opened open = Open("f", GENERIC_READ);
  const ULONG kFixed = offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
  struct {
    const char16_t* standIn;  // empty: the host's own
    FS_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS status;
    std::u16string name;  // empty: any nonempty name
  } cases[] = {
      {u"", FileFsAttributeInformation, 64, STATUS_SUCCESS, u""},                      // 0
      {u"FAT32", FileFsAttributeInformation, 64, STATUS_SUCCESS, u"FAT32"},            // 1
      {u"FAT32", FileFsAttributeInformation, kFixed + 10, STATUS_SUCCESS, u"FAT32"},   // 2
      {u"FAT32", FileFsAttributeInformation, kFixed + 9, STATUS_BUFFER_OVERFLOW,
       u"FAT3"},                                                                       // 3
      {u"FAT32", FileFsAttributeInformation, 16, STATUS_BUFFER_OVERFLOW, u"FA"},       // 4
      {u"FAT32", FileFsAttributeInformation, 15, STATUS_INFO_LENGTH_MISMATCH, u""},    // 5
      {u"", FileFsVolumeInformation, 64, STATUS_INVALID_INFO_CLASS, u""},              // 6
      {u"", FileFsSizeInformation, 64, STATUS_INVALID_INFO_CLASS, u""},                // 7
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    host::ReportFileSystemName(c.standIn);
    alignas(8) uint8_t buffer[64];
    memset(buffer, 0xEE, sizeof(buffer));
    IO_STATUS_BLOCK iosb{};
    iosb.Information = 0xBAD;
    ASSERT_EQ(c.status, ZwQueryVolumeInformationFile(open.handle, &iosb, buffer, c.length,
                                                     c.infoClass));
    if (c.status != STATUS_SUCCESS && c.status != STATUS_BUFFER_OVERFLOW) {
      EXPECT_EQ(0xBADu, iosb.Information) << "a refused query fills in nothing";
      continue;
    }
    auto* info = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
    std::u16string name(info->FileSystemName, info->FileSystemNameLength / sizeof(WCHAR));
    EXPECT_EQ(c.status, iosb.Status);
    EXPECT_EQ(kFixed + info->FileSystemNameLength, iosb.Information);
    EXPECT_LE(iosb.Information, c.length);
    EXPECT_GT(info->MaximumComponentNameLength, 0);
    if (c.name.empty()) {
      EXPECT_FALSE(name.empty());
    } else {
      EXPECT_EQ(c.name, name);
    }
  }
  host::ReportFileSystemName(u"");
  IO_STATUS_BLOCK iosb;
  alignas(8) uint8_t buffer[64];
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwQueryVolumeInformationFile(nullptr, &iosb, buffer,
                                                                sizeof(buffer),
                                                                FileFsAttributeInformation));

  // A drive standing in for FAT, which serves no zero-data requests, is FAT
  // to a volume query too.
  host::MapDrive('F', DirPath());
  host::SetDriveZeroData('F', false);
  NTSTATUS status = ZwQueryVolumeInformationFile(open.handle, &iosb, buffer, sizeof(buffer),
                                                 FileFsAttributeInformation);
  host::SetDriveZeroData('F', true);
  host::MapDrive('F', "");
  ASSERT_EQ(STATUS_SUCCESS, status);
  auto* info = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
  EXPECT_EQ(u"FAT32",
            std::u16string(info->FileSystemName, info->FileSystemNameLength / sizeof(WCHAR)));
}

TEST_F(HostFileServices, SetZeroDataZeroesTheRangeWithinTheFile) {
  Bytes content = PatternBytes(256 * 1024, 3);
  WriteFileBytes(File("f"), content);
  Opened open = Open("f", kReadWrite);
  ASSERT_EQ(STATUS_SUCCESS, ZeroData(open.handle, 1000, 200000));
  // A range past the end of file zeroes up to it and does not extend it.
  ASSERT_EQ(STATUS_SUCCESS, ZeroData(open.handle, 250001, 1 << 30));
  std::fill(content.begin() + 1000, content.begin() + 200000, 0);
  std::fill(content.begin() + 250001, content.end(), 0);
  EXPECT_EQ(content, ReadFileBytes(File("f")));
  // A range must be in order; no other control is served.
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ZeroData(open.handle, 10, 5));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, ZeroData(open.handle, 0, 10, 16, FSCTL_FILE_LEVEL_TRIM));
}

// Share access: a new open fails with STATUS_SHARING_VIOLATION if it wants
// access an existing open does not share, or does not share access an
// existing open has, and before an overwrite touches the file. Deletion: the
// delete disposition and FILE_DELETE_ON_CLOSE make a file delete-pending;
// later opens fail with STATUS_DELETE_PENDING and the file goes at the last
// close of its handles.
constexpr ULONG R = FILE_SHARE_READ, W = FILE_SHARE_WRITE, D = FILE_SHARE_DELETE;

class HostSharing : public HostFileTest {
 protected:
  void SetUp() override {
    HostFileTest::SetUp();
    WriteFileBytes(File("f"), Bytes(16, 1));
  }
  bool Pending(HANDLE handle) {
    FILE_STANDARD_INFORMATION info{};
    IO_STATUS_BLOCK iosb;
    ZwQueryInformationFile(handle, &iosb, &info, sizeof(info), FileStandardInformation);
    return info.DeletePending;
  }
};

TEST_F(HostSharing, SecondOpenAgainstTheFirst) {
  struct {
    ACCESS_MASK firstAccess;
    ULONG firstShare;
    ACCESS_MASK secondAccess;
    ULONG secondShare, secondDisposition;
    NTSTATUS expected;
  } cases[] = {
      {GENERIC_READ, R, GENERIC_WRITE, R | W, FILE_OPEN, STATUS_SHARING_VIOLATION},      // 0
      {GENERIC_READ, R | W, GENERIC_WRITE, R, FILE_OPEN, STATUS_SUCCESS},                // 1
      {GENERIC_READ, R, GENERIC_READ, 0, FILE_OPEN, STATUS_SHARING_VIOLATION},           // 2
      {GENERIC_WRITE, R | W, GENERIC_READ, R, FILE_OPEN, STATUS_SHARING_VIOLATION},      // 3
      {GENERIC_READ | DELETE, R, GENERIC_READ, R, FILE_OPEN, STATUS_SHARING_VIOLATION},  // 4
      {GENERIC_READ | DELETE, R, GENERIC_READ, R | D, FILE_OPEN, STATUS_SUCCESS},        // 5
      // 6: an open without data access takes no part.
      {GENERIC_READ, 0, FILE_READ_ATTRIBUTES, 0, FILE_OPEN, STATUS_SUCCESS},
      // 7: appending is writing.
      {FILE_APPEND_DATA, R | W, GENERIC_READ, R, FILE_OPEN, STATUS_SHARING_VIOLATION},
      {GENERIC_READ, R, GENERIC_WRITE, R | W, FILE_OVERWRITE, STATUS_SHARING_VIOLATION},  // 8
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    Opened first = Open("f", c.firstAccess, c.firstShare);
    ASSERT_EQ(STATUS_SUCCESS, first.status) << "case " << i;
    EXPECT_EQ(c.expected, Open("f", c.secondAccess, c.secondShare, c.secondDisposition).status)
        << "case " << i;
    EXPECT_EQ(16u, FileSize(File("f"))) << "case " << i;
  }
}

// Every open counts, under every name of the file, until its handle closes
// (not its last reference).
TEST_F(HostSharing, EveryOpenOfTheFileCountsUntilItsHandleCloses) {
  ASSERT_EQ(0, link(File("f").c_str(), File("g").c_str()));
  Opened sharing = Open("f", GENERIC_READ, R | W);
  Opened reader = Open("g", GENERIC_READ, R);
  PVOID object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(reader.handle, 0, *IoFileObjectType,
                                                      KernelMode, &object, nullptr));
  EXPECT_EQ(STATUS_SHARING_VIOLATION, Open("f", GENERIC_WRITE, R | W).status);
  reader.Close();
  EXPECT_EQ(STATUS_SUCCESS, Open("f", GENERIC_WRITE, R | W).status);
  ObfDereferenceObject(object);
}

// The disposition marks the file at once, FILE_DELETE_ON_CLOSE when its own
// handle closes (clearing the disposition does not undo it).
TEST_F(HostSharing, DeletePendingFilesGoAtTheLastClose) {
  for (BOOLEAN onClose : {FALSE, TRUE}) {
    WriteFileBytes(File("f"), Bytes(1));
    Opened deleter = Open("f", DELETE, kShareAll, FILE_OPEN, onClose ? FILE_DELETE_ON_CLOSE : 0);
    Opened other = Open("f", GENERIC_READ);
    EXPECT_EQ(STATUS_SUCCESS, SetInformation(deleter.handle, FileDispositionInformation, !onClose));
    EXPECT_EQ(!onClose, Pending(other.handle));
    deleter.Close();
    EXPECT_TRUE(Pending(other.handle));
    EXPECT_EQ(STATUS_DELETE_PENDING, Open("f", GENERIC_READ).status);
    EXPECT_TRUE(Exists("f")) << "another handle is still open";
    other.Close();
    EXPECT_FALSE(Exists("f"));
  }
}

TEST_F(HostSharing, AFileReplacedUnderTheNameIsNotDeleted) {
  Opened deleter = Open("f", DELETE);
  ASSERT_EQ(STATUS_SUCCESS,
            SetInformation(deleter.handle, FileDispositionInformation, BOOLEAN(TRUE)));
  ASSERT_EQ(0, unlink(File("f").c_str()));
  WriteFileBytes(File("f"), Bytes(2, 2));
  deleter.Close();
  EXPECT_EQ(Bytes(2, 2), ReadFileBytes(File("f")));
}

}  // namespace
}  // namespace dorvane::test
