// The dorvane command's subcommands.
#pragma once

namespace dorvane {

// Parses the command line and runs one subcommand; returns the exit code.
int RunCommand(int argc, char **argv);

}  // namespace dorvane
