// Windows paths on the command line to the kernel names the driver opens,
// and the paths refused with the reason the command gives.
#include "tools/disk/windows_path.h"

#include <gtest/gtest.h>

namespace dorvane {
namespace {

struct PathCase {
  const char *path;
  const char *current;
  const char *kernelName;  // nullptr: refused
  const char *reason;      // a part of the refusal's words
};

const PathCase kCases[] = {
    /*  0 */ {"C:\\vm\\a.vhd", "D:\\work", "\\??\\C:\\vm\\a.vhd", nullptr},
    /*  1 */ {"c:/vm/a.vhd", "D:\\work", "\\??\\C:\\vm\\a.vhd", nullptr},
    /*  2 */ {"a.vhd", "D:\\work", "\\??\\D:\\work\\a.vhd", nullptr},
    /*  3 */ {"..\\img\\.\\a.vhd", "D:\\work\\sub", "\\??\\D:\\work\\img\\a.vhd", nullptr},
    /*  4 */ {"C:\\..\\..\\a.vhd", "D:\\work", "\\??\\C:\\a.vhd", nullptr},
    /*  5 */ {"\\vm\\a.vhd", "D:\\work", "\\??\\D:\\vm\\a.vhd", nullptr},
    /*  6 */ {"C:\\vm\\\\x\\..\\a.vhd", "D:\\", "\\??\\C:\\vm\\a.vhd", nullptr},
    /*  7 */ {"\\\\server\\share\\x.vhd", "C:\\", "\\??\\UNC\\server\\share\\x.vhd", nullptr},
    /*  8 */ {"//server/share/d/../x.vhd", "C:\\", "\\??\\UNC\\server\\share\\x.vhd", nullptr},
    /*  9 */ {"..\\..\\..\\x.vhd", "\\\\srv\\sh\\a", "\\??\\UNC\\srv\\sh\\x.vhd", nullptr},
    /* 10 */ {"\\x.vhd", "\\\\srv\\sh\\a", "\\??\\UNC\\srv\\sh\\x.vhd", nullptr},
    /* 11 */ {"C:\\vm\\a.console.vhd", "D:\\", "\\??\\C:\\vm\\a.console.vhd", nullptr},
    /* 12 */ {"C:a.vhd", "D:\\work", nullptr, "drive-relative"},
    /* 13 */ {"\\\\.\\PhysicalDrive0", "C:\\", nullptr, "device path"},
    /* 14 */ {"\\\\?\\GLOBALROOT\\Device\\Dorvane\\x", "C:\\", nullptr, "device path"},
    /* 15 */ {"\\\\?\\C:\\vm\\a.vhd", "C:\\", nullptr, "device path"},
    /* 16 */ {"\\Device\\HarddiskVolume1\\a.vhd", "C:\\", nullptr, "object-manager name"},
    /* 17 */ {"\\??\\C:\\a.vhd", "C:\\", nullptr, "object-manager name"},
    /* 18 */ {"CON", "C:\\", nullptr, "names a device"},
    /* 19 */ {"C:\\vm\\nul.vhd", "C:\\", nullptr, "names a device"},
    /* 20 */ {"C:\\vm\\com1 .txt", "C:\\", nullptr, "names a device"},
    /* 21 */ {"lpt9", "C:\\", nullptr, "names a device"},
    /* 22 */ {"C:\\vm\\", "C:\\", nullptr, "folder"},
    /* 23 */ {"C:\\vm\\..", "C:\\", nullptr, "folder"},
    /* 24 */ {"C:\\", "C:\\", nullptr, "folder"},
    /* 25 */ {"C:\\vm\\a.vhd:stream", "C:\\", nullptr, "':'"},
    /* 26 */ {"C:\\vm\\a*.vhd", "C:\\", nullptr, "'*'"},
    /* 27 */ {"\\\\server\\x.vhd", "C:\\", nullptr, "server, a share and a file"},
    /* 28 */ {"", "C:\\", nullptr, "empty"},
    /* 29 */ {"a.vhd", "work", nullptr, "current folder"},
};

TEST(WindowsPath, KernelNamesAndRefusals) {
  for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
    const PathCase &c = kCases[i];
    std::string name = "unset";
    std::string error = KernelNameForWindowsPath(c.path, c.current, &name);
    if (c.kernelName != nullptr) {
      EXPECT_EQ(error, "") << "case " << i << ": " << c.path;
      EXPECT_EQ(name, c.kernelName) << "case " << i << ": " << c.path;
    } else {
      EXPECT_NE(error.find(c.reason), std::string::npos)
          << "case " << i << ": " << c.path << " gave \"" << error << "\"";
      EXPECT_EQ(name, "unset") << "case " << i << ": " << c.path;
    }
  }
}

}  // namespace
}  // namespace dorvane
