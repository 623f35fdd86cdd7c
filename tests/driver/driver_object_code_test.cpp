// The object code of dorvane.sys where it names the object type of file
// objects to ObReferenceObjectByHandle. The kernel exports IoFileObjectType
// as a variable holding the type; the third argument (r8) must be that
// variable's value: one load through the import slot (which holds the
// variable's address), or two through the linker's pointer to the slot. One
// load more hands the kernel the type's first field, which only happens to
// point back at the type on a stock system.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/kernel_image.h"

namespace dorvane::test {
namespace {

struct Instruction {
  std::string mnemonic, source, destination, symbol;
};

// The 64-bit register a destination operand writes, or "" for memory.
std::string WrittenRegister(const std::string &operand) {
  static const std::regex numbered("%(r[0-9]+)[dwb]?"), lettered("%[re]?([a-d]x|si|di|bp)");
  std::smatch match;
  if (std::regex_match(operand, match, numbered)) return match[1];
  if (std::regex_match(operand, match, lettered)) return "r" + match[1].str();
  return "";
}

// Follows r8 back from the call at `call` to the import it was loaded from;
// an empty result when it is the variable's value, else what it is.
std::string TraceObjectType(const std::vector<Instruction> &code, size_t call) {
  std::string target = "r8";
  int loads = 0;
  static const std::regex memory(R"(^(0x0)?\(%(\w+)\)$)");
  for (size_t at = call; at-- > 0;) {
    const Instruction &insn = code[at];
    if (insn.mnemonic.empty()) return "r8 is set in another function";
    if (WrittenRegister(insn.destination) != target) continue;
    std::smatch match;
    if (insn.mnemonic != "mov") return "r8 comes from " + insn.mnemonic + " " + insn.source;
    if (insn.symbol == "__imp_IoFileObjectType" || insn.symbol == ".refptr.__imp_IoFileObjectType") {
      int wanted = insn.symbol[0] == '.' ? 2 : 1;
      if (loads == wanted) return "";
      return std::to_string(loads) + " loads behind " + insn.symbol + " where " +
             std::to_string(wanted) + " give the type";
    }
    if (std::regex_match(insn.source, match, memory)) {
      ++loads;
      target = match[2];
    } else if (!WrittenRegister(insn.source).empty()) {
      target = WrittenRegister(insn.source);
    } else {
      return "r8 comes from " + insn.source + " <" + insn.symbol + ">";
    }
  }
  return "no load of IoFileObjectType found";
}

TEST(DriverObjectCode, FileObjectTypeIsPassedAsTheTypeItself) {
  REQUIRE_KERNEL_IMAGE(path);
  // "addr:\tmnemonic operands  # addr <symbol>"; a function's label line
  // becomes an empty instruction, which no trace crosses.
  static const std::regex line(
      R"(^\s*[0-9a-f]+:\t(\S+)\s*([^#]*?)\s*(?:#\s*[0-9a-f]+\s+<([^>]+)>)?$)");
  std::vector<Instruction> code;
  std::istringstream text(KernelObjdump("-d --no-show-raw-insn", path));
  for (std::string row; std::getline(text, row);) {
    std::smatch match;
    if (!row.empty() && row[0] != ' ') {
      code.push_back({});
    } else if (std::regex_match(row, match, line)) {
      std::string operands = match[2];
      size_t comma = operands.rfind(',');
      code.push_back({match[1], operands.substr(0, comma == std::string::npos ? 0 : comma),
                      operands.substr(comma == std::string::npos ? 0 : comma + 1), match[3]});
    }
  }
  int calls = 0;
  for (size_t at = 0; at < code.size(); ++at) {
    if (code[at].mnemonic != "call" || code[at].symbol != "__imp_ObReferenceObjectByHandle") {
      continue;
    }
    ++calls;
    EXPECT_EQ(TraceObjectType(code, at), "") << "call #" << calls;
  }
  EXPECT_EQ(calls, 2) << "the image open's and the flush's references";
}

}  // namespace
}  // namespace dorvane::test
