// The object code of dorvane.sys where it names the object type of file
// objects to ObReferenceObjectByHandle. The kernel exports IoFileObjectType
// as a variable holding the type; the third argument (r8) must be that
// variable's value: one load through the import slot (which holds the
// variable's address), or two through the linker's pointer to the slot. One
// load more hands the kernel the type's first field, which only happens to
// point back at the type on a stock system.
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#include "support/kernel_image.h"

namespace dorvane::test {
namespace {

struct Instruction {
  std::string mnemonic, source, destination, symbol;
};

std::string Trimmed(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The 64-bit register a destination operand writes, or "" for memory.
std::string WrittenRegister(const std::string &operand) {
  if (operand.size() < 3 || operand[0] != '%') return "";
  std::string name = operand.substr(1);
  size_t digits = 1;
  while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits]))) ++digits;
  if (name[0] == 'r' && digits > 1) {
    std::string width = name.substr(digits);
    return width.empty() || width == "d" || width == "w" || width == "b" ? name.substr(0, digits)
                                                                          : "";
  }
  if (name.size() == 3 && (name[0] == 'r' || name[0] == 'e')) name = name.substr(1);
  for (const char *lettered : {"ax", "bx", "cx", "dx", "si", "di", "bp"}) {
    if (name == lettered) return "r" + name;
  }
  return "";
}

// The base register of a plain memory operand, "(%reg)" or "0x0(%reg)", or "".
std::string LoadedThrough(const std::string &operand) {
  std::string rest = operand.compare(0, 3, "0x0") == 0 ? operand.substr(3) : operand;
  if (rest.size() < 4 || rest.compare(0, 2, "(%") != 0 || rest.back() != ')') return "";
  return rest.substr(2, rest.size() - 3);
}

// One line of objdump's disassembly, "addr:\tmnemonic operands  # addr
// <symbol>"; false for any other line.
bool ParseInstruction(const std::string &row, Instruction *insn) {
  size_t tab = row.find(":\t");
  if (tab == std::string::npos) return false;
  std::string text = row.substr(tab + 2);
  size_t comment = text.find('#');
  std::string symbol;
  if (comment != std::string::npos) {
    size_t open = text.find('<', comment), close = text.rfind('>');
    if (open != std::string::npos && close != std::string::npos && close > open) {
      symbol = text.substr(open + 1, close - open - 1);
    }
    text = text.substr(0, comment);
  }
  text = Trimmed(text);
  size_t space = text.find_first_of(" \t");
  std::string operands = space == std::string::npos ? "" : Trimmed(text.substr(space));
  size_t comma = operands.rfind(',');
  *insn = {text.substr(0, space), operands.substr(0, comma == std::string::npos ? 0 : comma),
           operands.substr(comma == std::string::npos ? 0 : comma + 1), symbol};
  return !insn->mnemonic.empty();
}

// Follows r8 back from the call at `call` to the import it was loaded from;
// an empty result when it is the variable's value, else what it is.
std::string TraceObjectType(const std::vector<Instruction> &code, size_t call) {
  std::string target = "r8";
  int loads = 0;
  for (size_t at = call; at-- > 0;) {
    const Instruction &insn = code[at];
    if (insn.mnemonic.empty()) return "r8 is set in another function";
    if (WrittenRegister(insn.destination) != target) continue;
    if (insn.mnemonic != "mov") return "r8 comes from " + insn.mnemonic + " " + insn.source;
    if (insn.symbol == "__imp_IoFileObjectType" || insn.symbol == ".refptr.__imp_IoFileObjectType") {
      int wanted = insn.symbol[0] == '.' ? 2 : 1;
      if (loads == wanted) return "";
      return std::to_string(loads) + " loads behind " + insn.symbol + " where " +
             std::to_string(wanted) + " give the type";
    }
    if (!LoadedThrough(insn.source).empty()) {
      ++loads;
      target = LoadedThrough(insn.source);
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
  // A function's label line becomes an empty instruction, which no trace
  // crosses.
  std::vector<Instruction> code;
  std::istringstream text(KernelObjdump("-d --no-show-raw-insn", path));
  for (std::string row; std::getline(text, row);) {
    Instruction insn;
    if (!row.empty() && row[0] != ' ') {
      code.push_back({});
    } else if (ParseInstruction(row, &insn)) {
      code.push_back(insn);
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
