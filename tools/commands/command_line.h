// What the subcommands share: their table entry, their parsed arguments and
// the usage error line.
#pragma once

#include "tools/commands/commands.h"
#include "tools/disk/disk_access.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace dorvane {

struct OptionDefinition {
  std::string name;  // with its dashes: "--offset"
  bool takesValue = false;
  bool repeatable = false;
};

struct Arguments {
  std::map<std::string, std::vector<std::string>> options;  // flags hold one ""
  std::vector<std::string> positional;

  bool Has(const std::string &name) const { return options.count(name) != 0; }
  // The option's value, or "" when it was not given.
  std::string Value(const std::string &name) const;
};

struct CommandDef {
  const char *name;
  const char *synopsis;  // usage lines after "dorvane ", separated by '\n'
  const char *summary;   // one line for the command list
  std::vector<OptionDefinition> options;
  size_t positionalCount;
  int (*run)(const Arguments &args, const CommandIo &io);
  bool morePositional = false;  // positionalCount or more positional arguments
};

const CommandDef &InfoCommand();
const CommandDef &CatCommand();
const CommandDef &WriteCommand();
const CommandDef &CreateCommand();
const CommandDef &ResizeCommand();
const CommandDef &FlushCommand();
const CommandDef &ZeroCommand();
const CommandDef &TrimCommand();
const CommandDef &MergeCommand();
const CommandDef &MountCommand();
const CommandDef &CheckCommand();

// text as a JSON string literal, quotes included.
std::string JsonString(const std::string &text);

// Splits args into the options of definitions and positional arguments;
// "--name=value" and "--name value" alike, "--" ends the options. Returns ""
// or what is wrong.
std::string ParseArguments(const std::vector<std::string> &args,
                           const std::vector<OptionDefinition> &definitions, Arguments *out);

// "dorvane COMMAND: MESSAGE" and the command's usage line on io.err; returns
// kExitUsage.
int UsageError(const CommandIo &io, const CommandDef &command, const std::string &message);

// "usage: dorvane ..." with every synopsis line of the command.
std::string CommandUsage(const CommandDef &command);

// Parses the size-valued option `name` into *value when it was given.
// Returns false (after the usage error) when its text is not a size.
bool SizeOption(const Arguments &args, const std::string &name, const CommandDef &command,
                const CommandIo &io, uint64_t *value, int *exitCode);

// Opens the image's virtual disk through the driver and checks that offset
// lies on it (or at its end). *size is the disk's size as the driver answers
// a standard-information query on the handle. False after the error line; a
// refused write says that nothing was written.
bool OpenDiskAt(const std::string &image, bool writable, uint64_t offset, const CommandIo &io,
                Disk *disk, uint64_t *size);

// The flush request after a change; false after the "cannot flush image" line.
bool FlushDiskOrReport(Disk *disk, const std::string &image, const CommandIo &io);

}  // namespace dorvane
