// The driver service's failure lines and the binary paths the service
// manager keeps, which the command shows on Windows; checked here because
// they are the same text on every system.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/service/driver_service.h"

namespace dorvane::test {
namespace {

using Action = DriverServiceAction;

TEST(DriverServiceMessages, EachFailureSaysWhatToDoAndNamesTheError) {
  // want: parts the line must hold, in order; the error's name and number
  // always end it.
  struct Case {
    Action action;
    uint32_t error;
    std::string binary;
    std::vector<std::string> want;
  } cases[] = {
      /* 0 */ {Action::kInstall, kErrorAccessDenied, "", {"elevated prompt"}},
      /* 1 */ {Action::kStart, kErrorAccessDenied, "", {"elevated prompt"}},
      /* 2 */ {Action::kStart, kErrorInvalidImageHash, "", {"signed", "bcdedit /set testsigning on"}},
      /* 3 */ {Action::kStart, kErrorDriverBlocked, "", {"blocked", "bcdedit /set testsigning on"}},
      /* 4 */ {Action::kInstall, kErrorServiceExists, "", {"already installed"}},
      /* 5 */ {Action::kInstall, kErrorDuplicateServiceName, "", {"already installed"}},
      /* 6 */ {Action::kStop, kErrorServiceDoesNotExist, "", {"not installed", "driver install"}},
      /* 7 */ {Action::kStart, kErrorServiceAlreadyRunning, "", {"already running"}},
      /* 8 */ {Action::kRemove, kErrorServiceAlreadyRunning, "", {"running", "driver stop"}},
      /* 9 */ {Action::kStop, kErrorServiceNotActive, "", {"not running"}},
      /* 10 */ {Action::kStop, kErrorServiceRequestTimeout, "", {"still stopping", "handle"}},
      /* 11 */ {Action::kStart, kErrorServiceRequestTimeout, "", {"did not start"}},
      /* 12 */ {Action::kInstall, kErrorServiceMarkedForDelete, "", {"still in use", "try again"}},
      /* 13 */ {Action::kRemove, kErrorServiceMarkedForDelete, "", {"already removed"}},
      /* 14 */ {Action::kInstall, kErrorFileNotFound, "C:\\d\\x.sys", {"no driver binary at C:\\d\\x.sys"}},
      /* 15 */ {Action::kInstall, kErrorPathNotFound, "C:\\d\\x.sys", {"no driver binary at C:\\d\\x.sys"}},
      /* 16 */ {Action::kStart, kErrorFileNotFound, "C:\\d\\x.sys", {"C:\\d\\x.sys is missing"}},
      /* 17 */ {Action::kStart, kErrorServiceCannotAcceptCtrl, "", {"starting or stopping"}},
      /* 18 */ {Action::kStart, 1114, "", {"refused"}},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    std::string line = DriverServiceFailure(c.action, c.error, c.binary);
    size_t at = 0;
    for (const std::string &part : c.want) {
      at = line.find(part, at);
      ASSERT_NE(at, std::string::npos) << "case " << i << ": \"" << part << "\" in " << line;
    }
    std::string error = ": " + Win32ErrorText(c.error);
    EXPECT_EQ(line.size() - line.rfind(error), error.size()) << "case " << i << ": " << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << "case " << i;
  }
  EXPECT_EQ(Win32ErrorText(kErrorInvalidImageHash), "ERROR_INVALID_IMAGE_HASH (577)");
  EXPECT_EQ(Win32ErrorText(1114), "Win32 error (1114)");
}

TEST(DriverServiceMessages, BinaryPathsAsUsersNameThem) {
  const std::string root = "C:\\Windows";
  struct Case {
    const char *kept, *shown;
  } cases[] = {
      /* 0 */ {"\\??\\D:\\drivers\\dorvane.sys", "D:\\drivers\\dorvane.sys"},
      /* 1 */ {"\\??\\UNC\\server\\share\\dorvane.sys", "\\\\server\\share\\dorvane.sys"},
      /* 2 */ {"\\SystemRoot\\System32\\drivers\\dorvane.sys",
               "C:\\Windows\\System32\\drivers\\dorvane.sys"},
      /* 3 */ {"\\systemroot\\dorvane.sys", "C:\\Windows\\dorvane.sys"},
      /* 4 */ {"System32\\drivers\\dorvane.sys", "C:\\Windows\\System32\\drivers\\dorvane.sys"},
      /* 5 */ {"C:\\windows\\System32\\drivers\\dorvane.sys",
               "C:\\windows\\System32\\drivers\\dorvane.sys"},
      /* 6 */ {"%SystemRoot%\\dorvane.sys", "%SystemRoot%\\dorvane.sys"},
      /* 7 */ {"", ""},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    EXPECT_EQ(Win32DriverPath(cases[i].kept, root), cases[i].shown) << "case " << i;
  }
}

}  // namespace
}  // namespace dorvane::test
