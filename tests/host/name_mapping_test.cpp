// Object names to host paths: \??\ and \DosDevices\ drive names through the
// drive table, UNC names through the share table, NTFS's name rules, and
// OBJ_CASE_INSENSITIVE matching one directory entry ignoring case.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host_files.h"

namespace dorvane::test {
namespace {

class HostNames : public TempDirTest {
 protected:
  void TearDown() override {
    for (char letter : {'C', 'Q'}) host::MapDrive(letter, "");
    host::MapShare("server", "share", "");
    TempDirTest::TearDown();
  }
  std::string Map(const std::u16string& name, bool caseInsensitive, NTSTATUS expected) {
    std::string path;
    EXPECT_EQ(expected, host::HostPathForNtName(name, caseInsensitive, &path));
    return path;
  }
};

TEST_F(HostNames, NamesMapThroughTheDriveAndShareTables) {
  host::MapDrive('c', "/mnt/c/");
  host::MapShare("Server", "Share", "/srv/share");
  struct {
    std::u16string name;
    NTSTATUS status;
    std::string path;
  } cases[] = {
      {u"\\??\\Z:\\srv\\vm\\a.vhd", STATUS_SUCCESS, "/srv/vm/a.vhd"},   // 0: Z: is /
      {u"\\DosDevices\\z:\\srv\\a.vhd", STATUS_SUCCESS, "/srv/a.vhd"},  // 1
      {u"\\Device\\Mup\\server\\share\\vm\\a.vhd", STATUS_SUCCESS, "/srv/share/vm/a.vhd"},  // 2
      {u"\\??\\UNC\\SERVER\\SHARE\\a.vhd", STATUS_SUCCESS, "/srv/share/a.vhd"},             // 3
      {u"\\??\\D:\\x.vhd", STATUS_OBJECT_PATH_NOT_FOUND, ""},                               // 4
      {u"\\??\\Z:\\a\\.\\b", STATUS_OBJECT_NAME_INVALID, ""},                               // 5
      {u"\\??\\Z:\\a*.vhd", STATUS_OBJECT_NAME_INVALID, ""},                                // 6
      {u"\\??\\Z:\\\xD800x", STATUS_OBJECT_NAME_INVALID, ""},                               // 7
      {u"relative\\a.vhd", STATUS_OBJECT_PATH_SYNTAX_BAD, ""},                              // 8
      // 9: no alternate data streams (NT difference "ntfs-features").
      {u"\\??\\Z:\\a.vhd:stream", STATUS_OBJECT_NAME_INVALID, ""},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    EXPECT_EQ(cases[i].path, Map(cases[i].name, false, cases[i].status));
  }
  // The drive whose folder holds the path most closely names it.
  host::MapDrive('Q', "/mnt/c/images");
  EXPECT_EQ(u"\\??\\C:\\imagesx", host::NtPathForHostPath("/mnt/c/imagesx"));
  EXPECT_EQ(u"\\??\\Q:\\b\\c.vhd", host::NtPathForHostPath("/mnt/c/images/b/c.vhd"));
}

TEST_F(HostNames, CaseInsensitiveNamesMatchOneEntryIgnoringCase) {
  ASSERT_EQ(0, mkdir(File("Images").c_str(), 0777));
  ASSERT_EQ(0, mkdir(File("twin").c_str(), 0777));
  for (const char* name : {"Images/Parent.VHD", "twin/a.vhd", "twin/A.vhd"}) {
    WriteFileBytes(File(name), Bytes(1));
  }
  host::MapDrive('Q', DirPath());
  struct {
    std::u16string name;
    bool caseInsensitive;
    std::string path;
  } cases[] = {
      {u"\\??\\Q:\\images\\parent.vhd", true, "Images/Parent.VHD"},   // 0: every component
      {u"\\??\\Q:\\images\\parent.vhd", false, "images/parent.vhd"},  // 1: exact only
      {u"\\??\\Q:\\images\\new.vhd", true, "Images/new.vhd"},         // 2: a new last component
      {u"\\??\\Q:\\twin\\a.vhd", true, "twin/a.vhd"},                 // 3: exact among twins
      {u"\\??\\Q:\\twin\\A.VHD", true, "twin/A.VHD"},                 // 4: twins: neither guessed
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(File(cases[i].path), Map(cases[i].name, cases[i].caseInsensitive, STATUS_SUCCESS))
        << "case " << i;
  }
}

}  // namespace
}  // namespace dorvane::test
