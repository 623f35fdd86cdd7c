// The command's help and manual page: both from one text, the page well
// formed for man, every topic reachable from the help.
#include <gtest/gtest.h>

#include <sstream>

#include "tool_test_support.h"

namespace dorvane::test {
namespace {

TEST(ToolManual, HelpVersionAndTheManualPage) {
  // "dorvane MAJOR.MINOR.PATCH"
  std::istringstream version(RunTool({"--version"}).out);
  std::string program;
  unsigned major = 0, minor = 0, patch = 0;
  char dot1 = 0, dot2 = 0;
  EXPECT_TRUE(version >> program >> major >> dot1 >> minor >> dot2 >> patch && program == "dorvane" &&
              dot1 == '.' && dot2 == '.' && version.get() == '\n' && version.peek() == EOF)
      << version.str();
  std::string help = RunTool({"--help"}).out;
  const std::string lead = "TOPIC for a topic of ";
  size_t topics = help.find(lead), end = help.find('.', topics);
  ASSERT_NE(topics, std::string::npos) << help;
  std::istringstream names(help.substr(topics + lead.size(), end - topics - lead.size()));
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
