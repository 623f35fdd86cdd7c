// The dorvane command's subcommands.
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
