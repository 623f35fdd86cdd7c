// Object names: \??\ drive names, \DosDevices\, UNC names through the share
// table, NTFS name rules, case-insensitive component matching, and the
// reverse mapping from host paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "host/host_kernel.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

class HostNames : public TempDirTest {
 protected:
  void TearDown() override {
    for (char letter : {'C', 'D', 'Q'}) host::MapDrive(letter, "");
    host::MapDrive('Z', "/");
    host::MapShare("server", "share", "");
    TempDirTest::TearDown();
  }

  std::string Map(const std::u16string& name, bool caseInsensitive = false,
                  NTSTATUS* status = nullptr) {
    std::string out = "<unset>";
    NTSTATUS result = host::HostPathForNtName(name, caseInsensitive, &out);
    if (status != nullptr) *status = result;
    return NT_SUCCESS(result) ? out : "<failed>";
  }
};

TEST_F(HostNames, DriveNamesMapThroughTheDriveTable) {
  host::MapDrive('c', "/mnt/c/");
  struct {
    std::u16string name;
    NTSTATUS status;
    std::string path;
  } cases[] = {
      {u"\\??\\Z:\\srv\\vm\\a.vhd", STATUS_SUCCESS, "/srv/vm/a.vhd"},          // 0: Z: is /
      {u"\\??\\z:\\srv\\a.vhd", STATUS_SUCCESS, "/srv/a.vhd"},                 // 1: letters ignore case
      {u"\\DosDevices\\Z:\\srv\\a.vhd", STATUS_SUCCESS, "/srv/a.vhd"},         // 2: \DosDevices is \??
      {u"\\??\\C:\\images\\b.vhd", STATUS_SUCCESS, "/mnt/c/images/b.vhd"},     // 3: a mapped drive
      {u"\\??\\C:\\", STATUS_SUCCESS, "/mnt/c"},                               // 4: its root
      {u"\\??\\D:\\x.vhd", STATUS_OBJECT_PATH_NOT_FOUND, ""},                   // 5: unmapped drive
      {u"\\Device\\HarddiskVolume1\\x", STATUS_OBJECT_PATH_NOT_FOUND, ""},       // 6: unmapped device
      {u"\\??\\Z:\\a\\.\\b", STATUS_OBJECT_NAME_INVALID, ""},                   // 7: "." component
      {u"\\??\\Z:\\a\\..\\b", STATUS_OBJECT_NAME_INVALID, ""},                  // 8: ".." component
      {u"\\??\\Z:\\a\\\\b", STATUS_OBJECT_NAME_INVALID, ""},                    // 9: empty component
      {u"\\??\\Z:\\a*.vhd", STATUS_OBJECT_NAME_INVALID, ""},                    // 10: wildcard
      {u"\\??\\Z:\\a.vhd:stream", STATUS_OBJECT_NAME_INVALID, ""},              // 11: stream syntax
      {u"relative\\a.vhd", STATUS_OBJECT_PATH_SYNTAX_BAD, ""},                  // 12: no root
      {u"\\??\\Z:\\\xD800x", STATUS_OBJECT_NAME_INVALID, ""},                   // 13: lone surrogate
      {u"\\??\\Z:\\caf\u00e9", STATUS_SUCCESS, "/caf\xc3\xa9"},                 // 14: UTF-8 on the host
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    NTSTATUS status;
    std::string path = Map(cases[i].name, false, &status);
    EXPECT_EQ(cases[i].status, status) << "case " << i;
    if (NT_SUCCESS(cases[i].status)) {
      EXPECT_EQ(cases[i].path, path) << "case " << i;
    }
  }
}

TEST_F(HostNames, UncNamesMapThroughTheShareTable) {
  host::MapShare("Server", "Share", DirPath());
  EXPECT_EQ(DirPath() + "/vm/a.vhd", Map(u"\\Device\\Mup\\server\\share\\vm\\a.vhd"));
  EXPECT_EQ(DirPath() + "/a.vhd", Map(u"\\??\\UNC\\SERVER\\SHARE\\a.vhd"));
  NTSTATUS status;
  Map(u"\\Device\\Mup\\server\\other\\a.vhd", false, &status);
  EXPECT_EQ(STATUS_OBJECT_PATH_NOT_FOUND, status);
  Map(u"\\Device\\Mup\\elsewhere\\share\\a.vhd", false, &status);
  EXPECT_EQ(STATUS_OBJECT_PATH_NOT_FOUND, status);
}

TEST_F(HostNames, CaseInsensitiveNamesMatchOneEntryIgnoringCase) {
  ASSERT_EQ(0, mkdir(File("Images").c_str(), 0777));
  std::ofstream(File("Images/Parent.VHD")).put('x');
  ASSERT_EQ(0, mkdir(File("twin").c_str(), 0777));
  std::ofstream(File("twin/a.vhd")).put('x');
  std::ofstream(File("twin/A.vhd")).put('x');
  host::MapDrive('Q', DirPath());
  struct {
    std::u16string name;
    bool caseInsensitive;
    std::string path;
  } cases[] = {
      {u"\\??\\Q:\\images\\parent.vhd", true, File("Images/Parent.VHD")},  // 0: both components
      {u"\\??\\Q:\\images\\parent.vhd", false, File("images/parent.vhd")}, // 1: only exact
      {u"\\??\\Q:\\Images\\Parent.VHD", true, File("Images/Parent.VHD")},  // 2: exact wins
      {u"\\??\\Q:\\images\\new.vhd", true, File("Images/new.vhd")},        // 3: new last component
      {u"\\??\\Q:\\twin\\a.vhd", true, File("twin/a.vhd")},                // 4: exact among twins
      // 5: two entries differing only in case: neither is guessed.
      {u"\\??\\Q:\\twin\\A.VHD", true, File("twin/A.VHD")},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    EXPECT_EQ(cases[i].path, Map(cases[i].name, cases[i].caseInsensitive)) << "case " << i;
  }
}

TEST_F(HostNames, NtPathForHostPathPrefersTheLongestMappedDrive) {
  host::MapDrive('C', DirPath());
  host::MapDrive('D', DirPath() + "/sub");
  EXPECT_EQ(u"\\??\\Z:\\srv\\vm\\a.vhd", host::NtPathForHostPath("/srv/vm/a.vhd"));
  EXPECT_EQ(u"\\??\\C:\\a.vhd", host::NtPathForHostPath(File("a.vhd")));
  EXPECT_EQ(u"\\??\\D:\\b\\c.vhd", host::NtPathForHostPath(File("sub/b/c.vhd")));
  EXPECT_EQ(u"\\??\\C:\\subway.vhd", host::NtPathForHostPath(File("subway.vhd")));
  EXPECT_EQ(u"\\??\\D:\\", host::NtPathForHostPath(File("sub")));
  // Relative paths are taken from the current directory.
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(DirPath().c_str()));
  std::u16string relative = host::NtPathForHostPath("sub/../x.vhd");
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ(u"\\??\\C:\\x.vhd", relative);
}

TEST_F(HostNames, NtPathRoundTripsThroughHostPath) {
  std::string path = File("round trip.vhd");
  EXPECT_EQ(path, Map(host::NtPathForHostPath(path)));
}

// The variable is read once, at the first use of a name, so this runs in a
// fresh process (a re-executed death-test child).
TEST(HostNamesEnvironmentDeathTest, DorvaneDrivesIsReadAtFirstUse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("DORVANE_DRIVES", "C:=/mnt/c;d:=/data/;bogus", 1);
        std::string c;
        std::string d;
        NTSTATUS cs = host::HostPathForNtName(u"\\??\\C:\\a.vhd", false, &c);
        NTSTATUS ds = host::HostPathForNtName(u"\\??\\D:\\b\\c.vhd", false, &d);
        bool ok = cs == STATUS_SUCCESS && c == "/mnt/c/a.vhd" && ds == STATUS_SUCCESS &&
                  d == "/data/b/c.vhd";
        _exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "malformed DORVANE_DRIVES entry \"bogus\"");
}

}  // namespace
}  // namespace dorvane::test
