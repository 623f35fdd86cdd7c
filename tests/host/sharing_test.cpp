// Share access between opens of one file, as NT's IoCheckShareAccess: a new
// open fails with STATUS_SHARING_VIOLATION if it wants access an existing
// open does not share, or does not share access an existing open has.
#include <gtest/gtest.h>

#include <unistd.h>

#include "host/host_kernel.h"
#include "host_files.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

constexpr ULONG R = FILE_SHARE_READ;
constexpr ULONG W = FILE_SHARE_WRITE;
constexpr ULONG D = FILE_SHARE_DELETE;

class HostSharing : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    WriteFileBytes(File("f"), Repeat(1, 16));
  }
};

TEST_F(HostSharing, SecondOpenAgainstTheFirst) {
  struct {
    ACCESS_MASK firstAccess;
    ULONG firstShare;
    ACCESS_MASK secondAccess;
    ULONG secondShare;
    NTSTATUS expected;
  } cases[] = {
      {GENERIC_READ, R, GENERIC_READ, R, STATUS_SUCCESS},                               // 0
      {GENERIC_READ, R, GENERIC_READ, R | W, STATUS_SUCCESS},                           // 1
      {GENERIC_READ, R, GENERIC_WRITE, R | W, STATUS_SHARING_VIOLATION},                // 2: first does not share write
      {GENERIC_READ, R | W, GENERIC_WRITE, R, STATUS_SUCCESS},                          // 3: second shares the first's read
      {GENERIC_READ, R | W, GENERIC_WRITE, R | W, STATUS_SUCCESS},                      // 4
      {GENERIC_READ, 0, GENERIC_READ, R, STATUS_SHARING_VIOLATION},                     // 5: first shares nothing
      {GENERIC_READ, R, GENERIC_READ, 0, STATUS_SHARING_VIOLATION},                     // 6: second does not share the first's read
      {GENERIC_WRITE, R | W, GENERIC_READ, R, STATUS_SHARING_VIOLATION},                // 7: second does not share the first's write
      {GENERIC_READ | DELETE, R, GENERIC_READ, R, STATUS_SHARING_VIOLATION},            // 8: first deletes, second does not share delete
      {GENERIC_READ | DELETE, R, GENERIC_READ, R | D, STATUS_SUCCESS},                  // 9
      {GENERIC_READ, R, DELETE, R, STATUS_SHARING_VIOLATION},                           // 10: first does not share delete
      {GENERIC_READ, R | D, DELETE, R, STATUS_SUCCESS},                                 // 11
      {GENERIC_READ, 0, FILE_READ_ATTRIBUTES, 0, STATUS_SUCCESS},                       // 12: attributes only: not checked
      {FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, GENERIC_WRITE, 0, STATUS_SUCCESS},        // 13: ...nor counted
      {FILE_APPEND_DATA, R | W, GENERIC_READ, R, STATUS_SHARING_VIOLATION},             // 14: append is write access
      {FILE_EXECUTE, R, GENERIC_READ, 0, STATUS_SHARING_VIOLATION},                     // 15: execute is read access
      {GENERIC_ALL, R | W | D, GENERIC_ALL, R | W | D, STATUS_SUCCESS},                 // 16
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    OpenResult first = CreateHost(File("f"), cases[i].firstAccess, cases[i].firstShare, FILE_OPEN);
    ASSERT_EQ(STATUS_SUCCESS, first.status) << "case " << i;
    OpenResult second =
        CreateHost(File("f"), cases[i].secondAccess, cases[i].secondShare, FILE_OPEN);
    EXPECT_EQ(cases[i].expected, second.status) << "case " << i;
    if (NT_SUCCESS(second.status)) ZwClose(second.handle);
    ZwClose(first.handle);
  }
}

TEST_F(HostSharing, EveryExistingOpenCounts) {
  OpenResult a = CreateHost(File("f"), GENERIC_READ, R | W, FILE_OPEN);
  OpenResult b = CreateHost(File("f"), GENERIC_READ, R, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, a.status);
  ASSERT_EQ(STATUS_SUCCESS, b.status);
  // a shares write, b does not.
  EXPECT_EQ(STATUS_SHARING_VIOLATION, CreateHost(File("f"), GENERIC_WRITE, R | W, FILE_OPEN).status);
  ZwClose(b.handle);
  OpenResult c = CreateHost(File("f"), GENERIC_WRITE, R | W, FILE_OPEN);
  EXPECT_EQ(STATUS_SUCCESS, c.status);
  ZwClose(c.handle);
  ZwClose(a.handle);
}

TEST_F(HostSharing, ShareAccessAppliesAcrossNamesOfOneFile) {
  ASSERT_EQ(0, link(File("f").c_str(), File("g").c_str()));
  OpenResult first = CreateHost(File("f"), GENERIC_READ, 0, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, first.status);
  EXPECT_EQ(STATUS_SHARING_VIOLATION, CreateHost(File("g"), GENERIC_READ, R, FILE_OPEN).status);
  ZwClose(first.handle);
}

TEST_F(HostSharing, OverwriteIsRefusedBeforeTheFileIsTruncated) {
  OpenResult first = CreateHost(File("f"), GENERIC_READ, R, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, first.status);
  EXPECT_EQ(STATUS_SHARING_VIOLATION,
            CreateHost(File("f"), GENERIC_WRITE, R | W, FILE_OVERWRITE).status);
  EXPECT_EQ(16u, FileSize(File("f")));
  ZwClose(first.handle);
}

TEST_F(HostSharing, ReleasedWhenTheLastHandleClosesNotAtLastDereference) {
  OpenResult first = CreateHost(File("f"), GENERIC_READ, 0, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, first.status);
  PVOID object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(first.handle, 0, *IoFileObjectType,
                                                      KernelMode, &object, nullptr));
  EXPECT_EQ(STATUS_SHARING_VIOLATION, CreateHost(File("f"), GENERIC_READ, R, FILE_OPEN).status);
  ZwClose(first.handle);
  OpenResult second = CreateHost(File("f"), GENERIC_READ, 0, FILE_OPEN);
  EXPECT_EQ(STATUS_SUCCESS, second.status);
  ZwClose(second.handle);
  ObfDereferenceObject(object);
}

}  // namespace
}  // namespace dorvane::test
