// The dorvane command.
#include "tools/commands/commands.h"

int main(int argc, char **argv) { return dorvane::RunCommand(argc, argv); }
