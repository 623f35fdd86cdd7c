// File objects and the object manager: what ObReferenceObjectByHandle gives
// and checks, the fields NT fills in a file object, and the lifetime of a
// file object referenced past the close of its handle.
#include <gtest/gtest.h>

#include <dirent.h>

#include "host/host_kernel.h"
#include "host_files.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

size_t OpenFdCount() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

class HostObjects : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    WriteFileBytes(File("f"), Repeat(1, 16));
  }
};

TEST_F(HostObjects, FileObjectCarriesAccessSharingFlagsAndName) {
  OpenResult open = CreateHost(File("f"), GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE,
                               FILE_SHARE_READ, FILE_OPEN,
                               FILE_RANDOM_ACCESS | FILE_NON_DIRECTORY_FILE |
                                   FILE_SYNCHRONOUS_IO_NONALERT);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  PFILE_OBJECT object = nullptr;
  OBJECT_HANDLE_INFORMATION info;
  ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(open.handle, 0xC0100000, *IoFileObjectType,
                                                      KernelMode, (PVOID*)&object, &info));
  EXPECT_EQ(IO_TYPE_FILE, object->Type);
  EXPECT_TRUE(object->ReadAccess);
  EXPECT_TRUE(object->WriteAccess);
  EXPECT_TRUE(object->DeleteAccess);
  EXPECT_TRUE(object->SharedRead);
  EXPECT_FALSE(object->SharedWrite);
  EXPECT_FALSE(object->SharedDelete);
  EXPECT_EQ((ULONG)(FO_SYNCHRONOUS_IO | FO_RANDOM_ACCESS),
            object->Flags & (FO_SYNCHRONOUS_IO | FO_RANDOM_ACCESS | FO_ALERTABLE_IO));
  EXPECT_EQ((ACCESS_MASK)(FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE), info.GrantedAccess);
  // The name below the volume, as NT keeps it.
  std::u16string name(object->FileName.Buffer, object->FileName.Length / sizeof(WCHAR));
  EXPECT_EQ(host::NtPathForHostPath(File("f")).substr(6), name);
  EXPECT_NE(nullptr, IoGetRelatedDeviceObject(object));
  ObfDereferenceObject(object);
  ZwClose(open.handle);
}

TEST_F(HostObjects, OpensWithoutDataAccessDoNotSetSharingFlags) {
  OpenResult open = CreateHost(File("f"), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  PFILE_OBJECT object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(open.handle, 0, *IoFileObjectType,
                                                      KernelMode, (PVOID*)&object, nullptr));
  EXPECT_FALSE(object->ReadAccess);
  EXPECT_FALSE(object->SharedRead);
  ObfDereferenceObject(object);
  ZwClose(open.handle);
}

TEST_F(HostObjects, UserModeReferencesAreCheckedKernelModeOnesAreNot) {
  OpenResult user = CreateHost(File("f"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               FILE_OPEN, 0, 0);
  OpenResult kernel = CreateHost(File("f"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_OPEN, 0, OBJ_KERNEL_HANDLE);
  ASSERT_EQ(STATUS_SUCCESS, user.status);
  ASSERT_EQ(STATUS_SUCCESS, kernel.status);
  struct {
    HANDLE handle;
    ACCESS_MASK access;
    KPROCESSOR_MODE mode;
    NTSTATUS expected;
  } cases[] = {
      {user.handle, GENERIC_READ, UserMode, STATUS_SUCCESS},          // 0
      {user.handle, GENERIC_WRITE, UserMode, STATUS_ACCESS_DENIED},   // 1: not granted
      {user.handle, GENERIC_WRITE, KernelMode, STATUS_SUCCESS},       // 2: kernel mode skips the check
      {kernel.handle, GENERIC_READ, UserMode, STATUS_INVALID_HANDLE}, // 3: user mode cannot use kernel handles
      {kernel.handle, GENERIC_ALL, KernelMode, STATUS_SUCCESS},       // 4
      {(HANDLE)0x999, 0, KernelMode, STATUS_INVALID_HANDLE},          // 5
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    PVOID object = nullptr;
    EXPECT_EQ(cases[i].expected,
              ObReferenceObjectByHandle(cases[i].handle, cases[i].access, *IoFileObjectType,
                                        cases[i].mode, &object, nullptr))
        << "case " << i;
    if (object != nullptr) ObfDereferenceObject(object);
  }
  POBJECT_TYPE otherType = reinterpret_cast<POBJECT_TYPE>(&cases);
  PVOID object = nullptr;
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
            ObReferenceObjectByHandle(kernel.handle, 0, otherType, KernelMode, &object, nullptr));
  ZwClose(user.handle);
  ZwClose(kernel.handle);
}

TEST_F(HostObjects, ReferencedFileObjectOutlivesItsHandle) {
  size_t fdsBefore = OpenFdCount();
  OpenResult open = CreateHost(File("f"), GENERIC_READ, FILE_SHARE_READ, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  EXPECT_EQ(fdsBefore + 1, OpenFdCount());
  PFILE_OBJECT object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(open.handle, 0, *IoFileObjectType,
                                                      KernelMode, (PVOID*)&object, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, ZwClose(open.handle));
  // The handle is gone but the object and its file stay until the last
  // reference.
  EXPECT_EQ(STATUS_INVALID_HANDLE, ReadAt(open.handle, 0, 1).status);
  EXPECT_EQ(fdsBefore + 1, OpenFdCount());
  EXPECT_TRUE(object->Flags & FO_CLEANUP_COMPLETE);
  EXPECT_EQ(0, ObfDereferenceObject(object));
  EXPECT_EQ(fdsBefore, OpenFdCount());
}

TEST_F(HostObjects, DereferenceReturnsTheRemainingCount) {
  OpenResult open = CreateHost(File("f"), GENERIC_READ, FILE_SHARE_READ, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  PVOID object = nullptr;
  ObReferenceObjectByHandle(open.handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
  ObReferenceObjectByHandle(open.handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
  EXPECT_EQ(2, ObfDereferenceObject(object));  // one for the handle, one for the other reference
  EXPECT_EQ(1, ObfDereferenceObject(object));
  ZwClose(open.handle);
}

}  // namespace
}  // namespace dorvane::test
