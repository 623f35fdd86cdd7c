// The command line: the command table, global options, the choice of
// subcommand and help.
#include "tools/commands/commands.h"

#include "tools/commands/command_line.h"
#include "tools/disk/errors.h"

#include "host/host_kernel.h"

#include <sys/stat.h>

namespace dorvane {

namespace {

const char *const kProgramSynopsis = "dorvane [--verbose] [--drive X:=DIR]... COMMAND [ARGS]";

const std::vector<OptionDefinition> &GlobalOptions() {
  static const std::vector<OptionDefinition> options = {
      {"--verbose", false, false},
      {"--drive", true, true},
  };
  return options;
}

// The command table, in the order of the help.
const std::vector<CommandDef> &Commands() {
  static const std::vector<CommandDef> commands = {
      {"info", "info [--json] IMAGE",
       "Show the image's type, sizes, blocks and parent chain (--json: one JSON object).",
       {{"--json", false, false}}, 1, RunInfo},
      {"cat", "cat IMAGE [--offset N] [--length N]",
       "Write the virtual disk's bytes to standard output (default: from the offset to the end).",
       {{"--offset", true, false}, {"--length", true, false}}, 1, RunCat},
      {"write", "write IMAGE --offset N [--input FILE]",
       "Write standard input (or FILE; - is standard input) into the virtual disk at byte "
       "offset N.",
       {{"--offset", true, false}, {"--input", true, false}}, 1, RunWrite},
      {"create",
       "create --type fixed|dynamic --size SIZE [--block-size SIZE] IMAGE\n"
       "create --parent PARENT IMAGE",
       "Create a new, empty image (default block size 2M), or a differencing image of PARENT.",
       {{"--type", true, false},
        {"--size", true, false},
        {"--block-size", true, false},
        {"--parent", true, false}},
       1, RunCreate},
      {"resize", "resize IMAGE --size SIZE",
       "Grow a fixed or dynamic image's virtual disk to SIZE (dynamic: whole blocks).",
       {{"--size", true, false}}, 1, RunResize},
      {"flush", "flush IMAGE",
       "Write the image and its parent chain back to the disk (farthest parent first).", {}, 1,
       RunFlush},
      {"zero", "zero IMAGE --offset N --length N",
       "Make N bytes of the virtual disk read as zeros (a zero-data request; dynamic images "
       "give back the blocks left all zero). The range must end before the end of the disk; "
       "trim reaches the end.",
       {{"--offset", true, false}, {"--length", true, false}}, 1, RunZero},
      {"trim", "trim IMAGE OFFSET:LENGTH...",
       "Trim the given ranges of the virtual disk in one file-level trim request: they read as "
       "zeros afterwards.",
       {}, 1, RunTrim, true},
      {"merge", "merge IMAGE [--levels N] [--blocks-per-request K]",
       "Merge the differencing image IMAGE into its parent (--levels N: into the ancestor N "
       "levels down, default 1), K blocks per request (default 16); IMAGE is deleted when "
       "done. Ctrl-C stops after the request in progress; run again to finish. The receiving "
       "image keeps its identity, so every other differencing image made on it (a sibling of "
       "IMAGE) reads the merged data too: merge only where IMAGE is its only child.",
       {{"--levels", true, false}, {"--blocks-per-request", true, false}}, 1, RunMerge},
      {"mount",
       "mount [--read-only] [--foreground] [--name NAME] [-o FUSE_OPTION]... IMAGE MOUNTPOINT",
       "Show the virtual disk as the file MOUNTPOINT/NAME (default: disk) through FUSE, until "
       "fusermount3 -u MOUNTPOINT; the disk is flushed when it is unmounted.",
       {{"--read-only", false, false},
        {"--foreground", false, false},
        {"--name", true, false},
        {"-o", true, true}},
       2, RunMount},
      {"check",
       "check [--repair [--undo-file FILE]] [--json] IMAGE\n"
       "check --undo [--undo-file FILE] IMAGE",
       "Check the structure of the image and its parent chain; --repair fixes what needs no "
       "guess, keeping what it overwrites in IMAGE.repair-undo (or FILE), which --undo puts "
       "back (exit 0 clean, 1 repaired, 2 problems remain, 3 the check could not be made). "
       "Refused while another process writes the image or, for --repair, has it open.",
       {{"--repair", false, false},
        {"--json", false, false},
        {"--undo", false, false},
        {"--undo-file", true, false}},
       1, RunCheck},
  };
  return commands;
}

const CommandDef *FindCommand(const std::string &name) {
  for (const CommandDef &command : Commands()) {
    if (name == command.name) {
      return &command;
    }
  }
  return nullptr;
}

std::string ProgramHelp() {
  std::string text = std::string("usage: ") + kProgramSynopsis + "\n\nCommands:\n";
  for (const CommandDef &command : Commands()) {
    for (const std::string &line : SynopsisLines(command)) {
      text += "  dorvane " + line + "\n";
    }
    text += std::string("      ") + command.summary + "\n";
  }
  text +=
      "\nGlobal options:\n"
      "  --verbose        print the driver's debug output on standard error\n"
      "  --drive X:=DIR   make the drive letter X: name the host directory DIR\n"
      "                   (repeatable; also from DORVANE_DRIVES=\"X:=DIR;...\")\n"
      "\nSizes and offsets are bytes, optionally with K, M, G or T (binary).\n"
      "Exit status: 0 success, 1 the operation failed, 2 the command line is wrong.\n";
  return text;
}

int ProgramUsageError(const CommandIo &io, const std::string &message) {
  WriteText(io.err, "dorvane: " + message + "\nusage: " + kProgramSynopsis +
                        "\n(dorvane --help lists the commands)\n");
  return kExitUsage;
}

// Applies --verbose and --drive. Returns "" or what is wrong with a --drive.
std::string ApplyGlobalOptions(const Arguments &args) {
  for (const std::string &mapping : args.options.count("--drive") != 0
                                        ? args.options.at("--drive")
                                        : std::vector<std::string>()) {
    char letter = mapping.empty() ? '\0' : mapping[0];
    bool isLetter = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
    if (!isLetter || mapping.compare(1, 2, ":=") != 0 || mapping.size() == 3) {
      return "--drive \"" + mapping + "\": expected X:=DIR";
    }
    std::string dir = mapping.substr(3);
    struct stat info;
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      return "--drive \"" + mapping + "\": " + dir + " is not a directory";
    }
    host::MapDrive(letter, dir);
  }
  host::SetVerbose(args.Has("--verbose"));
  return "";
}

std::string CommandHelp(const CommandDef &command) {
  return CommandUsage(command) + command.summary + "\n";
}

bool IsHelp(const std::string &arg) { return arg == "--help" || arg == "-h"; }

}  // namespace

int RunCommand(const std::vector<std::string> &args, const CommandIo &io) {
  // Global options may come before the command and among its own options.
  size_t index = 0;
  std::vector<std::string> leading;
  for (; index < args.size() && args[index].size() > 1 && args[index][0] == '-'; ++index) {
    if (IsHelp(args[index])) {
      return WriteText(io.out, ProgramHelp()) ? 0 : kExitFailure;
    }
    leading.push_back(args[index]);
    if (args[index] == "--drive" && index + 1 < args.size()) {
      leading.push_back(args[++index]);
    }
  }
  if (index == args.size()) {
    return ProgramUsageError(io, "no command given");
  }
  const std::string &name = args[index];
  if (name == "help") {
    const CommandDef *command = index + 1 < args.size() ? FindCommand(args[index + 1]) : nullptr;
    if (command == nullptr) {
      return WriteText(io.out, ProgramHelp()) ? 0 : kExitFailure;
    }
    return WriteText(io.out, CommandHelp(*command)) ? 0 : kExitFailure;
  }
  const CommandDef *command = FindCommand(name);
  if (command == nullptr) {
    return ProgramUsageError(io, "unknown command \"" + name + "\"");
  }

  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(index) + 1, args.end());
  for (const std::string &arg : rest) {
    if (arg == "--") {
      break;
    }
    if (IsHelp(arg)) {
      return WriteText(io.out, CommandHelp(*command)) ? 0 : kExitFailure;
    }
  }
  Arguments parsed;
  Arguments globals;
  const CommandCall call{*command, parsed, io};
  std::vector<OptionDefinition> definitions = command->options;
  definitions.insert(definitions.end(), GlobalOptions().begin(), GlobalOptions().end());
  std::string error = ParseArguments(leading, GlobalOptions(), &globals);
  if (!error.empty()) {
    return ProgramUsageError(io, error);
  }
  error = ParseArguments(rest, definitions, &parsed);
  if (!error.empty()) {
    return call.UsageError(error);
  }
  for (const auto &option : globals.options) {
    auto &values = parsed.options[option.first];
    values.insert(values.begin(), option.second.begin(), option.second.end());
  }
  if (parsed.options.count("--verbose") != 0 && parsed.options["--verbose"].size() > 1) {
    parsed.options["--verbose"].resize(1);
  }
  if (parsed.positional.size() < command->positionalCount ||
      (parsed.positional.size() > command->positionalCount && !command->morePositional)) {
    return call.UsageError(parsed.positional.size() < command->positionalCount
                               ? "missing IMAGE"
                               : "unexpected argument \"" +
                                     parsed.positional[command->positionalCount] + "\"");
  }
  error = ApplyGlobalOptions(parsed);
  if (!error.empty()) {
    return call.UsageError(error);
  }
  return command->run(call);
}

int RunCommand(int argc, char **argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(argv[i]);
  }
  return RunCommand(args, CommandIo());
}

}  // namespace dorvane
