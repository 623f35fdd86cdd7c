// tools/commands: the dorvane command line. The program's entry (main.cpp),
// the command table and the choice of subcommand (this header,
// commands.cpp), option parsing and usage errors (command_line.h), a file
// per subcommand (command_*.cpp), sizes on the command line (size_parse.h),
// the steps a subcommand takes on a virtual disk (command_disk.h), progress
// lines and Ctrl-C of long commands (progress.h), and the help and manual
// page made from the command table (manual.h). The
// only folder that knows of commands: it uses tools/mount, tools/image_files
// and tools/disk, and none of them uses it.
#pragma once

#include <string>
#include <vector>

namespace dorvane {

// Exit codes: 0 success, 1 the operation failed, 2 the command line is wrong.
const int kExitFailure = 1;
const int kExitUsage = 2;

// The streams a command reads input from and writes output and errors to.
struct CommandIo {
  int in = 0;
  int out = 1;
  int err = 2;
};

// Parses the command line and runs one subcommand; returns the exit code.
int RunCommand(int argc, char **argv);

// The same for arguments without the program name, on the given streams.
int RunCommand(const std::vector<std::string> &args, const CommandIo &io);

}  // namespace dorvane
