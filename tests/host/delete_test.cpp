// Deleting files as NTFS does: the delete disposition and FILE_DELETE_ON_CLOSE
// mark a file delete-pending; later opens fail with STATUS_DELETE_PENDING and
// the file goes when the last handle of the file closes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "host/host_kernel.h"
#include "host_files.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class HostDelete : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    WriteFileBytes(File("f"), Repeat(1, 16));
  }
  bool Exists(const std::string& name) { return access(File(name).c_str(), F_OK) == 0; }
};

TEST_F(HostDelete, DispositionDeletesAtTheLastCloseOfTheFile) {
  OpenResult deleter = CreateHost(File("f"), GENERIC_READ | DELETE, kShareAll, FILE_OPEN);
  OpenResult other = CreateHost(File("f"), GENERIC_READ, kShareAll, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, deleter.status);
  ASSERT_EQ(STATUS_SUCCESS, other.status);
  ASSERT_EQ(STATUS_SUCCESS, SetDisposition(deleter.handle, true));
  EXPECT_TRUE(StandardInfo(other.handle).DeletePending);
  EXPECT_EQ(STATUS_DELETE_PENDING, CreateHost(File("f"), GENERIC_READ, kShareAll, FILE_OPEN).status);
  ZwClose(deleter.handle);
  EXPECT_TRUE(Exists("f")) << "another handle is still open";
  ZwClose(other.handle);
  EXPECT_FALSE(Exists("f"));
}

TEST_F(HostDelete, DispositionNeedsDeleteAccessAndCanBeCleared) {
  OpenResult noDelete = CreateHost(File("f"), GENERIC_READ | GENERIC_WRITE, kShareAll, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, noDelete.status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, SetDisposition(noDelete.handle, true));
  OpenResult deleter = CreateHost(File("f"), DELETE, kShareAll, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, deleter.status);
  ASSERT_EQ(STATUS_SUCCESS, SetDisposition(deleter.handle, true));
  ASSERT_EQ(STATUS_SUCCESS, SetDisposition(deleter.handle, false));
  ZwClose(deleter.handle);
  ZwClose(noDelete.handle);
  EXPECT_TRUE(Exists("f"));
}

TEST_F(HostDelete, DeleteOnCloseOptionMarksTheFileAtItsHandlesClose) {
  OpenResult doc = CreateHost(File("f"), GENERIC_READ | DELETE, kShareAll, FILE_OPEN,
                              FILE_DELETE_ON_CLOSE);
  ASSERT_EQ(STATUS_SUCCESS, doc.status);
  // Not pending yet: that happens at the cleanup of the delete-on-close handle.
  OpenResult other = CreateHost(File("f"), GENERIC_READ, kShareAll, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, other.status);
  EXPECT_FALSE(StandardInfo(other.handle).DeletePending);
  ZwClose(doc.handle);
  EXPECT_TRUE(StandardInfo(other.handle).DeletePending);
  EXPECT_EQ(STATUS_DELETE_PENDING, CreateHost(File("f"), GENERIC_READ, kShareAll, FILE_OPEN).status);
  ZwClose(other.handle);
  EXPECT_FALSE(Exists("f"));
}

TEST_F(HostDelete, DeleteOnCloseWithoutDeleteAccessIsAnInvalidParameter) {
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            CreateHost(File("f"), GENERIC_READ, kShareAll, FILE_OPEN, FILE_DELETE_ON_CLOSE).status);
  EXPECT_TRUE(Exists("f"));
}

TEST_F(HostDelete, NewFileWithDeleteOnCloseIsGoneAfterClose) {
  OpenResult doc = CreateHost(File("temp"), GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                              FILE_DELETE_ON_CLOSE);
  ASSERT_EQ(STATUS_SUCCESS, doc.status);
  EXPECT_TRUE(Exists("temp"));
  ZwClose(doc.handle);
  EXPECT_FALSE(Exists("temp"));
}

TEST_F(HostDelete, ANonEmptyDirectoryCannotBeMarked) {
  ASSERT_EQ(0, mkdir(File("d").c_str(), 0777));
  WriteFileBytes(File("d/x"), Repeat(1, 1));
  OpenResult dir = CreateHost(File("d"), DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                              FILE_DIRECTORY_FILE);
  ASSERT_EQ(STATUS_SUCCESS, dir.status);
  EXPECT_EQ(STATUS_DIRECTORY_NOT_EMPTY, SetDisposition(dir.handle, true));
  ASSERT_EQ(0, unlink(File("d/x").c_str()));
  EXPECT_EQ(STATUS_SUCCESS, SetDisposition(dir.handle, true));
  ZwClose(dir.handle);
  EXPECT_FALSE(Exists("d"));
}

TEST_F(HostDelete, AReplacedNameIsNotDeleted) {
  OpenResult deleter = CreateHost(File("f"), DELETE, kShareAll, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, deleter.status);
  ASSERT_EQ(STATUS_SUCCESS, SetDisposition(deleter.handle, true));
  // Someone outside the process replaces the file under the same name.
  ASSERT_EQ(0, unlink(File("f").c_str()));
  WriteFileBytes(File("f"), Repeat(2, 2));
  ZwClose(deleter.handle);
  EXPECT_EQ(Repeat(2, 2), ReadFileBytes(File("f")));
}

}  // namespace
}  // namespace dorvane::test
