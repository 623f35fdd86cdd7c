// The command line: global options, the choice of subcommand, option parsing
// and help.
#include "tools/commands/commands.h"

#include "tools/commands/command_line.h"
#include "tools/disk/errors.h"
#include "tools/image_files/image_inspector.h"
#include "tools/image_files/open_failure.h"
#include "tools/commands/size_parse.h"

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

const std::vector<const CommandDef *> &Commands() {
  static const std::vector<const CommandDef *> commands = {
      &InfoCommand(),   &CatCommand(),  &WriteCommand(), &CreateCommand(),
      &ResizeCommand(), &FlushCommand(), &ZeroCommand(), &TrimCommand(), &MergeCommand(),
      &MountCommand(), &CheckCommand()};
  return commands;
}

const CommandDef *FindCommand(const std::string &name) {
  for (const CommandDef *command : Commands()) {
    if (name == command->name) {
      return command;
    }
  }
  return nullptr;
}

std::vector<std::string> SynopsisLines(const CommandDef &command) {
  std::vector<std::string> lines;
  std::string synopsis = command.synopsis;
  for (size_t start = 0; start <= synopsis.size();) {
    size_t end = synopsis.find('\n', start);
    if (end == std::string::npos) {
      end = synopsis.size();
    }
    lines.push_back(synopsis.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string ProgramHelp() {
  std::string text = std::string("usage: ") + kProgramSynopsis + "\n\nCommands:\n";
  for (const CommandDef *command : Commands()) {
    for (const std::string &line : SynopsisLines(*command)) {
      text += "  dorvane " + line + "\n";
    }
    text += std::string("      ") + command->summary + "\n";
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

std::string Arguments::Value(const std::string &name) const {
  auto it = options.find(name);
  return it == options.end() || it->second.empty() ? std::string() : it->second.back();
}

std::string ParseArguments(const std::vector<std::string> &args,
                           const std::vector<OptionDefinition> &definitions, Arguments *out) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      out->positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    size_t equals = arg.find('=');
    std::string name = arg.substr(0, equals);
    const OptionDefinition *definition = nullptr;
    for (const OptionDefinition &candidate : definitions) {
      if (candidate.name == name) {
        definition = &candidate;
      }
    }
    if (definition == nullptr) {
      return "unknown option " + name;
    }
    if (out->Has(name) && !definition->repeatable) {
      return name + " given more than once";
    }
    std::string value;
    if (definition->takesValue) {
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return name + " needs a value";
      }
    } else if (equals != std::string::npos) {
      return name + " takes no value";
    }
    out->options[name].push_back(value);
  }
  return "";
}

std::string CommandUsage(const CommandDef &command) {
  std::string text;
  for (const std::string &line : SynopsisLines(command)) {
    text += (text.empty() ? "usage: dorvane " : "       dorvane ") + line + "\n";
  }
  return text;
}

int UsageError(const CommandIo &io, const CommandDef &command, const std::string &message) {
  WriteText(io.err, std::string("dorvane ") + command.name + ": " + message + "\n" +
                        CommandUsage(command));
  return kExitUsage;
}

bool SizeOption(const Arguments &args, const std::string &name, const CommandDef &command,
                const CommandIo &io, uint64_t *value, int *exitCode) {
  if (!args.Has(name)) {
    return true;
  }
  std::string error = ParseSize(args.Value(name), value);
  if (!error.empty()) {
    *exitCode = UsageError(io, command, name + ": " + error);
    return false;
  }
  return true;
}

bool OpenDiskAt(const std::string &image, bool writable, uint64_t offset, const CommandIo &io,
                Disk *disk, uint64_t *size) {
  NTSTATUS status = disk->OpenDisk(image, writable);
  if (!NT_SUCCESS(status)) {
    const char *what = writable ? "cannot open image for writing" : "cannot open image";
    ReportOpenFailure(io.err, image, what, ExplainOpenFailure(image, writable, status), status);
    return false;
  }
  status = disk->QueryDiskSize(size);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot query the disk size", status);
    return false;
  }
  if (offset > *size) {
    ReportError(io.err, image, writable ? "cannot write" : "cannot read",
                "offset " + std::to_string(offset) + " is past the end of the disk (" +
                    std::to_string(*size) + " bytes)" + (writable ? "; nothing was written" : ""));
    return false;
  }
  return true;
}

bool FlushDiskOrReport(Disk *disk, const std::string &image, const CommandIo &io) {
  NTSTATUS status = disk->FlushDisk();
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot flush image", status);
    return false;
  }
  return true;
}

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
  std::vector<OptionDefinition> definitions = command->options;
  definitions.insert(definitions.end(), GlobalOptions().begin(), GlobalOptions().end());
  std::string error = ParseArguments(leading, GlobalOptions(), &globals);
  if (!error.empty()) {
    return ProgramUsageError(io, error);
  }
  error = ParseArguments(rest, definitions, &parsed);
  if (!error.empty()) {
    return UsageError(io, *command, error);
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
    return UsageError(io, *command,
                      parsed.positional.size() < command->positionalCount
                          ? "missing IMAGE"
                          : "unexpected argument \"" +
                                parsed.positional[command->positionalCount] + "\"");
  }
  error = ApplyGlobalOptions(parsed);
  if (!error.empty()) {
    return UsageError(io, *command, error);
  }
  return command->run(parsed, io);
}

int RunCommand(int argc, char **argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(argv[i]);
  }
  return RunCommand(args, CommandIo());
}

}  // namespace dorvane
