// The command's help and manual page: both from one text, the page well
// formed for man, every topic reachable from the help.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tool_test_support.h"

namespace dorvane::test {
namespace {

TEST(ToolManual, HelpVersionAndTheManualPage) {
  EXPECT_TRUE(std::regex_match(RunTool({"--version"}).out,
                               std::regex("dorvane [0-9]+\\.[0-9]+\\.[0-9]+\n")));
  std::string help = RunTool({"--help"}).out;
  std::smatch topics;
  ASSERT_TRUE(std::regex_search(help, topics, std::regex("TOPIC for a topic of ([a-z -]+)\\.")))
      << help;
  std::istringstream names(topics[1].str());
  for (std::string name; names >> name;) {
    EXPECT_GT(RunTool({"help", name}).out.size(), 100u) << name;
  }
  EXPECT_NE(RunTool({"help", "convert"}).out.find("\nOptions:\n  --type fixed|dynamic|raw\n"),
            std::string::npos);

  if (!HaveProgram("groff")) {
    GTEST_SKIP() << "groff is not installed: the manual page cannot be checked";
  }
  std::string page = DORVANE_BINARY_DIR "/dorvane.1", warnings;
  EXPECT_EQ(RunShell("groff -man -Tutf8 -ww -z " + page + " 2>&1", &warnings), 0);
  EXPECT_EQ(warnings, "");
  std::string text;
  RunShell("groff -man -Tutf8 -P-cbou " + page + " 2>/dev/null", &text);
  for (const char *section : {"COMMANDS", "SHARING AND LIMITS", "NBDKIT PLUGIN", "EXIT STATUS",
                              "EXAMPLES", "dorvane convert SOURCE TARGET"}) {
    EXPECT_NE(text.find(section), std::string::npos) << section;
  }
}

}  // namespace
}  // namespace dorvane::test
