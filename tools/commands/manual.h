// The command's documentation, written once: the help (dorvane --help,
// dorvane help COMMAND|TOPIC) and the manual page dorvane(1) are both made
// from the command table (commands.cpp) and the topics of manual.cpp.
#pragma once

#include "tools/commands/command_line.h"

#include <string>

namespace dorvane {

extern const char kProgramSynopsis[];

// dorvane --help: the commands, the global options and the topics.
std::string ProgramHelp();
// dorvane help COMMAND, dorvane COMMAND --help.
std::string CommandHelp(const CommandDef &command);
// dorvane help TOPIC; "" for a topic that does not exist.
std::string TopicHelp(const std::string &topic);
// dorvane --version.
std::string VersionText();

// The manual page dorvane(1) in roff (man macros).
std::string ManualPage();

}  // namespace dorvane
