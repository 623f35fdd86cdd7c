// What the host file system under a file is, as a volume query names it: the
// file system's own name and the attributes it honestly has, from fstatfs.
// Linux file systems are reported under their own names (ext4, xfs, btrfs,
// tmpfs...), not as NTFS; FAT and exFAT volumes under the names Windows
// gives them, since callers may judge a volume by them.
#include "host/files/file_services_internal.h"

#include <sys/statfs.h>
#include <sys/statvfs.h>

namespace host {

namespace {

// The attributes most Linux file systems share: case-sensitive names kept as
// given, POSIX permissions, holes, hard links and extended attributes.
constexpr ULONG kPosixAttributes = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                                   FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS |
                                   FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_HARD_LINKS |
                                   FILE_SUPPORTS_EXTENDED_ATTRIBUTES;
// FAT and exFAT keep the case of long names but do not search by it, and
// have no permissions, holes or links.
constexpr ULONG kFatAttributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;

struct FileSystemRow {
  int64_t magic;  // statfs f_type
  const char16_t* name;
  ULONG attributes;
};

// The f_type values of <linux/magic.h>; ext2, ext3 and ext4 share one, and
// the ext4 driver mounts all three. vfat and msdos share one too.
constexpr int64_t kFatMagic = 0x4D44;
constexpr FileSystemRow kFileSystems[] = {
    {0xEF53, u"ext4", kPosixAttributes},
    {0x58465342, u"xfs", kPosixAttributes},
    {0x9123683E, u"btrfs", kPosixAttributes | FILE_SUPPORTS_BLOCK_REFCOUNTING},
    {0x01021994, u"tmpfs", kPosixAttributes},
    {kFatMagic, u"FAT32", kFatAttributes},
    {0x2011BAB0, u"exFAT", kFatAttributes},
    {0x5346544E, u"NTFS",
     FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK | FILE_SUPPORTS_SPARSE_FILES |
         FILE_SUPPORTS_HARD_LINKS},
    {0x65735546, u"fuse", FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES},
    {0x794C7630, u"overlay", kPosixAttributes},
    {0x6969, u"nfs", FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES},
};

// A file system not in the table: named for what it is known to be, a
// POSIX file system, and given only the attributes every one has.
constexpr FileSystemRow kOtherFileSystem = {0, u"posix",
                                            FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES};

const FileSystemRow& RowOf(int64_t magic) {
  for (const FileSystemRow& row : kFileSystems) {
    if (row.magic == magic) return row;
  }
  return kOtherFileSystem;
}

}  // namespace

NTSTATUS DescribeFileSystem(int fd, const std::string& hostPath,
                            FileSystemDescription* description) {
  struct statfs st;
  if (fstatfs(fd, &st) != 0) {
    auto saved = errno;
    return StatusFromErrno(saved);
  }
  // A drive made to stand in for FAT (it serves no zero-data requests) is
  // FAT in every answer.
  const FileSystemRow& row =
      RowOf(ZeroDataServed(hostPath) ? (int64_t)(uint32_t)st.f_type : kFatMagic);
  description->name = row.name;
  description->attributes = row.attributes;
  if (st.f_flags & ST_RDONLY) description->attributes |= FILE_READ_ONLY_VOLUME;
  description->maximumComponentNameLength = (LONG)st.f_namelen;
  std::u16string reported = ReportedFileSystemName();
  if (!reported.empty()) description->name = reported;
  return STATUS_SUCCESS;
}

}  // namespace host
