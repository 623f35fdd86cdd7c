// What the subcommands share: their line in the command table, their parsed
// arguments, usage errors and size-valued options.
#pragma once

#include "tools/commands/commands.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace dorvane {

struct OptionDefinition {
  std::string name;  // with its dashes: "--offset"
  bool takesValue = false;
  bool repeatable = false;
  const char *value = "";  // what the value stands for: "N", "FILE"
  const char *help = "";   // one paragraph for the help and the manual
};

struct Arguments {
  std::map<std::string, std::vector<std::string>> options;  // flags hold one ""
  std::vector<std::string> positional;

  bool Has(const std::string &name) const { return options.count(name) != 0; }
  // The option's value, or "" when it was not given.
  std::string Value(const std::string &name) const;
};

struct CommandCall;

// A subcommand's line in the command table.
struct CommandDef {
  const char *name;
  const char *synopsis;  // usage lines after "dorvane ", separated by '\n'
  const char *summary;   // one line for the command list
  // The rest of the command's help and manual entry: paragraphs separated
  // by blank lines; lines indented by two spaces are shown as they stand.
  const char *description;
  std::vector<OptionDefinition> options;
  size_t positionalCount;
  int (*run)(const CommandCall &call);  // returns the exit code
  bool morePositional = false;  // positionalCount or more positional arguments
};

// One run of a subcommand: its table line, its arguments and its streams.
struct CommandCall {
  const CommandDef &command;
  const Arguments &args;
  const CommandIo &io;

  // The first positional argument: the image every subcommand names.
  const std::string &Image() const { return args.positional[0]; }

  // "dorvane COMMAND: MESSAGE" and the command's usage lines on io.err;
  // returns kExitUsage.
  int UsageError(const std::string &message) const;

  // Parses the size-valued option `name` into *value when it was given.
  // False after the usage error when its text is not a size: the command
  // then ends with kExitUsage.
  bool SizeOption(const std::string &name, uint64_t *value) const;
  // The same for an option that must be given ("NAME is required").
  bool RequiredSizeOption(const std::string &name, uint64_t *value) const;
};

// The subcommands, a file each; the table in commands.cpp names them.
int RunInfo(const CommandCall &call);
int RunCat(const CommandCall &call);
int RunWrite(const CommandCall &call);
int RunCreate(const CommandCall &call);
int RunResize(const CommandCall &call);
int RunFlush(const CommandCall &call);
int RunZero(const CommandCall &call);
int RunTrim(const CommandCall &call);
int RunMerge(const CommandCall &call);
int RunMount(const CommandCall &call);
int RunCheck(const CommandCall &call);
int RunConvert(const CommandCall &call);
int RunDriver(const CommandCall &call);

// The command table, in the order of the help, and the options every
// command takes.
const std::vector<CommandDef> &Commands();
const std::vector<OptionDefinition> &GlobalOptions();

// text as a JSON string literal, quotes included.
std::string JsonString(const std::string &text);

// Splits args into the options of definitions and positional arguments;
// "--name=value" and "--name value" alike, "--" ends the options. Returns ""
// or what is wrong.
std::string ParseArguments(const std::vector<std::string> &args,
                           const std::vector<OptionDefinition> &definitions, Arguments *out);

// The command's synopsis, a line each.
std::vector<std::string> SynopsisLines(const CommandDef &command);

// "usage: dorvane ..." with every synopsis line of the command.
std::string CommandUsage(const CommandDef &command);

}  // namespace dorvane
