// The dorvane command.
#include "commands.h"

int main(int argc, char **argv) { return dorvane::RunCommand(argc, argv); }
