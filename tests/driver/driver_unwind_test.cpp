// dorvane.sys carries the unwind tables x64 Windows walks stacks with: every
// function that calls out or moves the stack pointer lies inside an entry of
// the exception directory (.pdata), whose unwind information (.xdata) is
// version 1. Without them the kernel cannot dispatch an exception through
// the driver or trace a bug check past it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>

#include "support/kernel_image.h"

namespace dorvane::test {
namespace {

TEST(DriverUnwind, EveryNonLeafFunctionHasUnwindInformation) {
  REQUIRE_KERNEL_IMAGE(path);
  // "<vma>:\t<begin> <end> <unwind data>" rows of the interpreted .pdata.
  std::string headers = KernelObjdump("-p", path);
  std::vector<std::pair<uint64_t, uint64_t>> covered;
  std::set<std::string> unwindData;  // entries may share one
  size_t table = headers.find("The Function Table");
  ASSERT_NE(table, std::string::npos) << "no exception directory (.pdata)";
  std::istringstream rows(headers.substr(table));
  for (std::string line; std::getline(rows, line) && !line.empty();) {
    std::istringstream words(line);
    std::string vma, begin, end, unwind;
    if (words >> vma >> begin >> end >> unwind && vma.back() == ':' && vma != "vma:") {
      covered.emplace_back(std::stoull(begin, nullptr, 16), std::stoull(end, nullptr, 16));
      unwindData.insert(unwind);
    }
  }
  ASSERT_GT(covered.size(), 10u) << "no exception directory (.pdata)";
  size_t version1 = 0;
  for (size_t at = 0; (at = headers.find("Version: 1,", at)) != std::string::npos; ++at) ++version1;
  EXPECT_EQ(version1, unwindData.size()) << "unwind information of another version";

  // Functions of the disassembly that call, push or move the stack pointer.
  std::istringstream lines(KernelObjdump("-d --no-show-raw-insn", path));
  std::string function;
  uint64_t start = 0;
  size_t nonLeaf = 0;
  for (std::string line; std::getline(lines, line);) {
    size_t open = line.find(" <"), close = line.rfind(">:");
    if (!line.empty() && line[0] != ' ' && open != std::string::npos && close != std::string::npos) {
      start = std::stoull(line.substr(0, open), nullptr, 16);
      function = line.substr(open + 2, close - open - 2);
      continue;
    }
    bool changesStack = line.find("\tcall") != std::string::npos ||
                        line.find("\tpush") != std::string::npos ||
                        line.find(",%rsp") != std::string::npos;
    if (function.empty() || !changesStack) continue;
    ++nonLeaf;
    bool found = false;
    for (const auto &[begin, end] : covered) found = found || (start >= begin && start < end);
    EXPECT_TRUE(found) << function << " has no .pdata entry";
    function.clear();  // one verdict per function
  }
  EXPECT_GT(nonLeaf, 10u) << "the disassembly was not read";
}

}  // namespace
}  // namespace dorvane::test
