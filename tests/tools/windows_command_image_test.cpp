// The kernel build's Windows command, beside dorvane.sys: a PE32+ console
// program that imports system DLLs only (its C++ run-time linked in), and a
// product free of the Wine test's route through the test filter, which only
// dorvane-wine.exe carries.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "support/file_bytes.h"
#include "support/kernel_image.h"

namespace dorvane::test {
namespace {

// UTF-16 text as it lies in the program's data.
bool HoldsWideText(const Bytes &bytes, const std::string &text) {
  Bytes wide;
  for (char c : text) {
    wide.push_back(static_cast<uint8_t>(c));
    wide.push_back(0);
  }
  return std::search(bytes.begin(), bytes.end(), wide.begin(), wide.end()) != bytes.end();
}

TEST(WindowsCommandImage, ImportsSystemDllsOnlyAndCarriesTheTestRouteOnlyInTheTestBuild) {
  REQUIRE_KERNEL_IMAGE(sys);
  std::string folder = sys.substr(0, sys.find_last_of('/') + 1);
  const std::set<std::string> systemDlls = {"KERNEL32.dll", "msvcrt.dll", "ntdll.dll",
                                            "ADVAPI32.dll"};
  struct Program {
    const char *name;
    bool testRoute;
  };
  for (const Program &program : {Program{"dorvane.exe", false}, Program{"dorvane-wine.exe", true}}) {
    std::string path = folder + program.name;
    std::string dump = KernelObjdump("-p", path);
    ASSERT_FALSE(dump.empty()) << path << " is missing or unreadable";
    std::istringstream lines(dump);
    bool pe32Plus = false, console = false;
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string name, value, dll;
      words >> name >> value >> dll;
      if (name == "DLL" && value == "Name:") {
        EXPECT_EQ(systemDlls.count(dll), 1u) << program.name << " imports from " << dll;
      }
      pe32Plus = pe32Plus || (name == "Magic" && value == "020b");
      console = console || (name == "Subsystem" && value == "00000003");
    }
    EXPECT_TRUE(pe32Plus) << program.name << " is not PE32+";
    EXPECT_TRUE(console) << program.name << " is not a console program";
    EXPECT_EQ(HoldsWideText(ReadFileBytes(path), "\\Device\\DorvaneFilter"), program.testRoute)
        << program.name;
  }
}

}  // namespace
}  // namespace dorvane::test
